#pragma once

#include <QHash>
#include <QMetaType>
#include <QString>
#include <optional>

namespace ranupa {

// How far the running step of a backup or restore has come, where there is an honest measure:
// the tables pg_dump has dumped and how far it is in the one it copies, or the bytes of the
// backup file pg_restore has read.
struct ProgressMeasure
{
    enum class Unit
    {
        Tables, // of pendataan, dumped
        Bytes,  // of the backup file, read by pg_restore
    };
    Unit unit = Unit::Bytes;
    qint64 done = 0;
    qint64 total = 0;         // 0: nothing known to count against
    double partOfNext = 0;    // Tables: how far the table being copied is, 0 to 1
    QString table;            // Tables: the one being copied or waited for; "" when unknown
    bool waiting = false;     // pg_dump waits for a lock another session holds on `table`
    qint64 bytesWritten = -1; // Tables: the backup file so far; -1 where nothing is written
    int itemsLoaded = -1;     // Bytes: the backup's entries pg_restore has loaded; -1 for none

    bool isDeterminate() const { return total > 0; }
    // How far, 0 to 100; 100 only once everything is done; -1 where nothing is known to count
    // against.
    int percent() const;
    friend bool operator==(const ProgressMeasure&, const ProgressMeasure&) = default;
};

// In words, e.g. "3 dari 5 tabel selesai (public.nilai: 40%), 12,4 MB ditulis" or
// "Menunggu tabel public.nilai yang sedang dikunci pengguna lain".
QString progressText(const ProgressMeasure& measure);

// "0:07", "12:45", "1:02:03".
QString elapsedText(qint64 milliseconds);

// Whether pg_restore says with this --verbose line that it loaded one more entry of the
// backup's table of contents.
bool restoresItem(QStringView line);

// A table whose contents pg_dump dumps, as the server saw it before the dump: for telling how far
// the copy of it has come.
struct DumpTable
{
    QString name;     // "schema.table", as pg_dump names it
    qint64 rows = -1; // estimated (reltuples); -1 when never counted
    qint64 bytes = 0; // of its main data, on disk
};
using DumpTables = QHash<quint32, DumpTable>; // by OID

// The psql statement, for pendataan, that lists the DumpTables: the ordinary tables (partitions
// included) outside the system schemas that no extension owns, one line each.
QString dumpTablesStatement();
// Empty when psql's output holds no answer.
DumpTables dumpTablesFromOutput(const QString& output);

// For the server lock's session (in another database): marks the moment before pg_dump starts,
// then, once a second, what pg_dump's session on pendataan does: how far its COPY is, and
// whether it waits for a lock. At most one row, for DumpProgress::takeServerRow().
QString dumpWatchStart();
QString dumpWatchStatement();

// The backup's measure: pg_dump's --verbose lines tell the tables done, the server how far the
// one being copied is and what it waits for.
class DumpProgress final
{
public:
    explicit DumpProgress(DumpTables tables);

    // Takes one line of pg_dump's output; true when the measure changed.
    bool take(const QString& line);
    // Takes what dumpWatchStatement() gave, nothing when pg_dump has no session (yet).
    void takeServerRow(const std::optional<QString>& row);
    // A dump that ended well has finished what it had begun.
    void finish();
    void setBytesWritten(qint64 bytes) { m_measure.bytesWritten = bytes; }
    const ProgressMeasure& measure() const { return m_measure; }

private:
    DumpTables m_tables;
    ProgressMeasure m_measure;
    QString m_running; // the table pg_dump named as it started on it; "" between tables
};

} // namespace ranupa

Q_DECLARE_METATYPE(ranupa::ProgressMeasure)
