#pragma once

#include "core/operation.h"

#include <QDateTime>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <memory>

namespace ranupa {

struct ToolResult;
struct ArchiveCheckResult;
struct RecoveryResult;
struct RestorePlan;

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

    bool isOtherDatabase() const;
};

// The command lines of a restore, in the order they run when all goes well. The previous
// pendataan is never dropped before the new one is complete: it is renamed aside, and dropped
// only after a second rename has marked the new one complete (see recovery.h).
struct RestoreCommands
{
    QString endConnections;         // ends every connection to pendataan
    QString setAside;               // renames pendataan to setAsideDatabaseName()
    QString create;                 // creates the new, empty pendataan
    QString reserveRoom;            // holds room on the disk in it while it loads (recovery.h)
    QString load;                   // pg_restore loads the backup file into it
    QString freeRoom;               // gives that room back
    QString endSetAsideConnections; // before a second try of the mark
    QString markComplete;           // renames the set-aside database to completedDatabaseName()
    QString dropPrevious;           // drops the completed copy
    QString dropUnfinished;         // drops an unfinished pendataan when there was none before
};

RestoreCommands restoreCommands(const QString& port, const QString& backupFile);
// The psql command line that creates the new, empty pendataan.
QString createDatabaseCommandLine(const QString& port);
// The pg_restore command line that loads `backupFile` into pendataan.
QString loadCommandLine(const QString& port, const QString& backupFile);

// One restore of the pendataan database from a backup file, run without blocking the event loop.
class RestoreJob final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RestoreJob)

public:
    // Connections that keep coming back get this many attempts before the restore gives up.
    static constexpr int setAsideAttempts = 3;

    explicit RestoreJob(QObject* parent = nullptr);
    ~RestoreJob() override;

    // Reads the port, sets right what an interrupted restore left, checks the file, then
    // replaces pendataan. finished() follows exactly once, never from inside start(); an empty
    // text gives a Skipped outcome.
    void start(const QString& backupFileText);
    // A backup of a database other than pendataan is refused unless this is set before start(),
    // or the operator is asked (setAskBeforeReplacing) and sees it in the summary.
    void setAcceptOtherDatabase(bool accept);
    // With this set before start(), the restore stops once the file and the server have passed
    // their checks, before anything on the server is touched: it emits confirmationNeeded() and
    // waits for proceed() or decline(). Without it, it goes on at once.
    void setAskBeforeReplacing(bool ask);
    // Backs up the current pendataan into `directory` first, as a normal backup would, while
    // this restore holds the one-at-a-time lock; if that backup fails, nothing is restored.
    // "" for none. Set before start() or before proceed().
    void setSafetyBackupDir(const QString& directory);
    // The answers to confirmationNeeded(). decline() finishes without touching anything and
    // without a message to show (a Skipped outcome).
    void proceed();
    void decline();
    // Stops the restore and puts pendataan back as it was; finishes as Cancelled. Once the new
    // database has been marked complete, the restore finishes as it would have.
    void cancel();

signals:
    void stepChanged(const QString& step);
    void toolLine(const QString& line);
    // While pg_restore loads: the entries of the backup's table of contents loaded, of all.
    void progressChanged(const ranupa::ProgressMeasure& measure);
    // Never from inside start() or another signal of the job.
    void confirmationNeeded(const ranupa::RestoreSummary& summary);
    void finished(const ranupa::OperationOutcome& outcome);

private:
    enum class Step;
    struct Ending;
    void setStepText(const QString& text);
    void startRecovery();
    void onRecovered(const RecoveryResult& result);
    void onCheckFinished(const ArchiveCheckResult& result);
    void onPlanReady(const RestorePlan& plan);
    void askForConfirmation();
    void startReplacing();
    void startSafetyBackup();
    void onSafetyBackupFinished(const OperationOutcome& backup);
    void applyDatabaseSettings();
    void onSettingsApplied(const ToolResult& result);
    void runCommand(Step step);
    void onCommandFinished(Step step, const ToolResult& result);
    void onSetAsideFinished(const ToolResult& result);
    void onLoadSucceeded();
    void markComplete();
    void onMarkFailed(const ToolResult& result);
    void endUnchanged(const Ending& ending);
    void rollBack(const Ending& ending);
    void finishSucceeded(const QString& note = {});
    void onLoadLine(const QString& line);
    void finishAs(OperationStatus status, const QString& message, const QString& details,
                  FailureCause cause = FailureCause::Unknown, bool pendataanUnchanged = false);
    // For an ending whose details say that pendataan is as it was: the outcome says so too.
    void finishUnchanged(OperationStatus status, const QString& message, const QString& details,
                         FailureCause cause);

    struct Private;
    std::unique_ptr<Private> d;
};

// Runs a restore to the end in a local event loop; for the command line and tests.
OperationOutcome runRestore(const QString& backupFileText, const OperationProgress& progress = {});

} // namespace ranupa

Q_DECLARE_METATYPE(ranupa::RestoreSummary)
