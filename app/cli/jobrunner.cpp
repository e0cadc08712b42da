#include "cli/jobrunner.h"

#include "cli/cli.h"
#include "cli/interruptwatcher.h"
#include "cli/output.h"

#include <QElapsedTimer>
#include <optional>

using namespace Qt::StringLiterals;

namespace ranupa::cli {

namespace {

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
