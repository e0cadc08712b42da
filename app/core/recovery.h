#pragma once

#include "core/failurecause.h"

#include <QMetaType>
#include <QObject>
#include <QString>
#include <memory>

namespace ranupa {

struct ToolResult;

// While a restore loads the new pendataan, the previous one waits on the server under a name of
// the program's own. The moment the new database is complete, the previous one is renamed once
// more, to the completed name: that rename is the mark that the restore got through, and the
// copy under the completed name is only left to be dropped. Whatever of the two names a run
// finds on the server was left by a restore that was interrupted.
QString setAsideDatabaseName();
QString completedDatabaseName();

// A psql command line that runs one SQL statement as postgres on the local server, in `database`
// or else in psql's default one. psql reaches the server by "localhost", as pg_dump and
// pg_restore do: every tool of a backup or restore must meet the same server the same way, or
// one of them may be refused half-way.
QString psqlCommandLine(const QString& port, const QString& statement,
                        const QString& database = {});

// Room held on the server's disk while a restore loads. When the load fills the disk, the server
// cannot even drop the unfinished database (that needs a checkpoint, which needs room): the
// reserve, a table in the new pendataan, is dropped first, and a dropped table gives its room
// back at once. It is dropped too when the load succeeded, before the new database counts as
// complete.
QString roomReserveTableName();
QString reserveRoomStatement();
QString freeRoomStatement();

// Where things stand when the previous pendataan could not be put back under its name.
QString notPutBackYetText();

// The cause of a failed tool run when the server's disk filled up, in words; "" otherwise.
QString diskFullCause(const ToolResult& result);

struct RecoveryResult
{
    bool ok = false;               // nothing of an interrupted restore is left that matters
    bool pendataanExists = false;  // pendataan is on the server now
    bool putBack = false;          // an unfinished restore's previous database was put back
    bool droppedCompleted = false; // a finished restore's previous copy was dropped
    bool changedNothing = false;   // failed before it touched anything (the server's state unknown)
    QString report;                // what was set right, for the operator; "" when nothing was
    QString problem;               // on failure: what failed, where things stand, the tool's output
    FailureCause cause = FailureCause::Unknown; // on failure, as the failing tool told it
};

// Finds what an interrupted restore left on the server and sets it right, before any backup or
// restore: a set-aside database (the new pendataan was not complete) goes back under its name,
// in place of whatever pendataan there is now; a completed copy is dropped. Safe to run again at
// any instant: every step leaves the server in a state that the next run also recognises.
class Recovery final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Recovery)

public:
    // A statement that fails, e.g. for connections that keep coming back, gets this many tries.
    static constexpr int endConnectionAttempts = 3;

    explicit Recovery(QObject* parent = nullptr);
    ~Recovery() override;

    // finished() follows exactly once, never from inside start(). Not cancellable: a recovery
    // stopped half-way would only have to be done again.
    void start(const QString& port);
    // The same, for a restore that knows it set pendataan aside: no look at the server first,
    // which on a full disk may fail where the drop of the unfinished database, which makes
    // room, still gets through.
    void startPuttingBack(const QString& port);

signals:
    void toolLine(const QString& line);
    void finished(const ranupa::RecoveryResult& result);

private:
    enum class Step;
    void run(Step step);
    void onFinished(Step step, const ToolResult& result);
    void onInspected(const ToolResult& result);
    void putBackOrFinish();
    void finishWith(bool ok, const QString& problem = {},
                    FailureCause cause = FailureCause::Unknown);

    struct Private;
    std::unique_ptr<Private> d;
};

// Runs a recovery to its end in a local event loop; for tests.
RecoveryResult recoverInterruptedRestore(const QString& port);

} // namespace ranupa

Q_DECLARE_METATYPE(ranupa::RecoveryResult)
