#pragma once

#include "core/files/backupfiles.h"

#include <QDateTime>
#include <QStringList>

namespace ranupa {

// A backup of either kind in a folder, as the listing shows it.
struct BackupFile
{
    QString path;
    QDateTime time; // from its name
    qint64 size = 0;
    bool beforeRestore = false; // the safety backup made before a restore
};

// The backups in `directory`, newest first.
QList<BackupFile> listBackups(const QString& directory);

// One line: "Selasa, 8 Desember 2026 pukul 17.00 | 3 hari yang lalu | 12,4 MB | backup biasa |
// ranupaku08122026170000.dbk"; a safety backup says "backup pengaman sebelum restore".
QString describeBackup(const BackupFile& backup,
                       const QDateTime& now = QDateTime::currentDateTime());

// The backups among `fileNames` that keeping only the newest `keep` removes: only names that are
// the edition word, 14 digits of a valid DDMMYYYYhhmmss time and ".dbk"; all but the newest
// `keep` by that time. `justWritten` is never among them, so a clock that went back cannot cost
// the newest backup.
QStringList backupsToRemove(const QStringList& fileNames, int keep, const QString& justWritten);

// How far ahead of the clock a backup's name may lie and still count: clocks of machines that
// share a directory differ a little.
inline constexpr qint64 allowedClockSkewSecs = 5 * 60;

struct RetentionResult
{
    QStringList removed;    // paths of the backups removed
    QStringList notRemoved; // "path: why" of backups that were to go but could not be removed
    QStringList unvouched;  // "path: why" of files named as backups that were left alone
};

// Keeps the newest `keep` backups in `directory`, the one at `justWrittenPath` among them, and
// removes the other backups. Only files it can vouch for count and can be removed: a tar
// archive whose structure is whole, named as a backup with a time no later than `now` (give or
// take the allowed skew). Every other file named as a backup is left alone and reported.
RetentionResult keepNewestBackups(const QString& directory, int keep,
                                  const QString& justWrittenPath,
                                  const QDateTime& now = QDateTime::currentDateTime());

} // namespace ranupa
