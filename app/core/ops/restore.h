#pragma once

#include "core/ops/archivecheck.h"
#include "core/ops/operation.h"
#include "core/ops/restoreplan.h"

#include <QFile>
#include <QString>

namespace ranupa {

// The steps a restore and a trial restore share, each called as a step of the operation that
// runs them: the backup file opened once and from then on read only through that open file,
// checked, planned against the server, and loaded into `database`, a marked database of the
// program's own (recovery.h), which is dropped again when the work does not go on with it.
class BackupLoad final
{
    Q_DISABLE_COPY_MOVE(BackupLoad)

public:
    // `what` names the database in the steps: "Membuat database <what>...".
    BackupLoad(Operation& operation, const QString& database, const QString& what);

    std::optional<Failure> openFile(const QString& fileText);
    std::optional<Failure> check();
    std::optional<Failure> plan(bool acceptOtherDatabase);
    std::optional<Failure> createDatabase();
    // pg_restore loads the file; the bar follows the bytes it has read.
    std::optional<Failure> load();
    // The file is read through the one open file, so it cannot be swapped for another; this
    // catches one written over while it was read.
    std::optional<Failure> checkFileUnchanged() const;
    // Drops the database once this load has created it; the failure says why it could not.
    std::optional<Failure> dropDatabase(const QString& step);

    const QString& filePath() const { return m_filePath; } // absolute
    qint64 fileSize() const { return m_fileSize; }
    QFile& file() { return m_file; }
    const ArchiveToc& toc() const { return m_toc; }
    const TarMembers& members() const { return m_members; } // none for the custom format
    const RestorePlan& restorePlan() const { return m_plan; }

private:
    Operation& m_op;
    const QString m_database;
    const QString m_what;
    QString m_filePath;
    QFile m_file;
    qint64 m_fileSize = 0;
    QDateTime m_fileModified;
    ArchiveToc m_toc;
    TarMembers m_members;
    RestorePlan m_plan;
    bool m_created = false;
};

// What the operator asks of a restore.
struct RestoreRequest
{
    QString backupFile;
    // A backup of a database other than pendataan is refused unless this is set, or the
    // operator is asked and sees it in the summary.
    bool acceptOtherDatabase = false;
    // Back the current pendataan up into this directory first, as a normal backup would, under
    // the same lock; if that backup fails, nothing is restored. "" for none. When the operator
    // is asked, the answer decides instead.
    QString safetyBackupDir;
};

// Replaces pendataan with the backup in `request.backupFile`, never touching pendataan before
// the new database is complete:
//   1. find the installation, take the server lock, set right what an interrupted run left;
//   2. open the file once (everything after reads it through that one open file), check it and
//      read what it holds; ask the server whether it can take it;
//   3. ask the operator, when there is one to ask; back the current pendataan up, when asked;
//   4. create the marked scratch database and load the backup into it;
//   5. in one transaction, set pendataan aside as the marked old copy, give the scratch
//      database its name and its settings: "Restore database berhasil" is reported here;
//   6. drop the old copy.
// Any failure before 5 drops the scratch database: pendataan is as it was. An interruption at any
// instant leaves only marked databases, which the next run drops.
OperationOutcome restoreDatabase(Operation& operation, const RestoreRequest& request);

// restoreDatabase() on a worker thread.
class RestoreJob final : public OperationJob
{
public:
    using OperationJob::OperationJob;

    // finished() follows exactly once, never from inside start(); an empty text gives a Skipped
    // outcome.
    void start(const QString& backupFileText);
    void setAcceptOtherDatabase(bool accept) { m_request.acceptOtherDatabase = accept; }
    // With this set before start(), the restore stops once the file and the server have passed
    // their checks, before anything on the server is touched: it emits confirmationNeeded() and
    // waits for proceed() or decline().
    void setAskBeforeReplacing(bool ask) { setAsksOperator(ask); }
    void setSafetyBackupDir(const QString& directory) { m_request.safetyBackupDir = directory; }
    // The answers to confirmationNeeded(); decline() finishes as Skipped, touching nothing.
    void proceed() { answer({.proceed = true, .safetyBackupDir = m_request.safetyBackupDir}); }
    void decline() { answer({}); }

private:
    RestoreRequest m_request;
};

// Runs a restore to the end; for the command line and tests.
OperationOutcome runRestore(const QString& backupFileText, const OperationProgress& progress = {});

} // namespace ranupa
