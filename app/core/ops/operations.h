#pragma once

#include "core/model/outcome.h"

#include <QString>
#include <variant>

namespace ranupa {

class Operation;

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

// Each operation first finds the installation, takes the server lock and sets right what an
// interrupted run left; then it runs its steps, each a function of its own that the operations
// share (dump.h, load.h, swap.h, trial.h). An empty path gives a Skipped outcome.

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
