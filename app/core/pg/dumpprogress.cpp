#include "core/pg/dumpprogress.h"

#include <QStringList>
#include <algorithm>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// pg_dump 15 names each table as it begins to dump its contents:
// pg_dump: dumping contents of table "public.nilai"
QString dumpedTable(QStringView line)
{
    constexpr QStringView prefix = u"pg_dump: dumping contents of table \"";
    return line.startsWith(prefix) && line.endsWith(u'"')
               ? line.sliced(prefix.size()).chopped(1).toString()
               : QString();
}

} // namespace

// pg_restore 15 writes one of these for each entry of the table of contents that it restores;
// errors, notices and large objects come in lines of their own.
bool restoresItem(QStringView line)
{
    return line.startsWith(u"pg_restore: creating ") ||
           line.startsWith(u"pg_restore: processing ") ||
           line.startsWith(u"pg_restore: executing ");
}

int doneItem(QStringView line)
{
    for (const QStringView prefix :
         {u"pg_restore: processing item ", u"pg_restore: finished item "}) {
        if (line.startsWith(prefix)) {
            const QStringView rest = line.sliced(prefix.size());
            return rest.left(rest.indexOf(u' ')).toInt();
        }
    }
    return 0;
}

// Without pg_relation_size, which would wait for a table another session has locked: just what
// pg_dump must be seen waiting for. The first file of a table holds up to 1 GB of it; the size at
// the last VACUUM or ANALYZE says more of a larger one.
QString dumpTablesStatement()
{
    return u"select c.oid, c.reltuples::bigint, coalesce(greatest(c.relpages::bigint * "
           u"current_setting('block_size')::int, (pg_stat_file(pg_relation_filepath(c.oid), "
           u"true)).size), 0), n.nspname || '.' || c.relname from pg_class c join pg_namespace n "
           u"on n.oid = c.relnamespace where c.relkind = 'r' and n.nspname <> 'information_schema' "
           u"and n.nspname !~ '^pg_' and not exists (select from pg_depend d where d.classid = "
           u"'pg_class'::regclass and d.objid = c.oid and d.deptype = 'e')"_s;
}

DumpTables dumpTables(const Rows& rows)
{
    DumpTables tables;
    for (const QStringList& row : rows) {
        if (row.size() == 4) {
            tables.insert(
                row[0].toUInt(),
                {.name = row[3], .rows = row[1].toLongLong(), .bytes = row[2].toLongLong()});
        }
    }
    return tables;
}

QString dumpWatchStart()
{
    return u"select set_config('ranupa.dump_since', clock_timestamp()::text, false)"_s;
}

QString dumpWatchStatement()
{
    return u"select coalesce(a.wait_event_type = 'Lock', false), coalesce(p.relid, 0), "
           u"coalesce(p.tuples_processed, 0), coalesce(p.bytes_processed, 0), coalesce((select "
           u"l.relation from pg_locks l where l.pid = a.pid and not l.granted and l.locktype = "
           u"'relation' and l.database = a.datid limit 1), 0) from "
           u"pg_stat_activity a left join pg_stat_progress_copy p on p.pid = a.pid and p.command "
           u"= 'COPY TO' where a.datname = 'pendataan' and a.application_name = 'pg_dump' and "
           u"a.backend_start >= current_setting('ranupa.dump_since')::timestamptz order by "
           u"a.backend_start limit 1"_s;
}

void DumpProgress::setTables(DumpTables tables)
{
    m_tables = std::move(tables);
    // A list that arrives after the first lines may fall short of them.
    if (!m_tables.isEmpty()) {
        m_measure.total = std::max<qint64>(m_tables.size(), m_measure.done + !m_running.isEmpty());
    }
}

bool DumpProgress::take(const QString& line)
{
    const qint64 before = m_measure.done;
    // A table is done once pg_dump says anything after naming it.
    if (!m_running.isEmpty()) {
        ++m_measure.done;
    }
    m_running = dumpedTable(line);
    if (m_measure.done == before) {
        return false;
    }
    m_measure.partOfNext = 0;
    // A list taken before the dump may fall short; the bar never reaches its end too soon.
    if (m_measure.total > 0) {
        m_measure.total = std::max(m_measure.total, m_measure.done + !m_running.isEmpty());
    }
    return true;
}

void DumpProgress::takeServerRow(const QStringList& fields)
{
    if (fields.size() != 5) {
        m_measure.waiting = false;
        return;
    }
    m_measure.waiting = fields[0] == u"t"_s;
    if (m_measure.waiting) {
        m_measure.table = m_tables.value(fields[4].toUInt()).name;
        return;
    }
    m_measure.table = m_running;
    const DumpTable copied = m_tables.value(fields[1].toUInt());
    // The server may be ahead of the lines read so far: only the table they name moves the bar.
    if (m_running.isEmpty() || copied.name != m_running) {
        return;
    }
    const qint64 tuples = fields[2].toLongLong();
    const qint64 bytes = fields[3].toLongLong();
    const double part = copied.rows > 0    ? double(tuples) / double(copied.rows)
                        : copied.bytes > 0 ? double(bytes) / double(copied.bytes)
                                           : 0.0;
    m_measure.partOfNext = std::clamp(std::max(part, m_measure.partOfNext), 0.0, 0.99);
}

void DumpProgress::finish()
{
    take(QString());
}

} // namespace ranupa
