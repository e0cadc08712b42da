#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <optional>

namespace ranupa {

struct ArchiveToc;

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

// What a server offers for the new database.
struct ServerLocaleFacts
{
    int version = 0;              // server_version_num, e.g. 150018
    bool windows = false;         // Windows servers accept UTF8 with any locale
    DatabaseLocale defaults;      // template0's: what initdb chose for the server
    QString archiveLocaleProblem; // why the server cannot use the archive's locale; "" if it can
};

struct LocaleChoice
{
    std::optional<DatabaseLocale> locale; // nothing when no locale fits
    QString note;    // when the choice differs from the archive's: what was chosen, and why
    QString problem; // when nothing fits: why, and what to do
};

// The archive's encoding and locale where the server has that locale; otherwise the server's
// default locale with the archive's encoding, when the two fit together.
LocaleChoice chooseDatabaseLocale(const DatabaseLocale& archive, const ServerLocaleFacts& server);

// What CREATE DATABASE ... WITH is given for the new pendataan: owner postgres, tablespace
// pg_default, no connection limit, from template0 (so that nothing added to template1 comes
// along), with the given encoding and locale. The locale provider is named only to servers that
// know it (15 on).
QString createDatabaseOptions(const DatabaseLocale& locale, int serverVersion);

// The failure details for roles a backup names that the server lacks: which, and how to make
// them.
QString missingRolesProblem(const QStringList& roles);

} // namespace ranupa
