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
};

// Reads the CREATE DATABASE statement that pg_restore --create writes into its script. Nothing
// when the script holds none.
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

// How many entries pg_restore loads into an existing database from an archive whose table of
// contents `toc` was listed with --create: all but the database's own, which it restores only
// when it creates the database itself.
int loadedEntryCount(const ArchiveToc& toc);

// What of pg_restore --create's script of the database's own entries applies to an existing
// pendataan: its comment, privileges, settings and role settings, with the name the archive
// gives the database replaced by pendataan. Without the CREATE DATABASE, the database's owner
// and any \connect (the script runs in pendataan). Empty when nothing is left to apply.
QByteArray databaseSettingsScript(QByteArrayView script);

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

// The statement that creates the empty pendataan: owner postgres, tablespace pg_default, no
// connection limit, from template0 (so that nothing added to template1 comes along), with the
// given encoding and locale. The locale provider is named only to servers that know it (15 on).
QString createDatabaseStatement(const DatabaseLocale& locale, int serverVersion);

// The psql command line that runs createDatabaseStatement(), shaped like the other psql
// commands of a restore.
QString createDatabaseCommandLine(const QString& port, const DatabaseLocale& locale,
                                  int serverVersion);

// The failure details for roles a backup names that the server lacks: which, and how to make
// them.
QString missingRolesProblem(const QStringList& roles);

} // namespace ranupa
