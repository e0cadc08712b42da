#include "cli/cli.h"
#include "cli/modes.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <functional>
#include <optional>

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

// Turns a request to stop from outside into one call of `onInterrupt` on the main thread, so that
// an interrupted backup removes its partial file and an interrupted restore puts pendataan back,
// instead of the process dying half-way. The requests: SIGINT, SIGTERM and SIGHUP (the terminal
// or the ssh session that started the program closes) on Unix; the console's Ctrl+C, Ctrl+Break
// and the closing of its window on Windows. Watches while it lives; one at a time.
class InterruptWatcher final : public QObject
{
    Q_DISABLE_COPY_MOVE(InterruptWatcher)

public:
    explicit InterruptWatcher(std::function<void()> onInterrupt);
    ~InterruptWatcher() override;
    bool interrupted() const { return m_interrupted; }

private:
    void notice();

    std::function<void()> m_onInterrupt;
    QObject* m_notifier = nullptr;
    bool m_interrupted = false;
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

InterruptWatcher::InterruptWatcher(std::function<void()> onInterrupt)
    : m_onInterrupt(std::move(onInterrupt))
{
    interruptEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (interruptEvent == nullptr) {
        return;
    }
    auto* notifier = new QWinEventNotifier(interruptEvent, this);
    m_notifier = notifier;
    QObject::connect(notifier, &QWinEventNotifier::activated, this, &InterruptWatcher::notice);
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
    delete m_notifier;
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

InterruptWatcher::InterruptWatcher(std::function<void()> onInterrupt)
    : m_onInterrupt(std::move(onInterrupt))
{
    if (::pipe(signalPipe) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    m_notifier = notifier;
    QObject::connect(notifier, &QSocketNotifier::activated, this, [this] {
        char signal = 0;
        if (::read(signalPipe[0], &signal, 1) == 1) {
            notice();
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
    delete m_notifier;
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
}

#endif

void InterruptWatcher::notice()
{
    if (!m_interrupted) {
        m_interrupted = true;
        m_onInterrupt();
    }
}

// `text` without the sentences of `said`, which were printed just before: the details repeat the
// sentences under a message so that they can be copied alone from the window, but the command
// line prints both, one after the other.
QString unsaid(const QString& text, const QString& said)
{
    static const QRegularExpression sentenceEnd(u"(?<=[.!?])\\s+|\\n"_s);
    QString rest = text;
    for (const QString& sentence : said.split(sentenceEnd, Qt::SkipEmptyParts)) {
        rest.remove(sentence);
    }
    static const QRegularExpression blanksBeforeLineEnd(u"[ \\t]+(?=\\n|$)"_s);
    static const QRegularExpression emptyLines(u"\\n{3,}"_s);
    return rest.remove(blanksBeforeLineEnd).replace(emptyLines, u"\n\n"_s).trimmed();
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
    if (succeeded) {
        return Success;
    }
    // A scheduler's wrapper can tell "try again later" from a backup that failed.
    if (interrupted || outcome.status == OperationStatus::Cancelled) {
        return Interrupted;
    }
    return outcome.cause == FailureCause::Busy ? Busy : Failure;
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
        if (!shown.unshown.isEmpty()) {
            print(stderr, shown.unshown);
        }
        shown.unshown.clear();
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

} // namespace

// An outcome told before the job ends (a restore's, before it drops the previous database) is
// printed at once; what the job adds to it later follows on standard error.
JobEnd runJob(const OperationRequest& request, bool quiet, RunOrigin origin)
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
    InterruptWatcher watcher([&job, quiet] {
        if (!quiet) {
            print(stderr, u"Dihentikan; membatalkan dengan aman, tunggu sebentar..."_s);
        }
        job.cancel();
    });
    OperationOutcome outcome = runToEnd(job, request, progress);
    if (!told) {
        return {report(outcome, watcher.interrupted(), quiet), outcome};
    }
    if (!quiet && outcome.details.size() > told->details.size()) {
        print(stderr, outcome.details.mid(told->details.size()).trimmed());
    }
    return {code, outcome};
}

} // namespace ranupa::cli
