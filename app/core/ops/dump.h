#pragma once

#include "core/files/backupfiles.h"
#include "core/ops/operation.h"

#include <QByteArray>
#include <QString>
#include <optional>

namespace ranupa {

// pendataan's size on the server, as the lock's own session asks for it; nothing when the server
// does not say.
std::optional<qint64> pendataanSize(Operation& operation);

// Whether a folder with `available` bytes free on a file system of `fileSystemType` (as
// QStorageInfo names it) has room for a backup of a database of `databaseSize` bytes: its size
// and a margin, and on FAT no file of 4 GiB or more. The failure gives the figures.
std::optional<Failure> roomProblem(qint64 databaseSize, qint64 available,
                                   const QByteArray& fileSystemType);

// A backup of pendataan into `targetDirText`, for an operation that has begun, checked first for
// room against `databaseSize` (pendataanSize(), where the server said): pg_dump writes a
// partial file, which the program checks as it will read it (the archive's structure, and
// whatever a restore of it would refuse) and only then gives its final name, never replacing
// another file. The file written, or why there is none: a failed backup leaves no file.
Result<QString> writeBackup(Operation& operation, const QString& targetDirText,
                            const std::optional<qint64>& databaseSize,
                            BackupKind kind = BackupKind::Regular);

} // namespace ranupa
