#pragma once

#include "core/files/history.h"
#include "core/model/outcome.h"
#include "core/model/progress.h"
#include "core/ops/operation.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

namespace ranupa {

// Runs one operation on a worker thread of its own, so that the windows stay alive, and tells
// its progress and outcome through signals delivered in the thread the job lives in.
class OperationJob final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(OperationJob)

public:
    explicit OperationJob(QObject* parent = nullptr);
    // Cancels a running operation and waits for it to end.
    ~OperationJob() override;

    // Runs `request`. finished() follows exactly once for every start(), never from inside it: a
    // job that still runs another refuses the request (FailureCause::Busy).
    void start(const OperationRequest& request);
    // Stops the operation at its next step and ends its running tool; safe from any thread.
    void cancel();
    bool cancelRequested() const;
    // From start() until finished() has been emitted.
    bool isRunning() const;
    // With this set before start(), a restore stops once the file and the server have passed
    // their checks, before anything on the server is touched: it emits confirmationNeeded() and
    // waits for answer().
    void setAsksOperator(bool asks);
    void answer(const Confirmation& confirmation);
    // With an origin set before start(), the run's line goes into the history once its outcome
    // is final, before finished().
    void setOrigin(RunOrigin origin);

signals:
    void stepChanged(const QString& step);
    void toolLine(const QString& line);
    void progressChanged(const ranupa::ProgressMeasure& measure);
    // The numbered step that runs and how far the whole operation has come.
    void planChanged(const ranupa::PlanPosition& position);
    void confirmationNeeded(const ranupa::RestoreSummary& summary);
    // The outcome, as soon as it is certain; the work may still be finishing (a restore drops
    // the previous database after it). At most once, before finished().
    void reported(const ranupa::OperationOutcome& outcome);
    void finished(const ranupa::OperationOutcome& outcome);

private:
    class Host;
    std::unique_ptr<Host> d;
};

// What a caller without signals wants to hear of a running job.
struct OperationProgress
{
    std::function<void(const QString& step)> stepChanged;
    std::function<void(const QString& line)> toolLine;
    std::function<void(const ProgressMeasure& measure)> measured;
    std::function<void(const PlanPosition& position)> planned;
    std::function<void(const OperationOutcome& outcome)> reported;
};

// Runs `request` with `job` to its end in a local event loop and gives back how it ended; for
// the command line and tests. The caller keeps the job, so that it can still cancel it meanwhile.
OperationOutcome runToEnd(OperationJob& job, const OperationRequest& request,
                          const OperationProgress& progress = {});

// runToEnd() of a job of its own; and so for the plain requests of each kind.
OperationOutcome runOperation(const OperationRequest& request,
                              const OperationProgress& progress = {});
OperationOutcome runBackup(const QString& targetDir, const OperationProgress& progress = {});
OperationOutcome runRestore(const QString& backupFile, const OperationProgress& progress = {});
OperationOutcome runVerify(const QString& backupFile, const OperationProgress& progress = {});

} // namespace ranupa
