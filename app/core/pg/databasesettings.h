#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace ranupa {

struct ArchiveToc;

// The list for pg_restore --use-list that selects the database's own entries: its comment,
// privileges, security labels and settings (the DATABASE PROPERTIES entry). Empty when the
// archive has none of them.
QByteArray databaseEntriesList(const ArchiveToc& toc);

// What of pg_restore --create's script of the database's own entries a restore applies to the new
// database: every kind of statement pg_dump writes there (outside binary upgrades) about the
// archive's own database: its comment and security labels, its connection limit and template
// flag, its settings and role settings, and its privileges (with SET and RESET SESSION
// AUTHORIZATION around a grant made by another role than the owner). The archive's text is never
// run: each statement is written anew by the program (names and values quoted by it), so that
// what psql reads means exactly what the program read. Session settings, the CREATE DATABASE,
// its owner, \connect and \restrict are left out. Anything else refuses the whole script, and
// so does a control character other than tab and line feed anywhere in it, or an encoding no
// database can have.
struct DatabaseSettings
{
    QByteArray encoding;   // the script's client encoding, which the statements' bytes are in
    QByteArray statements; // one a line, each ending in ";"; empty when there is nothing to apply
    QString refused;       // what was refused, as the archive has it (control characters as
                           // \xNN); or ""
    QString refusedWhy;    // why, e.g. "perintah yang bukan pengaturan database"
};
DatabaseSettings databaseSettings(QByteArrayView script);

// The statements of `settings` for the database `database`.
QByteArray settingsFor(const DatabaseSettings& settings, const QString& database);

} // namespace ranupa
