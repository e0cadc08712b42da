#include "core/ops/job.h"

#include "core/ops/runstatus.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>
#include <atomic>
#include <variant>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// The request's alternatives stand in the order of OperationKind.
OperationKind kindOf(const OperationRequest& request)
{
    return OperationKind(request.index());
}

// The folder or file the operation was started with.
QString subjectOf(const OperationRequest& request)
{
    if (const auto* backup = std::get_if<BackupRequest>(&request)) {
        return backup->targetDir;
    }
    const auto* restore = std::get_if<RestoreRequest>(&request);
    return restore != nullptr ? restore->backupFile : std::get<VerifyRequest>(request).backupFile;
}

} // namespace

// The job's side of a running operation: its thread, its cancel, and the operator's answer.
class OperationJob::Host final : public OperationHost
{
public:
    explicit Host(OperationJob& job) : job(job) {}

    void stepChanged(const QString& step) override { emit job.stepChanged(step); }
    void toolLine(const QString& line) override { emit job.toolLine(line); }
    void progressChanged(const ProgressMeasure& measure) override
    {
        emit job.progressChanged(measure);
    }
    void planChanged(const PlanPosition& position) override { emit job.planChanged(position); }
    void reported(const OperationOutcome& outcome) override { emit job.reported(outcome); }
    bool cancelRequested() const override { return cancel; }
    bool asksOperator() const override { return asks; }

    std::optional<Confirmation> confirm(const RestoreSummary& summary) override
    {
        QMutexLocker locker(&mutex);
        reply.reset();
        if (cancel) {
            return std::nullopt;
        }
        emit job.confirmationNeeded(summary);
        while (!reply && !cancel) {
            answered.wait(&mutex, QDeadlineTimer(100));
        }
        return cancel ? std::nullopt : reply;
    }

    OperationJob& job;
    std::unique_ptr<QThread> thread;
    bool running = false; // from start() to finished(), in the job's own thread
    std::atomic_bool cancel = false;
    bool asks = false;
    // The history records the run when this is set.
    std::optional<RunOrigin> origin;
    QMutex mutex; // guards reply
    QWaitCondition answered;
    std::optional<Confirmation> reply;
};

OperationJob::OperationJob(QObject* parent) : QObject(parent), d(std::make_unique<Host>(*this)) {}

OperationJob::~OperationJob()
{
    if (d->thread) {
        cancel();
        d->thread->wait();
    }
}

void OperationJob::start(const OperationRequest& request)
{
    if (d->running) {
        const OperationOutcome refused =
            failedOutcome(kindOf(request),
                          {.step = u"memulai pekerjaan"_s,
                           .details = u"Pekerjaan sebelumnya masih berjalan."_s,
                           .cause = FailureCause::Busy},
                          {}, {});
        QMetaObject::invokeMethod(
            this, [this, refused] { emit finished(refused); }, Qt::QueuedConnection);
        return;
    }
    if (d->thread) {
        d->thread->wait(); // it has told its end already
    }
    d->running = true;
    d->cancel = false;
    d->thread.reset(QThread::create([this, request, origin = d->origin] {
        const QDateTime started = QDateTime::currentDateTime();
        QElapsedTimer clock;
        clock.start();
        OperationOutcome outcome;
        {
            Operation operation(*d);
            outcome = runRequest(operation, request);
        } // the server lock goes before anyone hears of the end
        if (origin) {
            recordRun(kindOf(request), *origin, started, clock.elapsed(), subjectOf(request),
                      outcome);
        }
        QMetaObject::invokeMethod(
            this,
            [this, outcome] {
                d->running = false;
                emit finished(outcome);
            },
            Qt::QueuedConnection);
    }));
    d->thread->start();
}

void OperationJob::cancel()
{
    d->cancel = true;
    d->answered.wakeAll();
}

bool OperationJob::cancelRequested() const
{
    return d->cancel;
}

bool OperationJob::isRunning() const
{
    return d->running;
}

void OperationJob::setAsksOperator(bool asks)
{
    d->asks = asks;
}

void OperationJob::setOrigin(RunOrigin origin)
{
    d->origin = origin;
}

void OperationJob::answer(const Confirmation& confirmation)
{
    QMutexLocker locker(&d->mutex);
    d->reply = confirmation;
    d->answered.wakeAll();
}

OperationOutcome runToEnd(OperationJob& job, const OperationRequest& request,
                          const OperationProgress& progress)
{
    QEventLoop loop;
    OperationOutcome outcome;
    const auto connectIfSet = [&](auto signal, const auto& slot) {
        if (slot) {
            QObject::connect(&job, signal, &loop, slot);
        }
    };
    connectIfSet(&OperationJob::stepChanged, progress.stepChanged);
    connectIfSet(&OperationJob::toolLine, progress.toolLine);
    connectIfSet(&OperationJob::progressChanged, progress.measured);
    connectIfSet(&OperationJob::planChanged, progress.planned);
    connectIfSet(&OperationJob::reported, progress.reported);
    QObject::connect(&job, &OperationJob::finished, &loop, [&](const OperationOutcome& result) {
        outcome = result;
        loop.quit();
    });
    job.start(request);
    loop.exec();
    return outcome;
}

OperationOutcome runOperation(const OperationRequest& request, const OperationProgress& progress)
{
    OperationJob job;
    return runToEnd(job, request, progress);
}

OperationOutcome runBackup(const QString& targetDir, const OperationProgress& progress)
{
    return runOperation(BackupRequest{.targetDir = targetDir}, progress);
}

OperationOutcome runRestore(const QString& backupFile, const OperationProgress& progress)
{
    return runOperation(RestoreRequest{.backupFile = backupFile}, progress);
}

OperationOutcome runVerify(const QString& backupFile, const OperationProgress& progress)
{
    return runOperation(VerifyRequest{.backupFile = backupFile}, progress);
}

} // namespace ranupa
