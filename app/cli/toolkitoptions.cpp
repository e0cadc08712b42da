#include "cli/toolkitoptions.h"

#include "cli/cli.h"

#include <array>

using namespace Qt::StringLiterals;

namespace ranupa::cli {

namespace {

struct ToolkitOption
{
    QLatin1StringView name;  // without the leading "-"
    bool takesValue;         // the value follows as the next argument
    bool takesAttachedValue; // "-name=value" is read as well
};

// The options that QCoreApplication, QGuiApplication (with the platform plugins' common ones)
// and QApplication take out of the command line in Qt 6. Qt reads "--name" as "-name".
constexpr std::array toolkitOptions{
    ToolkitOption{"platform"_L1, true, false},
    ToolkitOption{"platformpluginpath"_L1, true, false},
    ToolkitOption{"platformtheme"_L1, true, false},
    ToolkitOption{"plugin"_L1, true, false},
    ToolkitOption{"qwindowgeometry"_L1, true, false},
    ToolkitOption{"geometry"_L1, true, false},
    ToolkitOption{"qwindowicon"_L1, true, false},
    ToolkitOption{"icon"_L1, true, false},
    ToolkitOption{"qwindowtitle"_L1, true, false},
    ToolkitOption{"title"_L1, true, false},
    ToolkitOption{"display"_L1, true, false},
    ToolkitOption{"name"_L1, true, false},
    ToolkitOption{"visual"_L1, true, false},
    ToolkitOption{"session"_L1, true, false},
    ToolkitOption{"style"_L1, true, true},
    ToolkitOption{"stylesheet"_L1, true, true},
    ToolkitOption{"qmljsdebugger"_L1, true, true},
    ToolkitOption{"reverse"_L1, false, false},
    ToolkitOption{"nograb"_L1, false, false},
    ToolkitOption{"dograb"_L1, false, false},
    ToolkitOption{"testability"_L1, false, false},
    ToolkitOption{"widgetcount"_L1, false, false},
};

// How many arguments from `index` on make up one of Qt's options: 0 when it is none of them.
qsizetype toolkitOptionLength(const QStringList& arguments, qsizetype index)
{
    const QString& argument = arguments.at(index);
    if (!argument.startsWith(u'-')) {
        return 0;
    }
    const QStringView name = QStringView(argument).sliced(argument.startsWith(u"--"_s) ? 2 : 1);
    for (const ToolkitOption& option : toolkitOptions) {
        if (name == option.name) {
            // Without its value Qt leaves the option alone, and so do we.
            const bool hasValue = index + 1 < arguments.size();
            return !option.takesValue ? 1 : hasValue ? 2 : 0;
        }
        if (option.takesAttachedValue && name.startsWith(option.name) &&
            name.sliced(option.name.size()).startsWith(u'=')) {
            return 1;
        }
    }
    return 0;
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
