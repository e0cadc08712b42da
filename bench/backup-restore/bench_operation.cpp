// bench_operation backup|restore|verify INSTALL_DIR FIELD_TEXT
// Runs the program's own backup (into the directory FIELD_TEXT), restore or trial restore (of the
// file FIELD_TEXT), with its checks, from the installation directory INSTALL_DIR, as the window
// does. Prints when each step began, when the outcome was told, the outcome and this process's own
// peak memory; exits 0 on success.
#include "core/ops/job.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTextStream>

#ifdef Q_OS_WIN
// psapi.h needs the Windows header first.
// clang-format off
#include <qt_windows.h>
#include <psapi.h>
// clang-format on
#else
#include <sys/resource.h>
#endif

using namespace Qt::StringLiterals;

namespace {

long ownPeakKilobytes()
{
#ifdef Q_OS_WIN
    PROCESS_MEMORY_COUNTERS counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return long(counters.PeakWorkingSetSize / 1024);
#else
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
#endif
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTextStream err(stderr);
    if (args.size() != 4 ||
        !QStringList{u"backup"_s, u"restore"_s, u"verify"_s}.contains(args[1])) {
        err << "usage: bench_operation backup|restore|verify INSTALL_DIR FIELD_TEXT\n";
        return 2;
    }
    if (!QDir::setCurrent(args[2])) {
        err << "cannot enter " << args[2] << '\n';
        return 2;
    }
    // When each step began, to see where the time goes.
    QTextStream out(stdout);
    QElapsedTimer clock;
    clock.start();
    const auto at = [&clock] {
        return QString::number(clock.elapsed() / 1000.0, 'f', 3);
    };
    const ranupa::OperationProgress progress{
        .stepChanged = [&](const QString& step) { out << "at " << at() << " s: " << step << '\n'; },
        .toolLine = {},
        .measured = {},
        // The moment the operator reads the outcome; a restore drops the old copy after it.
        .reported =
            [&](const ranupa::OperationOutcome&) {
                out << "message at " << at() << " s\n";
                out.flush();
            }};
    const ranupa::OperationOutcome outcome =
        args[1] == u"backup"_s    ? ranupa::runBackup(args[3], progress)
        : args[1] == u"restore"_s ? ranupa::runRestore(args[3], progress)
                                  : ranupa::runVerify(args[3], progress);
    out << "at " << at() << " s: done\n";
    out << "outcome: " << outcome.message << '\n';
    if (!outcome.details.isEmpty()) {
        out << outcome.details << '\n';
    }
    out << "own peak RSS (KB): " << ownPeakKilobytes() << '\n';
    return outcome.status == ranupa::OperationStatus::Succeeded ? 0 : 1;
}
