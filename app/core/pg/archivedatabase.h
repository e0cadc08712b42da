#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <optional>

namespace ranupa {

// The encoding and locale of a database, as CREATE DATABASE takes them.
struct DatabaseLocale
{
    QString encoding; // "UTF8", "LATIN1", ...
    QString collate;  // LC_COLLATE
    QString ctype;    // LC_CTYPE
    QString provider; // "libc" or "icu"; "" where the server knows no providers (before 15)
    QString icuLocale;

    friend bool operator==(const DatabaseLocale&, const DatabaseLocale&) = default;
};

// What the CREATE DATABASE statement of a backup says about the database it was made from.
struct ArchiveDatabase
{
    QString name;
    DatabaseLocale locale;
    QString owner; // "" when the script does not say
};

// Reads the CREATE DATABASE statement that pg_restore --create writes into its script, and the
// owner it then gives the database. Nothing when the script holds no CREATE DATABASE.
std::optional<ArchiveDatabase> archiveDatabaseFromScript(QByteArrayView script);

// Every role a restore script names: owners, grantees and grantors of privileges, default
// privileges, roles of policies, role settings and user mappings. Neither PUBLIC nor the owner
// of the database itself, which a restore creates anew as postgres's. In order of first
// appearance, without repeats.
QStringList rolesNamedInScript(QByteArrayView script);

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
