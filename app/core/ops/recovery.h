#pragma once

#include "core/model/failure.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace ranupa {

class Operation;

// The databases the program makes on the server besides pendataan. Each carries the program's
// mark (a comment) from the moment it bears one of these names, and only a database under one of
// these names with that mark is ever dropped or renamed by the program:
//   ranupa_helper_pendataan_baru   a restore loads the backup into it; once complete, it becomes
//                                  pendataan in the same transaction that sets the old one aside
//   ranupa_helper_pendataan_usang  the previous pendataan, set aside by that transaction and
//                                  dropped right after it
//   ranupa_helper_uji              a trial restore loads the backup into it, counts its rows
//                                  and drops it
QString scratchDatabaseName();
QString replacedDatabaseName();
QString trialDatabaseName();
// A database is created under a name of its own, the unfinished prefix and a random suffix, and
// refusing connections: no command can mark it in the instant it is created. Until one
// transaction marks it, gives it its name and opens it, nobody can have put anything into it, so
// the program drops a database with that prefix that still refuses connections, whoever was
// interrupted while making it.
QString unfinishedDatabasePrefix();
// What restores of earlier versions of the program set the previous pendataan aside under while
// they loaded the new one; they put no mark on it.
QString legacySetAsideName();
// The comment that marks the program's own databases.
QString ownDatabaseMark();

// pendataan and the reserved names as the server has them right now.
struct ServerDatabases
{
    bool pendataan = false;
    QStringList marked;   // reserved names present with the mark
    QStringList unmarked; // reserved names present without it
    QString state;        // all of it in one text, for stateUnchanged()

    bool has(const QString& name) const { return marked.contains(name) || unmarked.contains(name); }
};

// Reads ServerDatabases; nothing, and `failure` set, when the server does not answer.
std::optional<ServerDatabases> readServerDatabases(Operation& operation, Failure& failure);

// The statement, for a script of the program's, that fails unless the databases are still as
// `expected` says: a script acts only on the state the program has just read back.
QString stateUnchanged(const ServerDatabases& expected);

// The statement that creates the empty, unfinished database `unfinishedName` as CREATE DATABASE
// `createOptions` says, refusing connections.
QString createUnfinishedDatabase(const QString& unfinishedName, const QString& createOptions);

// Creates the empty database `name` as CREATE DATABASE `createOptions` says, marked as the
// program's own: an interruption at any instant leaves either an unfinished database or `name`
// with the mark, both of which the next run drops.
std::optional<Failure> createOwnDatabase(Operation& operation, const QString& name,
                                         const QString& createOptions);

// Drops every unfinished database (unfinishedDatabasePrefix()) that still refuses connections,
// adding the names to `dropped`; a failure says why one could not be dropped.
std::optional<Failure> dropUnfinishedDatabases(Operation& operation, QStringList& dropped);

// Drops the program's own database `name` after reading back that it is there with the mark;
// a failure says why not.
std::optional<Failure> dropOwnDatabase(Operation& operation, const QString& name);

// Sets right what an operation that was interrupted left on the server: drops the program's own
// marked and unfinished databases (an unfinished load, a previous pendataan not yet dropped, a
// database cut off while it was created) and puts a
// previous pendataan that an earlier version set aside back under its name when there is no
// pendataan. Stops, touching nothing, when a database under a reserved name lacks the mark.
// What it did goes into the operation's notes.
std::optional<Failure> recoverInterruptedWork(Operation& operation);

} // namespace ranupa
