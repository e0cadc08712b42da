#include "core/ops/operation.h"

#include "core/ops/recovery.h"
#include "core/pg/serverlock.h"
#include "core/pg/toolrunner.h"

#include <QBuffer>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>
#include <atomic>

using namespace Qt::StringLiterals;

namespace ranupa {

struct OperationJob::Private
{
    std::unique_ptr<QThread> thread;
    std::atomic_bool cancelRequested = false;
    QMutex mutex; // guards answer
    QWaitCondition answered;
    std::optional<Confirmation> answer;
};

Operation::Operation(OperationJob& job) : m_job(job) {}

Operation::~Operation() = default;

std::optional<Failure> Operation::begin()
{
    const Result<Installation> found = findInstallation();
    if (!found) {
        return found.failure();
    }
    m_installation = *found;
    step(u"Menghubungi server database..."_s);
    m_lock = std::make_unique<ServerLock>();
    if (std::optional<Failure> notTaken =
            m_lock->take(m_installation, [this] { return cancelled(); })) {
        return notTaken;
    }
    return recoverInterruptedWork(*this);
}

void Operation::step(const QString& text)
{
    emit m_job.stepChanged(text);
}

void Operation::toolLine(const QString& line)
{
    emit m_job.toolLine(line);
}

void Operation::progress(const ProgressMeasure& measure)
{
    emit m_job.progressChanged(measure);
}

void Operation::note(const QString& text)
{
    m_notes.append(text);
}

bool Operation::cancelled() const
{
    return m_cancellable && m_job.d->cancelRequested;
}

bool Operation::cancelRequested() const
{
    return m_job.d->cancelRequested;
}

ToolResult Operation::run(const ToolCommand& command, ToolRun how)
{
    how.programDir = m_installation.dir;
    how.cancelled = [this] {
        return cancelled();
    };
    return runTool(command, how);
}

ToolResult Operation::run(const ToolCommand& command, const QByteArray& input)
{
    QBuffer buffer;
    buffer.setData(input);
    buffer.open(QIODevice::ReadOnly);
    ToolRun how;
    how.input = &buffer;
    return run(command, how);
}

bool Operation::asksOperator() const
{
    return m_job.m_asksOperator;
}

std::optional<Confirmation> Operation::confirm(const RestoreSummary& summary)
{
    OperationJob::Private& shared = *m_job.d;
    QMutexLocker locker(&shared.mutex);
    shared.answer.reset();
    if (cancelled()) {
        return std::nullopt;
    }
    emit m_job.confirmationNeeded(summary);
    while (!shared.answer && !cancelled()) {
        shared.answered.wait(&shared.mutex, QDeadlineTimer(100));
    }
    return cancelled() ? std::nullopt : shared.answer;
}

void Operation::report(const OperationOutcome& outcome)
{
    emit m_job.reported(outcome);
}

OperationOutcome failedOutcome(OperationKind kind, const Failure& failure, const QString& port,
                               const QString& notes)
{
    OperationOutcome outcome;
    outcome.status = failure.cancelled ? OperationStatus::Cancelled : OperationStatus::Failed;
    // In the order of OperationKind: failed, cancelled.
    constexpr QStringView messages[][2] = {
        {u"Gagal melakukan backup", u"Backup dibatalkan"},
        {u"Gagal melakukan restore", u"Restore dibatalkan"},
        {u"Backup tidak dapat direstore", u"Uji restore dibatalkan"},
    };
    outcome.message = messages[int(kind)][failure.cancelled ? 1 : 0].toString();
    outcome.cause = failure.cause;
    outcome.pendataanUnchanged = failure.pendataanUnchanged;
    // A cancel has no cause to explain, only whether pendataan is unchanged.
    const QString unchanged = failure.pendataanUnchanged ? pendataanUnchangedText() : QString();
    outcome.summary = failure.cancelled
                          ? unchanged
                          : failureSummary(failure.cause, port, failure.pendataanUnchanged);
    QString failed =
        failure.step.isEmpty() ? QString() : u"Langkah yang gagal: %1."_s.arg(failure.step);
    failed = (failed + u' ' + unchanged).trimmed();
    if (!failure.details.isEmpty()) {
        failed = (failed + u'\n' + failure.details).trimmed();
    }
    // What was set right before comes first: the operator must learn of it whatever followed.
    QStringList details{notes, failed};
    details.removeAll(QString());
    outcome.details = details.join(u"\n\n"_s);
    return outcome;
}

OperationJob::OperationJob(QObject* parent) : QObject(parent), d(std::make_unique<Private>()) {}

OperationJob::~OperationJob()
{
    if (d->thread) {
        cancel();
        d->thread->wait();
    }
}

void OperationJob::run(Work work)
{
    if (d->thread && d->thread->isRunning()) {
        return;
    }
    d->cancelRequested = false;
    d->thread.reset(QThread::create([this, work = std::move(work)] {
        OperationOutcome outcome;
        {
            Operation operation(*this);
            outcome = work(operation);
        } // the server lock goes before anyone hears of the end
        QMetaObject::invokeMethod(
            this, [this, outcome] { emit finished(outcome); }, Qt::QueuedConnection);
    }));
    d->thread->start();
}

void OperationJob::cancel()
{
    d->cancelRequested = true;
    d->answered.wakeAll();
}

bool OperationJob::cancelRequested() const
{
    return d->cancelRequested;
}

void OperationJob::answer(const Confirmation& confirmation)
{
    QMutexLocker locker(&d->mutex);
    d->answer = confirmation;
    d->answered.wakeAll();
}

} // namespace ranupa
