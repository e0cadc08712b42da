#include "core/pg/toolcommands.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>

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

} // namespace ranupa
