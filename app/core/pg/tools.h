#pragma once

#include "core/model/outcome.h"
#include "core/model/progress.h"
#include "core/pg/serversession.h"
#include "core/pg/toolrunner.h"

#include <QHash>
#include <QString>
#include <QStringList>

// What the program knows of the PostgreSQL client programs that the school-data application
// installs under pgsql/bin: how each is called, and what their output says of a failure and of
// their progress.

// The command lines, all of them: every tool the program runs is started from one of these, as a
// program and its arguments, never through a shell. The port is passed on as the settings hold it.
//
// Every tool reaches the server as postgres on "localhost", the same way, so that none of them is
// refused half-way through an operation where another got in. psql runs without the operator's
// psqlrc (-X), never asks for a password (-w) and stops at the first error (ON_ERROR_STOP); a
// question's rows come in CSV (--csv), the changes a script makes print their commands' tags.
namespace ranupa::tools {

// pg_dump writes the tar archive of pendataan, with its large objects, to `filePath`.
ToolCommand dump(const QString& port, const QString& filePath);

// pg_restore loads the archive it reads on its standard input into `database`.
ToolCommand load(const QString& port, const QString& database);

// pg_restore loads the archive in the directory format in `folder` (the private copy of a backup's
// members) into `database`, `jobs` entries at a time, each on a connection of its own.
ToolCommand loadFolder(const QString& port, const QString& database, const QString& folder,
                       int jobs);

// psql runs each of `statements` in `database` ("" for postgres), one after the other.
ToolCommand psql(const QString& port, const QString& database, const QStringList& statements);

// psql runs the script it reads on its standard input in `database` ("" for postgres), in one
// transaction.
ToolCommand psqlScript(const QString& port, const QString& database);

// The program's own psql session (serversession.h), in postgres: reads statements on its
// standard input for as long as the program keeps it open, reports errors without stopping,
// prints rows in CSV.
ToolCommand session(const QString& port);

// psql prints the rows of `statement` in `database` in CSV, as the session does.
ToolCommand query(const QString& port, const QString& database, const QString& statement);

// The archive the following commands read is the one on pg_restore's standard input, or with
// `folder` the archive in the directory format there.

// pg_restore lists the table of contents, with the database's own entries, of the archive.
ToolCommand listArchive(const QString& folder = {});

// pg_restore writes to `scriptPath` the script that creates the database of the archive: its
// schema without the data, or with `listPath` only the entries listed there.
ToolCommand archiveScript(const QString& scriptPath, const QString& listPath = {},
                          const QString& folder = {});

// pg_restore reads the custom-format archive on its standard input through to its end.
ToolCommand readArchiveThrough();

} // namespace ranupa::tools

// What a tool's output says when it fails.
namespace ranupa {

// The end of what a tool wrote: enough to see why it failed without flooding the details box.
QString toolOutputTail(const ToolResult& result);

// The first errors a PostgreSQL client program reported, each with the lines that belong to it
// ("from TOC entry ...", "Command was: ..."), so that the cause shows without the verbose
// progress around it. "" when the output holds no error line.
QString firstToolErrors(const ToolResult& result, int maxErrors = 3);

// A step whose tool failed: the cause from the tool's words, the details from its output and
// the command as it could be typed.
Failure toolFailure(const QString& step, const ToolResult& result);

// A full disk while the server writes a database is the server's disk, not the backup's.
Failure onServer(Failure failure);

// The cause of one tool run's failure, including a program that could not be started at all.
FailureCause causeFromToolResult(const ToolResult& result);

// What pg_dump and pg_restore say of their progress, and what the server says of pg_dump's.

// Whether pg_restore says with this --verbose line that it loaded one more entry of the
// backup's table of contents.
bool restoresItem(QStringView line);

// The dump id of the entry that pg_restore says with this --verbose line it has done, loading in
// parallel: one it processed itself, or one a worker finished; 0 for other lines.
int doneItem(QStringView line);

// A table whose contents pg_dump dumps, as the server saw it before the dump: for telling how far
// the copy of it has come.
struct DumpTable
{
    QString name;     // "schema.table", as pg_dump names it
    qint64 rows = -1; // estimated (reltuples); -1 when never counted
    qint64 bytes = 0; // of its main data, on disk
};
using DumpTables = QHash<quint32, DumpTable>; // by OID

// The statement, for pendataan, that lists the DumpTables: the ordinary tables (partitions
// included) outside the system schemas that no extension owns, one row each.
QString dumpTablesStatement();
DumpTables dumpTables(const Rows& rows);

// For the program's own session (in another database): marks the moment before pg_dump starts,
// then, once a second, what pg_dump's session on pendataan does: how far its COPY is, and
// whether it waits for a lock. At most one row, for DumpProgress::takeServerRow().
QString dumpWatchStart();
QString dumpWatchStatement();

// The backup's measure: pg_dump's --verbose lines tell the tables done, the server how far the
// one being copied is and what it waits for.
class DumpProgress final
{
public:
    DumpProgress() { m_measure.unit = ProgressMeasure::Unit::Tables; }
    // The tables may come later, while pg_dump starts, or never: then the tables done are told
    // without a total.
    void setTables(DumpTables tables);

    // Takes one line of pg_dump's output; true when the measure changed.
    bool take(const QString& line);
    // Takes the row dumpWatchStatement() gave; none when pg_dump has no session (yet) or the
    // question failed.
    void takeServerRow(const QStringList& row);
    // A dump that ended well has finished what it had begun.
    void finish() { take(QString()); }
    void setBytesWritten(qint64 bytes) { m_measure.bytesWritten = bytes; }
    const ProgressMeasure& measure() const { return m_measure; }

private:
    DumpTables m_tables;
    ProgressMeasure m_measure;
    QString m_running; // the table pg_dump named as it started on it; "" between tables
};

} // namespace ranupa
