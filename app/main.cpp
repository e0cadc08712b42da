#include "appmain.h"
#include "cli/cli.h"
#include "cli/toolkitoptions.h"
#include "translation.h"

#include <QApplication>

namespace {

void describeProgram()
{
    QCoreApplication::setApplicationName(QStringLiteral("Ranupa Helper"));
    QCoreApplication::setApplicationVersion(QStringLiteral(RANUPA_VERSION));
}

} // namespace

int main(int argc, char* argv[])
{
    // The program's own options run it unattended, without a display. Qt's options alone
    // (-style, -platform, ...) still mean the windows, and QApplication takes them.
    if (ranupa::cli::wantsCommandLine(argc, argv)) {
        QCoreApplication app(argc, argv);
        describeProgram();
        ranupa::installQtTranslation();
        return ranupa::cli::run(ranupa::cli::withoutToolkitOptions(QCoreApplication::arguments()));
    }
    QApplication app(argc, argv);
    describeProgram();
    QApplication::setDesktopFileName(QStringLiteral("ranupa-helper"));
    ranupa::installQtTranslation();
    return ranupa::AppMain();
}
