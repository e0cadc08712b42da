#pragma once

#include "core/model/progress.h"
#include "core/pg/serversession.h"

#include <QHash>
#include <QString>
#include <optional>

// What pg_dump and pg_restore say of their progress, and what the server says of pg_dump's.
namespace ranupa {

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
    // The tables may come later, while pg_dump starts, or never: then the tables done are told
    // without a total.
    void setTables(DumpTables tables);

    // Takes one line of pg_dump's output; true when the measure changed.
    bool take(const QString& line);
    // Takes the row dumpWatchStatement() gave; none when pg_dump has no session (yet) or the
    // question failed.
    void takeServerRow(const QStringList& row);
    // A dump that ended well has finished what it had begun.
    void finish();
    void setBytesWritten(qint64 bytes) { m_measure.bytesWritten = bytes; }
    const ProgressMeasure& measure() const { return m_measure; }

private:
    DumpTables m_tables;
    ProgressMeasure m_measure{.unit = ProgressMeasure::Unit::Tables};
    QString m_running; // the table pg_dump named as it started on it; "" between tables
};

} // namespace ranupa
