#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

// The names the program gives and reads: the school-data application's database, the databases
// the program makes beside it on the server, and the backup files.
namespace ranupa {

// The school-data application's database: the one backed up, and replaced by a restore.
inline constexpr QStringView pendataan = u"pendataan";

// The edition word every backup's name starts with.
inline constexpr QStringView editionWord = u"ranupaku";

// The databases the program makes on the server besides pendataan. Each carries the program's
// mark (a comment) from the moment it bears one of these names, and only a database under one of
// these names with that mark is ever dropped or renamed by the program:
//   ranupa_helper_pendataan_baru   a restore loads the backup into it; once complete, it becomes
//                                  pendataan in the same transaction that sets the old one aside
//   ranupa_helper_pendataan_usang  the previous pendataan, set aside by that transaction and
//                                  dropped right after it
//   ranupa_helper_uji              a trial restore loads the backup into it, counts its rows
//                                  and drops it
inline constexpr QStringView scratchDatabaseName = u"ranupa_helper_pendataan_baru";
inline constexpr QStringView replacedDatabaseName = u"ranupa_helper_pendataan_usang";
inline constexpr QStringView trialDatabaseName = u"ranupa_helper_uji";
// A database is created under a name of its own, the unfinished prefix and a random suffix, and
// refusing connections: no command can mark it in the instant it is created. Until one
// transaction marks it, gives it its name and opens it, nobody can have put anything into it, so
// the program drops a database with that prefix that still refuses connections, whoever was
// interrupted while making it.
inline constexpr QStringView unfinishedDatabasePrefix = u"ranupa_helper_dibuat_";
// What restores of earlier versions of the program set the previous pendataan aside under while
// they loaded the new one; they put no mark on it.
inline constexpr QStringView legacySetAsideName = u"ranupa_helper_pendataan_sebelum";
// The comment that marks the program's own databases.
inline constexpr QStringView ownDatabaseMark = u"Dibuat oleh Ranupa Helper; dihapus otomatis.";

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

// The time in a regular backup's file name, or an invalid QDateTime when the name is not a
// regular backup's (a safety backup's is not: retention never counts those).
QDateTime backupTime(const QString& fileName);

// The time in the name of a backup of either kind, regular or made before a restore
// ("ranupaku<DDMMYYYYhhmmss>-sebelum-restore.dbk"), and which kind; invalid for other names.
QDateTime backupNameTime(const QString& fileName, bool* beforeRestore = nullptr);

// The backups of either kind among `fileNames`, newest first by the time in their names (by name
// within one second); other names are left out. The order the operator sees backups in.
QStringList backupsNewestFirst(const QStringList& fileNames);

} // namespace ranupa
