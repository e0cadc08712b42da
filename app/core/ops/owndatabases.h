#pragma once

#include "core/ops/operation.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace ranupa {

struct RestorePlan;

// pendataan and the reserved names as the server has them right now.
struct ServerDatabases
{
    bool pendataan = false;
    QStringList marked;     // reserved names present with the mark
    QStringList unmarked;   // reserved names present without it
    QStringList unfinished; // unfinishedDatabasePrefix, still refusing connections
    QString state;          // pendataan and the reserved names in one text, for stateUnchanged()

    bool has(const QString& name) const { return marked.contains(name) || unmarked.contains(name); }
};

// Reads ServerDatabases; the failure when the server does not answer.
Result<ServerDatabases> readServerDatabases(Operation& operation);

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

// Drops every unfinished database (unfinishedDatabasePrefix) that still refuses connections, as
// `found` read them just before, or as the server says now; gives their names, or says why one
// could not be dropped.
Result<QStringList> dropUnfinishedDatabases(Operation& operation,
                                            const std::optional<ServerDatabases>& found = {});

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

// What others on a shared server can put in the way of replacing pendataan.

// Refuses, before anything is touched, a pendataan that a restore cannot replace: one with
// logical replication (its subscriptions stay with the old copy, which can then never be
// dropped; its slots would go with it) or with prepared transactions (they keep it from being
// renamed until an administrator ends them). The failure names them.
std::optional<Failure> checkPendataanReplaceable(Operation& operation);

// The one transaction that sets pendataan aside as the marked old copy and gives the loaded
// scratch database its name and the backup's owner and settings (`plan`). It runs only on the
// server state just read back, and only while this session holds the server lock. A lock
// another session holds is waited for a while, shown in the progress, and tried again a few
// times; then the swap fails naming that session.
//
// A failure's pendataanUnchanged says whether the server was read back as it was before: then
// the scratch database may go. Without it nobody can tell which way the transaction went, and
// the next run finishes or undoes it.
std::optional<Failure> swapIntoPendataan(Operation& operation, const RestorePlan& plan);

// Drops the old copy the swap set aside; says in a note when it could not.
QString dropReplacedDatabase(Operation& operation);

} // namespace ranupa
