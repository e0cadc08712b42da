#pragma once

#include "core/model/failure.h"
#include "core/ops/archivecheck.h"
#include "core/pg/archivedatabase.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>

namespace ranupa {

class Operation;
struct ArchiveToc;

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
