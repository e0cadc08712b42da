#include "appmain.h"
#include "cli/cli.h"
#include "translation.h"

#include <QApplication>

#ifdef Q_OS_WIN
#include <cstdio>
#include <qt_windows.h>
#endif

namespace {

void describeProgram()
{
    QCoreApplication::setApplicationName(QStringLiteral("Ranupa Helper"));
    QCoreApplication::setApplicationVersion(QStringLiteral(RANUPA_VERSION));
}

int runProgram(int argc, char* argv[])
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

// Everything the program wrote is closed by now. On Windows the libraries' own clean-up at the
// process's exit can wait forever for a lock that a thread pool's worker, ended along with the
// process, still held (seen with the MinGW runtime); the program ends without it.
int endProcess(int exitCode)
{
#ifdef Q_OS_WIN
    std::fflush(nullptr);
    TerminateProcess(GetCurrentProcess(), UINT(exitCode));
#endif
    return exitCode;
}

} // namespace

int main(int argc, char* argv[])
{
    return endProcess(runProgram(argc, argv));
}
