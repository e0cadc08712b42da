#pragma once

#include "core/operation.h"

#include <QDateTime>
#include <QString>
#include <optional>

namespace ranupa {

// What a backup is for: the regular kind, or the copy of pendataan a restore makes first, which
// is named apart so that it is never taken for, nor counted among, the regular ones.
enum class BackupKind
{
    Regular,
    BeforeRestore,
};

// The file a backup writes into `targetDir` at local time `now`: targetDir, one separator,
// "ranupaku" + DDMMYYYYhhmmss + ".dbk", or + "-sebelum-restore.dbk" before a restore; in the
// system's own writing (backslashes on Windows).
QString backupFilePath(const QString& targetDir, const QDateTime& now,
                       BackupKind kind = BackupKind::Regular);

// One backup of pendataan into `targetDirText`: finds the installation, takes the server lock,
// sets right what an interrupted restore left, then writes the backup (writeBackup()). With
// `verify`, a trial restore of the file written follows under the same lock (trialRestore());
// when it fails, so does the backup, though its file stays. An empty text gives a Skipped
// outcome, after the settings have been read as always.
OperationOutcome backupDatabase(Operation& operation, const QString& targetDirText,
                                bool verify = false);

// The backup itself, for an operation that has begun (Operation::begin()): pg_dump writes a
// partial file, which gets its final name only once it has passed the archive check, never
// replacing another file. `filePath` is the file written (or meant to be).
std::optional<Failure> writeBackup(Operation& operation, const QString& targetDirText,
                                   QString& filePath, BackupKind kind = BackupKind::Regular);

// backupDatabase() on a worker thread.
class BackupJob final : public OperationJob
{
public:
    using OperationJob::OperationJob;
    // finished() follows exactly once, never from inside start().
    void start(const QString& targetDirText);
    void setVerify(bool verify) { m_verify = verify; }

private:
    bool m_verify = false;
};

// Runs a backup to the end; for the command line and tests.
OperationOutcome runBackup(const QString& targetDirText, const OperationProgress& progress = {});

} // namespace ranupa
