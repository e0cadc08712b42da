#pragma once

#include <QDateTime>
#include <QStringList>

namespace ranupa {

// The time in a backup's file name, or an invalid QDateTime when the name is not a backup's.
QDateTime backupTime(const QString& fileName);

// The backups among `fileNames` that keeping only the newest `keep` removes: only names that are
// the edition word, 14 digits of a valid DDMMYYYYhhmmss time and ".dbk"; all but the newest
// `keep` by that time. `justWritten` is never among them, so a clock that went back cannot cost
// the newest backup.
QStringList backupsToRemove(const QStringList& fileNames, int keep, const QString& justWritten);

} // namespace ranupa
