#include "core/pg/tools.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <algorithm>

using namespace Qt::StringLiterals;

namespace ranupa::tools {

namespace {

const QString database = u"pendataan"_s;

ToolCommand psqlIn(const QString& port, const QString& databaseName, QStringList more)
{
    return {.program = u"pgsql/bin/psql"_s,
            .arguments =
                QStringList{u"-h"_s, u"localhost"_s, u"-p"_s, port, u"-U"_s, u"postgres"_s, u"-X"_s,
                            u"-w"_s, u"-A"_s, u"-t"_s, u"-v"_s, u"ON_ERROR_STOP=1"_s, u"-d"_s,
                            databaseName.isEmpty() ? u"postgres"_s : databaseName} +
                more};
}

// `databaseName` as psql connects to it to ask questions: warnings and notices, which would stand
// among the rows, are left out, and the rows come in UTF-8. Set at the connection, they cost no
// statement.
QString askingIn(const QString& databaseName)
{
    QString quoted = databaseName;
    quoted.replace(u'\\', u"\\\\"_s).replace(u'\'', u"\\'"_s);
    return u"dbname='%1' client_encoding=UTF8 options='-c client_min_messages=error'"_s.arg(quoted);
}

// The archive a pg_restore command reads: its standard input, or the directory archive `folder`.
QStringList archiveArguments(const QString& folder)
{
    if (folder.isEmpty()) {
        return {};
    }
    return {u"--format"_s, u"directory"_s, QDir::toNativeSeparators(folder)};
}

} // namespace

ToolCommand dump(const QString& port, const QString& filePath)
{
    return {.program = u"pgsql/bin/pg_dump"_s,
            .arguments = {u"--host"_s, u"localhost"_s, u"--port"_s, port, u"--username"_s,
                          u"postgres"_s, u"--no-password"_s, u"--format"_s, u"tar"_s, u"--blobs"_s,
                          u"--verbose"_s, u"--file"_s, filePath, database}};
}

ToolCommand load(const QString& port, const QString& databaseName)
{
    return {.program = u"pgsql/bin/pg_restore"_s,
            .arguments = {u"--host"_s, u"localhost"_s, u"--port"_s, port, u"--username"_s,
                          u"postgres"_s, u"--dbname"_s, databaseName, u"--no-password"_s,
                          u"--verbose"_s}};
}

ToolCommand loadFolder(const QString& port, const QString& databaseName, const QString& folder,
                       int jobs)
{
    ToolCommand command = load(port, databaseName);
    command.arguments << u"--jobs"_s << QString::number(jobs) << archiveArguments(folder);
    return command;
}

ToolCommand psql(const QString& port, const QString& databaseName, const QStringList& statements)
{
    QStringList commands;
    for (const QString& statement : statements) {
        commands << u"-c"_s << statement;
    }
    return psqlIn(port, databaseName, commands);
}

ToolCommand psqlScript(const QString& port, const QString& databaseName)
{
    return psqlIn(port, databaseName, {u"-1"_s, u"-f"_s, u"-"_s});
}

ToolCommand session(const QString& port)
{
    return {.program = u"pgsql/bin/psql"_s,
            .arguments = {u"-h"_s, u"localhost"_s, u"-p"_s, port, u"-U"_s, u"postgres"_s, u"-X"_s,
                          u"-w"_s, u"-q"_s, u"--csv"_s, u"-t"_s, u"-d"_s, askingIn(u"postgres"_s)}};
}

ToolCommand query(const QString& port, const QString& databaseName, const QString& statement)
{
    return psqlIn(port, askingIn(databaseName), {u"-q"_s, u"--csv"_s, u"-c"_s, statement});
}

ToolCommand listArchive(const QString& folder)
{
    return {.program = u"pgsql/bin/pg_restore"_s,
            .arguments = QStringList{u"--list"_s, u"--create"_s} + archiveArguments(folder)};
}

ToolCommand archiveScript(const QString& scriptPath, const QString& listPath, const QString& folder)
{
    // The data sections are left out: the script is read for names, not loaded.
    QStringList arguments{u"--create"_s};
    arguments << (listPath.isEmpty()
                      ? QStringList{u"--section=pre-data"_s, u"--section=post-data"_s}
                      : QStringList{u"--use-list"_s, listPath});
    arguments << u"--verbose"_s << u"--file"_s << scriptPath << archiveArguments(folder);
    return {.program = u"pgsql/bin/pg_restore"_s, .arguments = arguments};
}

ToolCommand readArchiveThrough()
{
    return {.program = u"pgsql/bin/pg_restore"_s,
            .arguments = {u"--verbose"_s, u"--file"_s, QProcess::nullDevice()}};
}

} // namespace ranupa::tools

namespace ranupa {

QString toolOutputTail(const ToolResult& result)
{
    constexpr qsizetype toolOutputTailBytes = 4096;
    const QByteArray& raw = result.rawOutput;
    if (raw.size() <= toolOutputTailBytes) {
        return result.output().trimmed();
    }
    // Start after a line end so the tail does not open with half a line (or half a character).
    QByteArray tail = raw.right(toolOutputTailBytes);
    const qsizetype lineEnd = tail.indexOf('\n');
    if (lineEnd >= 0 && lineEnd + 1 < tail.size()) {
        tail.remove(0, lineEnd + 1);
    }
    return u"...\n"_s + toolText(tail).trimmed();
}

namespace {

// How a tool run ended, in words: did not start, ended with code N, was stopped, ...
QString describeToolEnd(const ToolResult& result)
{
    if (!result.started) {
        return u"Program tidak dapat dijalankan: %1"_s.arg(result.errorString);
    }
    if (result.cancelled) {
        return u"Program dihentikan."_s;
    }
    if (result.crashed) {
        return u"Program berhenti tidak normal: %1"_s.arg(result.errorString);
    }
    if (result.exitCode == 0 && result.rawOutput.isEmpty()) {
        return u"Program selesai tanpa menulis apa pun."_s;
    }
    return u"Kode keluar: %1"_s.arg(result.exitCode);
}

// "pg_restore: error: ...", "pg_restore: fatal: ...", the "[archiver (db)]" lines of old
// versions, and the server's "ERROR:" as psql passes it on.
bool isErrorLine(const QString& line)
{
    static const QRegularExpression error(
        u"^\\S+: (error|fatal):|^\\S+: \\[[^\\]]*\\] .*[Ee]rror|\\b(ERROR|FATAL):"_s);
    return error.match(line).hasMatch();
}

// Lines a program writes under its own name ("pg_restore: ...", "psql:file.sql:3: ...") start a
// new message; anything else continues the one before it ("Command was: ...", "DETAIL: ...").
bool startsMessage(const QString& line)
{
    static const QRegularExpression programPrefix(u"^[a-z_][\\w.-]*(:[^:\\s]*:\\d+)?: "_s);
    return programPrefix.match(line).hasMatch();
}

QString shortened(const QString& line)
{
    constexpr qsizetype maxLength = 300;
    return line.size() <= maxLength ? line : line.left(maxLength) + u" ..."_s;
}

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

QString firstToolErrors(const ToolResult& result, int maxErrors)
{
    constexpr int maxFollowingLines = 3;
    const QStringList lines = result.output().split(u'\n');
    QStringList blocks;
    for (qsizetype i = 0; i < lines.size() && blocks.size() < maxErrors; ++i) {
        const QString line = lines.at(i).trimmed();
        if (!isErrorLine(line)) {
            continue;
        }
        QStringList block;
        if (i > 0 && lines.at(i - 1).contains(u": from TOC entry "_s)) {
            block << shortened(lines.at(i - 1).trimmed());
        }
        block << shortened(line);
        for (qsizetype j = i + 1; j < lines.size() && j <= i + maxFollowingLines; ++j) {
            const QString next = lines.at(j).trimmed();
            if (next.isEmpty() || startsMessage(next) || isErrorLine(next)) {
                break;
            }
            block << shortened(next);
        }
        blocks << block.join(u'\n');
    }
    return blocks.join(u"\n\n"_s);
}

FailureCause causeFromToolResult(const ToolResult& result)
{
    if (!result.started) {
        return FailureCause::ToolsMissing;
    }
    return causeFromToolText(result.output());
}

Failure toolFailure(const QString& step, const ToolResult& result)
{
    if (result.cancelled) {
        return Failure::cancel();
    }
    QString details = describeToolEnd(result);
    if (!result.command.isEmpty()) {
        details += u"\nPerintah: "_s + result.command;
    }
    if (const QString errors = firstToolErrors(result); !errors.isEmpty()) {
        details += u"\nKesalahan pertama:\n"_s + errors;
    }
    if (const QString tail = toolOutputTail(result); !tail.isEmpty()) {
        details += u"\n\n"_s + tail;
    }
    return {.step = step, .details = details, .cause = causeFromToolResult(result)};
}

Failure onServer(Failure failure)
{
    if (failure.cause == FailureCause::DiskFull) {
        failure.cause = FailureCause::ServerDiskFull;
    }
    return failure;
}

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

} // namespace ranupa
