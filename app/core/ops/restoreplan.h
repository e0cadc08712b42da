#pragma once

#include "core/model/outcome.h"
#include "core/pg/archive.h"
#include "core/pg/archivedatabase.h"
#include "core/pg/toolrunner.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>
#include <optional>

namespace ranupa {

class Operation;

// Before a restore touches the server, the backup is checked (can pg_restore read all of it?) and
// planned against the server (can the server take it?).

// What pg_restore reads a backup from: its open file, fed on the standard input from the start,
// or the folder of its private copy (archivecopy.h), read as an archive in the directory format.
struct ArchiveSource
{
    ArchiveSource(QFile& file) : file(&file) {} // NOLINT(google-explicit-constructor)
    explicit ArchiveSource(const QString& copyFolder) : folder(copyFolder) {}

    // Readies `how` to hand the archive over: the file from its start; the folder is named in the
    // command instead.
    void feed(ToolRun& how) const;

    QFile* file = nullptr;
    QString folder;
};

// Checks that the open backup `file` can be restored, reading it through the file, never by its
// path again: its tar structure first (pg_restore 15 can spin forever on some cut-short tar
// archives, so it must never see one), then its table of contents as pg_restore --list --create
// reads it, which must name no data member that the archive lacks. A custom-format archive has
// no tar structure; pg_restore reads it through instead. Gives the table of contents in `toc`
// (empty for the custom format) and the tar members in `members` (none for the custom format).
// Leaves the file's position anywhere.
std::optional<Failure> checkArchive(Operation& operation, QFile& file, ArchiveToc& toc,
                                    TarMembers* members = nullptr);

// The same check of a private copy in `copyFolder`, whose tar structure was walked as it was made
// and found to hold `members`: its table of contents, which must name no data member the archive
// lacks.
std::optional<Failure> checkCopiedArchive(Operation& operation, const QString& copyFolder,
                                          const TarMembers& members, ArchiveToc& toc);

// What a restore must know before it touches the server, read from the backup file and asked of
// the server.
struct RestorePlan
{
    QString archiveDatabase;      // the name of the database the backup was made of
    QDateTime archiveCreated;     // when pg_dump wrote the backup; invalid when it does not say
    QString archiveServerVersion; // of the server the backup was made on, as the archive says
    int archiveTables = 0;        // the tables the backup holds
    DatabaseLocale locale;        // what to create the new database with
    int serverVersion = 0;        // server_version_num
    DatabaseSettings settings;    // the database's own settings, as the program writes them
    QString owner;                // the backup's owner of the database, where the server has it
    QString note; // worth telling although nothing failed (a fallback locale, a missing owner)
};

// Reads the backup's schema (the roles it names, the CREATE DATABASE with its encoding and
// locale) and its database settings from `source`, whose table of contents is `toc`, then
// asks the server which roles it lacks and whether it has the backup's locale. Refuses a backup
// of another database than pendataan unless `acceptOtherDatabase`, and one whose database
// entries hold statements of other kinds than settings. Touches nothing.
std::optional<Failure> planRestore(Operation& operation, const ArchiveSource& source,
                                   const ArchiveToc& toc, bool acceptOtherDatabase,
                                   RestorePlan& plan);

// What a restore gives the database it loaded, in `database`: the backup's owner, where the
// server has that role, then the backup's database settings; in UTF-8, in one psql script.
QByteArray databaseStatements(const RestorePlan& plan, const QString& database);

} // namespace ranupa
