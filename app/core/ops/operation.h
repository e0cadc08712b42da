#pragma once

#include "core/model/failure.h"
#include "core/model/installation.h"
#include "core/model/progress.h"
#include "core/pg/toolrunner.h"

#include <QDateTime>
#include <QEventLoop>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace ranupa {

class ServerLock;

enum class OperationStatus
{
    Skipped, // the field was empty, or the operator declined: nothing changed, nothing is shown
    Succeeded,
    Failed,
    Cancelled,
};

enum class OperationKind
{
    Backup,
    Restore,
    Verify, // a trial restore into a database of the program's own
};

// How a backup or a restore ended, ready to be shown to the user.
struct OperationOutcome
{
    OperationStatus status = OperationStatus::Skipped;
    QString message;  // the message box text, e.g. "Gagal melakukan backup"
    QString details;  // on failure: which step failed and what the tools wrote
    QString filePath; // the backup file this backup wrote (or tried to)
    FailureCause cause = FailureCause::Unknown; // why it failed, where the program can tell
    bool pendataanUnchanged = false; // said only where it is sure: pendataan is as it was
    QString summary; // under the message: the cause and what to do, and whether pendataan is
                     // unchanged (failureSummary())
};

// What the chosen backup holds, for the operator to see before pendataan is replaced.
struct RestoreSummary
{
    QString filePath;             // absolute
    qint64 fileSize = 0;          // in bytes
    QDateTime created;            // when the backup was made, from the archive; invalid if unknown
    QString databaseName;         // the database the backup was made of
    QString serverVersion;        // of the server that wrote it, as the archive names it
    int tableCount = 0;           // the tables it holds
    bool pendataanExists = false; // there is a pendataan to replace (and to back up first)

    bool isOtherDatabase() const { return databaseName != u"pendataan"; }
};

// The operator's answer to a RestoreSummary.
struct Confirmation
{
    bool proceed = false;
    QString safetyBackupDir; // back the current pendataan up there first; "" for no
};

class OperationJob;

// What one running operation works with: the installation and the server lock once taken, and
// the way to tell its progress, ask the operator and notice a cancel. The operations are
// straight-line functions of steps that take an Operation; they run on the job's worker thread.
class Operation final
{
    Q_DISABLE_COPY_MOVE(Operation)

public:
    explicit Operation(OperationJob& job);
    ~Operation();

    // Finds the installation, takes the server lock and sets right what an interrupted restore
    // left: what every backup and restore does first. Then installation() and lock() are there.
    std::optional<Failure> begin();
    const Installation& installation() const { return m_installation; }
    ServerLock& lock() { return *m_lock; }

    void step(const QString& text);
    void toolLine(const QString& line);
    void progress(const ProgressMeasure& measure);
    // Worth telling whatever the outcome (what the recovery set right): goes into the details.
    void note(const QString& text);
    QString notes() const { return m_notes.join(u"\n\n"); }

    bool cancelled() const;
    // Whether a cancel was asked for, even while it stops nothing: for a wait that may safely be
    // given up.
    bool cancelRequested() const;
    // While this is false, a cancel stops nothing: for putting things right after a failure or
    // a cancel, which must run to its end.
    void setCancellable(bool cancellable) { m_cancellable = cancellable; }
    // Runs one client program of the installation to its end (toolcommands.h): a cancel ends
    // it. Its lines are shown only where `how` hands them to toolLine().
    ToolResult run(const ToolCommand& command, ToolRun how = {});
    // The same with `input` on its standard input.
    ToolResult run(const ToolCommand& command, const QByteArray& input);

    // Whether the job has someone to ask; then confirm() asks, and gives nothing when the
    // operation is cancelled meanwhile.
    bool asksOperator() const;
    std::optional<Confirmation> confirm(const RestoreSummary& summary);
    // Hands the outcome over before the work is over: what is left does not change it.
    void report(const OperationOutcome& outcome);

private:
    OperationJob& m_job;
    Installation m_installation;
    std::unique_ptr<ServerLock> m_lock;
    QStringList m_notes;
    bool m_cancellable = true;
};

// The outcome of an operation that ended in `failure`, composed in the one place the messages,
// the sentences under them and the details are made: the message of the kind, the cause and
// what to do, whether pendataan is unchanged, then the notes, the failed step and its details.
OperationOutcome failedOutcome(OperationKind kind, const Failure& failure, const QString& port,
                               const QString& notes);

// Runs one operation on a worker thread of its own, so that the windows stay alive, and tells
// its progress and outcome through signals delivered in the thread the job lives in.
class OperationJob : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(OperationJob)

public:
    using Work = std::function<OperationOutcome(Operation&)>;

    explicit OperationJob(QObject* parent = nullptr);
    // Cancels a running operation and waits for it to end.
    ~OperationJob() override;

    // finished() follows exactly once, never from inside run().
    void run(Work work);
    // Stops the operation at its next step and ends its running tool; safe from any thread.
    void cancel();
    bool cancelRequested() const;
    // With this set before run(), confirm() emits confirmationNeeded() and waits for answer().
    void setAsksOperator(bool asks) { m_asksOperator = asks; }
    void answer(const Confirmation& confirmation);

signals:
    void stepChanged(const QString& step);
    void toolLine(const QString& line);
    void progressChanged(const ranupa::ProgressMeasure& measure);
    void confirmationNeeded(const ranupa::RestoreSummary& summary);
    // The outcome, as soon as it is certain; the work may still be finishing (a restore drops
    // the previous database after it). At most once, before finished().
    void reported(const ranupa::OperationOutcome& outcome);
    void finished(const ranupa::OperationOutcome& outcome);

private:
    friend class Operation;
    struct Private;
    std::unique_ptr<Private> d;
    bool m_asksOperator = false;
};

// What a caller without signals wants to hear of a running job.
struct OperationProgress
{
    std::function<void(const QString& step)> stepChanged;
    std::function<void(const QString& line)> toolLine;
    std::function<void(const ProgressMeasure& measure)> measured;
    std::function<void(const OperationOutcome& outcome)> reported;
};

// Runs a job to its end in a local event loop and gives back how it ended; for the command line
// and tests. The caller keeps the job, so that it can still cancel it meanwhile.
template <typename Job>
OperationOutcome runToEnd(Job& job, const QString& input, const OperationProgress& progress)
{
    QEventLoop loop;
    OperationOutcome outcome;
    const auto connectIfSet = [&](auto signal, const auto& slot) {
        if (slot) {
            QObject::connect(&job, signal, &loop, slot);
        }
    };
    connectIfSet(&Job::stepChanged, progress.stepChanged);
    connectIfSet(&Job::toolLine, progress.toolLine);
    connectIfSet(&Job::progressChanged, progress.measured);
    connectIfSet(&Job::reported, progress.reported);
    QObject::connect(&job, &Job::finished, &loop, [&](const OperationOutcome& result) {
        outcome = result;
        loop.quit();
    });
    job.start(input);
    loop.exec();
    return outcome;
}

} // namespace ranupa

Q_DECLARE_METATYPE(ranupa::OperationOutcome)
Q_DECLARE_METATYPE(ranupa::RestoreSummary)
