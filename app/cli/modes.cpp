#include "cli/cli.h"
#include "core/model/wording.h"
#include "core/ops/job.h"
#include "core/ops/retention.h"
#include "core/ops/runstatus.h"
#include "core/schedule/scheduler.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <functional>
#include <ranges>

#ifdef Q_OS_WIN
#include <QWinEventNotifier>
#include <qt_windows.h>
#else
#include <QSocketNotifier>
#include <csignal>
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

namespace ranupa::cli {

namespace {

// Turns each request to stop from outside into a call of `onInterrupt` on the main thread, so
// that an interrupted backup removes its partial file and an interrupted restore puts pendataan
// back, instead of the process dying half-way. The requests: SIGINT, SIGTERM and SIGHUP (the
// terminal or the ssh session that started the program closes) on Unix; the console's Ctrl+C,
// Ctrl+Break and the closing of its window on Windows. Watches while it lives; one at a time.
class InterruptWatcher final : public QObject
{
public:
    explicit InterruptWatcher(const std::function<void()>& onInterrupt);
    ~InterruptWatcher() override;
};

#ifdef Q_OS_WIN
// The console's handler runs on a thread that Windows starts for it; it reaches the main thread
// through this event, and can reach nothing but static data.
HANDLE interruptEvent = nullptr;
// Set while a handler holds on (see handleConsoleEvent).
volatile LONG consoleClosing = 0;

BOOL WINAPI handleConsoleEvent(DWORD type)
{
    SetEvent(interruptEvent);
    // Windows ends the process as soon as the handler returns from the closing of the console
    // (or some seconds later): the clean-up on the main thread ends the process itself instead,
    // with its own exit code. Meanwhile the handlers' lock stays taken.
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        InterlockedExchange(&consoleClosing, 1);
        Sleep(INFINITE);
    }
    return TRUE;
}

InterruptWatcher::InterruptWatcher(const std::function<void()>& onInterrupt)
{
    interruptEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (interruptEvent == nullptr) {
        return;
    }
    QObject::connect(new QWinEventNotifier(interruptEvent, this), &QWinEventNotifier::activated,
                     this, onInterrupt);
    // Started in a process group of its own, a program ignores Ctrl+C unless it asks for it.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(&handleConsoleEvent, TRUE);
}

InterruptWatcher::~InterruptWatcher()
{
    // With the console closing, the handlers' lock is not to be had, and nothing is to be undone.
    if (InterlockedCompareExchange(&consoleClosing, 0, 0) == 0) {
        SetConsoleCtrlHandler(&handleConsoleEvent, FALSE);
    }
    delete findChild<QWinEventNotifier*>();
    if (interruptEvent != nullptr) {
        CloseHandle(interruptEvent);
        interruptEvent = nullptr;
    }
}
#else
constexpr std::array<int, 3> watchedSignals{SIGINT, SIGTERM, SIGHUP};
// A signal handler can reach nothing but static data.
int signalPipe[2] = {-1, -1};
std::array<struct sigaction, 3> previousActions = {};

void handleSignal(int signal)
{
    const char byte = char(signal);
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

InterruptWatcher::InterruptWatcher(const std::function<void()>& onInterrupt)
{
    if (::pipe(signalPipe) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    QObject::connect(notifier, &QSocketNotifier::activated, this, [onInterrupt] {
        char signal = 0;
        if (::read(signalPipe[0], &signal, 1) == 1) {
            onInterrupt();
        }
    });
    struct sigaction action = {};
    action.sa_handler = &handleSignal;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < watchedSignals.size(); ++i) {
        ::sigaction(watchedSignals[i], &action, &previousActions[i]);
    }
}

InterruptWatcher::~InterruptWatcher()
{
    for (std::size_t i = 0; i < watchedSignals.size(); ++i) {
        ::sigaction(watchedSignals[i], &previousActions[i], nullptr);
    }
    delete findChild<QSocketNotifier*>();
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
}
#endif

// `text` without the sentences of `said`, which were printed just before: the details repeat the
// sentences under a message so that they can be copied alone from the window, but the command
// line prints both, one after the other.
QString unsaid(QString text, const QString& said)
{
    static const QRegularExpression sentenceEnd(u"(?<=[.!?])\\s+|\\n"_s);
    for (const QString& sentence : said.split(sentenceEnd, Qt::SkipEmptyParts)) {
        text.remove(sentence);
    }
    static const QRegularExpression blanksBeforeLineEnd(u"[ \\t]+(?=\\n|$)"_s);
    static const QRegularExpression emptyLines(u"\\n{3,}"_s);
    return text.remove(blanksBeforeLineEnd).replace(emptyLines, u"\n\n"_s).trimmed();
}

int report(const OperationOutcome& outcome, bool interrupted, bool quiet)
{
    // Under the message, as the window shows them: the size and time of a success, the cause and
    // what to do (or where the safety backup went), then the details, worth knowing even on
    // success (what was set right first). Quiet, a success is its one line, and a failure keeps
    // what the operator acts on: the cause, what to do and whether pendataan is unchanged.
    const bool succeeded = outcome.status == OperationStatus::Succeeded;
    print(succeeded ? stdout : stderr, outcome.message);
    const QString summary = quiet && succeeded ? QString() : outcome.summary;
    const QString details = quiet ? QString() : unsaid(outcome.details, summary);
    for (const QString& text : {quiet ? QString() : outcome.figures, summary, details}) {
        if (!text.isEmpty()) {
            print(stderr, text);
        }
    }
    // A scheduler's wrapper can tell "try again later" from a backup that failed.
    return succeeded                                                     ? Success
           : interrupted || outcome.status == OperationStatus::Cancelled ? Interrupted
           : outcome.cause == FailureCause::Busy                         ? Busy
                                                                         : Failure;
}

// What of the progress is on the screen, so that a long step says little: a line for each tenth
// of its measure.
struct ShownProgress
{
    QElapsedTimer clock;
    int tenths = -1;  // of the current step's measure
    QString unshown;  // the step's latest measure, when it says more than the one shown
    QString planStep; // "Langkah 1 dari 3: ..."
};

void showProgress(OperationProgress& progress, ShownProgress& shown)
{
    shown.clock.start();
    progress.stepChanged = [&shown](const QString& step) {
        // Where the step got to: what moved within the last tenth (the entries a restore loaded
        // after the whole file was read, say) is not left out.
        if (const QString unshown = std::exchange(shown.unshown, {}); !unshown.isEmpty()) {
            print(stderr, unshown);
        }
        shown.tenths = -1;
        print(stderr, step);
    };
    // The numbered steps head the lines of their own; the percentages stay each line's own.
    progress.planned = [&shown, step = progress.stepChanged](const PlanPosition& position) {
        if (position.title != shown.planStep && !position.title.isEmpty()) {
            step(position.title);
        }
        shown.planStep = position.title;
    };
    progress.toolLine = [](const QString& line) {
        print(stderr, u"  "_s + line);
    };
    progress.measured = [&shown](const ProgressMeasure& measure) {
        if (!measure.isDeterminate()) {
            return;
        }
        const QString line =
            u"[%1] %2% (%3)"_s.arg(elapsedText(shown.clock.elapsed()),
                                   QString::number(measure.percent()), progressText(measure));
        shown.unshown = measure.percent() / 10 == shown.tenths ? line : QString();
        if (shown.unshown.isEmpty()) {
            shown.tenths = measure.percent() / 10;
            print(stderr, line);
        }
    };
}

// Runs one backup, restore or trial restore to its end and gives the process exit code and the
// job's outcome. Unless `quiet`, its steps and progress go to standard error as it runs; its
// outcome is printed as the window shows it. An outcome told before the job ends (a restore's,
// before it drops the previous database) is printed at once, and decides the exit code; what the
// job adds to it later follows on standard error.
std::pair<int, OperationOutcome> runJob(const OperationRequest& request, bool quiet,
                                        RunOrigin origin = RunOrigin::CommandLine)
{
    OperationJob job;
    job.setOrigin(origin);
    OperationProgress progress;
    ShownProgress shown;
    if (!quiet) {
        showProgress(progress, shown);
    }
    std::optional<OperationOutcome> told;
    int code = Success;
    progress.reported = [&told, &code, quiet](const OperationOutcome& early) {
        told = early;
        code = report(early, false, quiet);
    };
    bool interrupted = false;
    const InterruptWatcher watcher([&job, &interrupted, quiet] {
        if (!std::exchange(interrupted, true) && !quiet) {
            print(stderr, u"Dihentikan; membatalkan dengan aman, tunggu sebentar..."_s);
        }
        job.cancel();
    });
    OperationOutcome outcome = runToEnd(job, request, progress);
    if (!told) {
        code = report(outcome, interrupted, quiet);
    } else if (!quiet && outcome.details.size() > told->details.size()) {
        print(stderr, outcome.details.mid(told->details.size()).trimmed());
    }
    return {code, outcome};
}

// Old backups go only once the new one is safe; files that cannot be vouched for stay.
// Quiet, only what failed is said.
int removeOldBackups(const QString& directory, int keep, const QString& justWritten, bool quiet)
{
    const RetentionResult result = keepNewestBackups(directory, keep, justWritten);
    for (const QString& path : quiet ? QStringList() : result.removed) {
        print(stderr, u"Backup lama dihapus: "_s + path);
    }
    for (const QString& entry : quiet ? QStringList() : result.unvouched) {
        print(stderr, u"Tidak dihapus dan tidak dihitung, tidak dapat dipastikan sebagai backup "
                      u"yang utuh: "_s +
                          entry);
    }
    for (const QString& entry : result.notRemoved) {
        print(stderr, u"Gagal menghapus backup lama: "_s + entry);
    }
    return result.notRemoved.isEmpty() ? Success : Failure;
}

int failed(const QString& message, const ranupa::Failure& failure)
{
    print(stderr, message);
    if (failure.cause != FailureCause::Unknown) {
        print(stderr, causeText(failure.cause));
    }
    print(stderr, failedStepText(failure));
    return Failure;
}

} // namespace

std::optional<QTime> timeOfDay(const QString& text)
{
    const QRegularExpression form(u"^(\\d{1,2})[.:](\\d{2})$"_s);
    const QRegularExpressionMatch match = form.match(text);
    const QTime time =
        match.hasMatch() ? QTime(match.captured(1).toInt(), match.captured(2).toInt()) : QTime();
    return time.isValid() ? std::optional(time) : std::nullopt;
}

int makeBackup(const QCommandLineParser& options, const QString& directory)
{
    const bool quiet = options.isSet(u"quiet"_s);
    const auto [exitCode, outcome] =
        runJob(BackupRequest{.targetDir = directory, .verify = options.isSet(u"verify"_s)}, quiet,
               options.isSet(u"scheduled"_s) ? RunOrigin::Schedule : RunOrigin::CommandLine);
    // A backup that fails its trial is kept and reported, and removes nothing.
    const int keep = options.value(u"keep"_s).toInt(); // 0, without --keep: remove nothing
    if (exitCode != Success || keep == 0) {
        return exitCode;
    }
    return removeOldBackups(directory, keep, outcome.filePath, quiet);
}

int restoreBackup(const QCommandLineParser& options, const QString& file)
{
    if (!options.isSet(u"yes"_s)) {
        print(stderr, u"Restore menghapus isi database pendataan dan menggantinya dengan isi file "
                      "backup. Tambahkan --yes untuk melanjutkan."_s);
        return UsageError;
    }
    // --yes has answered the question the window asks: the restore goes on at once.
    return runJob(RestoreRequest{.backupFile = file,
                                 .acceptOtherDatabase = options.isSet(u"any-database"_s),
                                 .safetyBackupDir = options.value(u"backup-first"_s)},
                  options.isSet(u"quiet"_s))
        .first;
}

int tryRestore(const QCommandLineParser& options, const QString& file)
{
    return runJob(VerifyRequest{.backupFile = file}, options.isSet(u"quiet"_s)).first;
}

// Needs neither the installation nor the server: only the names and sizes of the files.
int printBackups(const QCommandLineParser&, const QString& directory)
{
    if (const QFileInfo folder(directory); !folder.isDir() || !folder.isReadable()) {
        print(stderr, u"Folder %1 tidak ada atau tidak dapat dibaca."_s.arg(directory));
        return Failure;
    }
    const QList<BackupFile> backups = listBackups(directory);
    if (backups.isEmpty()) {
        print(stderr, u"Tidak ada file backup di folder %1."_s.arg(directory));
    }
    for (const BackupFile& backup : backups) {
        print(stdout, describeBackup(backup));
    }
    return Success;
}

int scheduleDailyBackup(const QCommandLineParser& options, const QString& directory)
{
    const int keep = options.value(u"keep"_s).toInt();
    const Result<DailyBackup> backup = dailyBackupOfThisProgram(
        directory, timeOfDay(options.value(u"at"_s)).value_or(QTime(10, 0)), keep > 0 ? keep : 14);
    if (const std::optional<ranupa::Failure> notMade =
            backup ? makeSchedule(*backup) : backup.failure()) {
        return failed(u"Jadwal backup harian tidak dapat dibuat"_s, *notMade);
    }
    const std::optional<Schedule> made = currentSchedule();
    if (!made) {
        print(stderr, u"Jadwal backup harian dibuat, tetapi tidak dapat dibaca kembali."_s);
        return Failure;
    }
    print(stdout, u"Backup harian dijadwalkan: "_s + describeSchedule(*made) + u'.');
    print(stdout, u"Backup berikutnya: %1. %2"_s.arg(wording::upcoming(nextRun(made->backup.at)),
                                                     missedStartText(made->kind)));
    return Success;
}

int removeDailyBackup(const QCommandLineParser&, const QString&)
{
    const Result<bool> removed = removeSchedule();
    if (!removed) {
        return failed(u"Jadwal backup harian tidak dapat dihapus"_s, removed.failure());
    }
    print(stdout, *removed ? u"Jadwal backup harian dihapus."_s
                           : u"Tidak ada jadwal backup harian yang dibuat oleh program ini."_s);
    return Success;
}

int showDailyBackup(const QCommandLineParser&, const QString&)
{
    const std::optional<Schedule> schedule = currentSchedule();
    const QList<RunRecord> history = readHistory();
    if (!schedule) {
        print(stdout, u"Tidak ada jadwal backup harian. Buat dengan --schedule DIR."_s);
    } else {
        print(stdout, u"Jadwal: "_s + describeSchedule(*schedule) + u'.');
        print(stdout,
              u"Backup berikutnya: %1."_s.arg(wording::upcoming(nextRun(schedule->backup.at))));
        const std::optional<RunRecord> last = lastScheduledRun(history);
        print(stdout, last ? u"Backup terjadwal terakhir: "_s + describeRun(*last)
                           : u"Backup terjadwal belum pernah berjalan."_s);
    }
    const BackupStatus status = backupStatus(history, schedule);
    print(stdout, (status.warning ? u"PERHATIAN: "_s : QString()) + status.text);
    return Success;
}

int printHistory(const QCommandLineParser&, const QString&)
{
    const QList<RunRecord> history = readHistory();
    if (history.isEmpty()) {
        print(stderr, u"Belum ada backup atau restore yang tercatat di komputer ini."_s);
    }
    for (const RunRecord& run : history | std::views::reverse) {
        print(stdout, describeRun(run));
    }
    return Success;
}

#ifdef Q_OS_WIN
QStringView stopRequests()
{
    return u"Ctrl+C, jendela konsol ditutup";
}

// The program is a GUI program on Windows; started from a console, it takes part in it as a
// console program would: it writes there what is not redirected, and the console's Ctrl+C and
// the closing of its window stop it (safely, see InterruptWatcher) even when all is redirected.
void setUpStandardStreams()
{
    const DWORD outputType = GetFileType(GetStdHandle(STD_OUTPUT_HANDLE));
    const DWORD errorType = GetFileType(GetStdHandle(STD_ERROR_HANDLE));
    const bool attached = AttachConsole(ATTACH_PARENT_PROCESS);
    if (attached && outputType == FILE_TYPE_UNKNOWN) {
        std::freopen("CONOUT$", "w", stdout);
    }
    if (attached && errorType == FILE_TYPE_UNKNOWN) {
        std::freopen("CONOUT$", "w", stderr);
    }
}
#else
QStringView stopRequests()
{
    return u"Ctrl+C, SIGTERM, SIGHUP";
}

// A reader of standard error that went away (a closed pipe, as with "| head") must cost the
// program its messages only, never its life half-way through a restore.
void setUpStandardStreams()
{
    std::signal(SIGPIPE, SIG_IGN);
}
#endif

} // namespace ranupa::cli
