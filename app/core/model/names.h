#pragma once

#include <QStringView>

// The names of the school-data application's database and of the databases the program makes
// beside it on the server.
namespace ranupa {

// The school-data application's database: the one backed up, and replaced by a restore.
inline constexpr QStringView pendataan = u"pendataan";

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

} // namespace ranupa
