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
#include <algorithm>
#include <memory>
#include <optional>
#include <utility>

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

    // Finds the installation, starts the program's own session on the server and takes the
    // server lock. Then installation() and session() are there.
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
    // Runs one client program of the installation to its end (toolcommands.h): a cancel ends
    // it. Its lines are shown only where `how` hands them to toolLine().
    ToolResult run(const ToolCommand& command, ToolRun how = {});
    // The same with `input` on its standard input.
    ToolResult run(const ToolCommand& command, const QByteArray& input);
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

} // namespace ranupa
