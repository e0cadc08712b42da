#include "core/pg/toolcommands.h"

#include <QDir>
#include <QProcess>

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
