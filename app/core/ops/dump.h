#pragma once

#include "core/model/failure.h"
#include "core/model/names.h"

#include <QString>

namespace ranupa {

class Operation;

// A backup of pendataan into `targetDirText`, for an operation that has begun: pg_dump writes a
// partial file, which the program checks as it will read it (the archive's structure, and
// whatever a restore of it would refuse) and only then gives its final name, never replacing
// another file. The file written, or why there is none: a failed backup leaves no file.
Result<QString> writeBackup(Operation& operation, const QString& targetDirText,
                            BackupKind kind = BackupKind::Regular);

} // namespace ranupa
