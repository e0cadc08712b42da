#include "appmain.h"
#include "cli/cli.h"

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
    // With options the program runs unattended and needs no display.
    if (ranupa::cli::wantsCommandLine(argc, argv)) {
        QCoreApplication app(argc, argv);
        describeProgram();
        return ranupa::cli::run(QCoreApplication::arguments());
    }
    QApplication app(argc, argv);
    describeProgram();
    QApplication::setDesktopFileName(QStringLiteral("ranupa-helper"));
    return ranupa::AppMain();
}
