#include "cli/toolkitoptions.h"

#include "cli/cli.h"

#include <algorithm>
#include <array>

using namespace Qt::StringLiterals;

namespace ranupa::cli {

namespace {

// The options that QCoreApplication, QGuiApplication (with the platform plugins' common ones)
// and QApplication take out of the command line in Qt 6, without the leading "-" (Qt reads
// "--name" as "-name"): those whose value follows as the next argument, those that also take
// "-name=value", and those without a value.
constexpr std::array<QStringView, 14> valueOptions{u"platform",        u"platformpluginpath",
                                                   u"platformtheme",   u"plugin",
                                                   u"qwindowgeometry", u"geometry",
                                                   u"qwindowicon",     u"icon",
                                                   u"qwindowtitle",    u"title",
                                                   u"display",         u"name",
                                                   u"visual",          u"session"};
constexpr std::array<QStringView, 3> attachedValueOptions{u"style", u"stylesheet",
                                                          u"qmljsdebugger"};
constexpr std::array<QStringView, 5> flagOptions{u"reverse", u"nograb", u"dograb", u"testability",
                                                 u"widgetcount"};

template <typename Names> bool isAmong(const Names& names, QStringView name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

// How many arguments from `index` on make up one of Qt's options: 0 when it is none of them.
qsizetype toolkitOptionLength(const QStringList& arguments, qsizetype index)
{
    const QString& argument = arguments.at(index);
    if (!argument.startsWith(u'-')) {
        return 0;
    }
    const QStringView name = QStringView(argument).sliced(argument.startsWith(u"--"_s) ? 2 : 1);
    if (isAmong(flagOptions, name)) {
        return 1;
    }
    if (isAmong(valueOptions, name) || isAmong(attachedValueOptions, name)) {
        // Without its value Qt leaves the option alone, and so do we.
        return index + 1 < arguments.size() ? 2 : 0;
    }
    const qsizetype equals = name.indexOf(u'=');
    return equals > 0 && isAmong(attachedValueOptions, name.first(equals)) ? 1 : 0;
}

} // namespace

QStringList withoutToolkitOptions(const QStringList& arguments)
{
    QStringList kept = arguments.mid(0, 1);
    for (qsizetype index = 1; index < arguments.size();) {
        const qsizetype length = toolkitOptionLength(arguments, index);
        if (length == 0) {
            kept << arguments.at(index);
            ++index;
        } else {
            index += length;
        }
    }
    return kept;
}

bool wantsCommandLine(int argc, char* argv[])
{
    QStringList arguments;
    for (int index = 0; index < argc; ++index) {
        arguments << QString::fromLocal8Bit(argv[index]);
    }
    // Only what Qt does not take for itself asks for the command line. An argument that nobody
    // knows goes there too, so that a mistyped option is reported instead of opening a window
    // that an unattended run would wait on for ever.
    return withoutToolkitOptions(arguments).size() > 1;
}

} // namespace ranupa::cli
