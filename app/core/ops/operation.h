#pragma once

#include "core/files/installation.h"
#include "core/model/outcome.h"
#include "core/model/progress.h"
#include "core/pg/serversession.h"
#include "core/pg/toolrunner.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <variant>

namespace ranupa {

// The room a file of about `bytes` is given on a disk: its size and a margin, a tenth and at
// least 64 MiB. An estimate that falls a little short still fits, and the program never fills a
// disk that others need too (the server, the school application, the temp folder's other users).
constexpr qint64 roomNeeded(qint64 bytes)
{
    return bytes + std::max<qint64>(qint64(64) << 20, bytes / 10);
}

// Whoever runs an operation: hears how it goes, answers its question, says when to stop. Called
// on the operation's thread.
class OperationHost
{
public:
    virtual ~OperationHost() = default;

    virtual void stepChanged(const QString& step) = 0;
    virtual void toolLine(const QString& line) = 0;
    virtual void progressChanged(const ProgressMeasure& measure) = 0;
    virtual void planChanged(const PlanPosition& position) = 0;
    // The outcome, as soon as it is certain; the work may still be finishing.
    virtual void reported(const OperationOutcome& outcome) = 0;
    virtual bool cancelRequested() const = 0;
    // Whether there is someone to ask; then confirm() asks, and gives nothing when the operation
    // is cancelled meanwhile.
    virtual bool asksOperator() const = 0;
    virtual std::optional<Confirmation> confirm(const RestoreSummary& summary) = 0;
};

// What one running operation works with: the installation and the server lock once taken, and
// the way to tell its progress, ask the operator and notice a cancel. The operations are
// straight-line functions of steps that take an Operation.
class Operation final
{
    Q_DISABLE_COPY_MOVE(Operation)

public:
    explicit Operation(OperationHost& host);
    ~Operation();

    // What every backup and restore does first: finds the installation, starts the program's own
    // session on the server, takes the server lock and sets right what an interrupted run left
    // (removeLeftCopies(), recoverInterruptedWork()). Then installation() and session() are there.
    std::optional<Failure> begin();
    const Installation& installation() const { return m_installation; }
    ServerSession& session() { return *m_session; }

    void step(const QString& text) { m_host.stepChanged(text); }
    void toolLine(const QString& line) { m_host.toolLine(line); }
    void progress(const ProgressMeasure& measure)
    {
        m_host.progressChanged(measure);
        tell(m_plan.take(measure));
    }
    // The numbered steps the operator is told of from now on, with their shares of one bar.
    void setPlan(StepPlan plan) { m_plan.setPlan(std::move(plan)); }
    // Step `kind` of the plan begins; without such a step in the plan, the running one goes on.
    void beginStep(StepKind kind) { tell(m_plan.begin(kind)); }
    void finishPlan() { tell(m_plan.finish()); }
    // Since the operation began, in milliseconds.
    qint64 elapsed() const { return m_clock.elapsed(); }
    // Worth telling whatever the outcome (what the recovery set right): goes into the details.
    void note(const QString& text) { m_notes.append(text); }
    QString notes() const { return m_notes.join(u"\n\n"); }

    bool cancelled() const { return m_cancellable && m_host.cancelRequested(); }
    // Whether a cancel was asked for, even while it stops nothing: for a wait that may safely be
    // given up.
    bool cancelRequested() const { return m_host.cancelRequested(); }
    // While the guard lives, a cancel stops nothing: for a step that must not be cut off half-way
    // and for putting things right after a failure or a cancel, which run to their end.
    [[nodiscard]] auto uncancellable()
    {
        return qScopeGuard(
            [this, before = std::exchange(m_cancellable, false)] { m_cancellable = before; });
    }
    // Runs one client program of the installation to its end (tools.h): a cancel ends it. Its
    // lines are shown only where `how` hands them to toolLine().
    ToolResult run(const ToolCommand& command, ToolRun how = {});
    // Changes the server, only while the program's own session still holds the lock (its check
    // comes first): the statements run in the postgres database one after the other (CREATE and
    // DROP DATABASE take no transaction), or with `inOneTransaction` all of them or none. The
    // failure names `step`.
    std::optional<Failure> change(const QString& step, const QStringList& statements,
                                  bool inOneTransaction = false);
    // The rows of `statement`, asked through the program's own session (in the postgres
    // database), or with `database` through a psql of its own; a cancel stops the wait. `step`
    // names the question in a failure.
    Result<Rows> query(const QString& step, const QString& statement, const QString& database = {});

    bool asksOperator() const { return m_host.asksOperator(); }
    std::optional<Confirmation> confirm(const RestoreSummary& summary)
    {
        return m_host.confirm(summary);
    }
    // Hands the outcome over before the work is over: what is left does not change it.
    void report(const OperationOutcome& outcome) { m_host.reported(outcome); }

private:
    ToolRun readied(ToolRun how);
    void tell(const std::optional<PlanPosition>& position)
    {
        if (position) {
            m_host.planChanged(*position);
        }
    }

    OperationHost& m_host;
    QElapsedTimer m_clock;
    PlanProgress m_plan;
    Installation m_installation;
    std::unique_ptr<ServerSession> m_session;
    QStringList m_notes;
    bool m_cancellable = true;
};

// While it lives, asks `statement` (none when it is "") through the program's own session once a
// second, its timer firing while a tool runs, and hands the rows to `answered` (none when the
// question failed); then calls `tick`. An answer still on its way when it goes is dropped.
class SessionWatch final
{
    Q_DISABLE_COPY_MOVE(SessionWatch)

public:
    SessionWatch(
        ServerSession& session, const QString& statement,
        const std::function<void(const Rows&)>& answered,
        const std::function<void()>& tick = [] {});
    ~SessionWatch() { m_session.forget(); }

private:
    ServerSession& m_session;
    QTimer m_timer;
};

// One backup of pendataan into `targetDir`. With `verify`, a trial restore of the file written
// follows under the same lock; when it fails, so does the backup, though its file stays.
struct BackupRequest
{
    QString targetDir;
    bool verify = false;
};

// What the operator asks of a restore.
struct RestoreRequest
{
    QString backupFile;
    // A backup of a database other than pendataan is refused unless this is set, or the
    // operator is asked and sees it in the summary.
    bool acceptOtherDatabase = false;
    // Back the current pendataan up into this folder first, as a normal backup would, under the
    // same lock; if that backup fails, nothing is restored. "" for none. When the operator is
    // asked, the answer decides instead.
    QString safetyBackupDir = {};
};

// A trial restore of `backupFile` into a database of the program's own; pendataan is never
// touched.
struct VerifyRequest
{
    QString backupFile;
};

// In the order of OperationKind.
using OperationRequest = std::variant<BackupRequest, RestoreRequest, VerifyRequest>;

// Each operation first begins (Operation::begin()); then it runs its steps, each a function of its
// own that the operations share (dump.h, load.h, owndatabases.h). An empty path gives a Skipped
// outcome.

// The backup (writeBackup()), then with `verify` the trial restore of the new file.
OperationOutcome backupDatabase(Operation& operation, const BackupRequest& request);

// Replaces pendataan with the backup in `request.backupFile`, never touching pendataan before
// the new database is complete:
//   1. open the file once and copy its members in one read into a private folder (everything
//      after reads that copy, or without one the one open file), check it and read what it
//      holds; ask the server whether it can take it;
//   2. ask the operator, when there is one to ask; back the current pendataan up, when asked;
//   3. create the marked scratch database and load the backup into it;
//   4. in one transaction, set pendataan aside as the marked old copy, give the scratch
//      database its name and its settings: "Restore database berhasil" is reported here;
//   5. drop the old copy.
// Any failure before 4 drops the scratch database: pendataan is as it was. An interruption at any
// instant leaves only marked databases, which the next run drops.
OperationOutcome restoreDatabase(Operation& operation, const RestoreRequest& request);

// "Backup dapat di-restore" with the counts, or "Backup tidak dapat di-restore" with the cause.
OperationOutcome verifyBackup(Operation& operation, const VerifyRequest& request);

// Whichever of the three `request` asks for.
OperationOutcome runRequest(Operation& operation, const OperationRequest& request);

} // namespace ranupa
