#include "core/toolcommands.h"

#include "core/commandline.h"

using namespace Qt::StringLiterals;

namespace ranupa::tools {

namespace {

QString quoted(const QString& argument)
{
    return u'"' + commandline::escapeForQuotes(argument) + u'"';
}

QString program(QStringView name)
{
    return u"pgsql\\bin\\%1.exe"_s.arg(name);
}

QString psqlStart(const QString& port, const QString& database)
{
    return program(u"psql") + u" -h localhost -p "_s + port +
           u" -U postgres -X -w -A -t -v ON_ERROR_STOP=1 -d "_s +
           (database.isEmpty() ? u"postgres"_s : database);
}

} // namespace

QString dump(const QString& port, const QString& filePath)
{
    return program(u"pg_dump") + u" --host localhost --port "_s + port +
           u" --username \"postgres\" --no-password  --format tar --blobs --verbose --file "_s +
           quoted(filePath) + u" \"pendataan\""_s;
}

QString load(const QString& port, const QString& database)
{
    return program(u"pg_restore") + u" --host localhost --port "_s + port +
           u" --username \"postgres\" --dbname "_s + quoted(database) +
           u" --no-password  --verbose"_s;
}

QString psql(const QString& port, const QString& database, const QStringList& statements)
{
    QString line = psqlStart(port, database);
    for (const QString& statement : statements) {
        line += u" -c "_s + quoted(statement);
    }
    return line;
}

QString psqlScript(const QString& port, const QString& database)
{
    return psqlStart(port, database) + u" -1 -f -"_s;
}

QString lockSession(const QString& port)
{
    return program(u"psql") + u" -h localhost -p "_s + port +
           u" -U postgres -X -w -q -A -t -d postgres"_s;
}

QString listArchive()
{
    return program(u"pg_restore") + u" --list --create"_s;
}

QString archiveScript(const QString& scriptPath, const QString& listPath)
{
    // The data sections are left out: the script is read for names, not loaded.
    const QString selection = listPath.isEmpty() ? u" --section=pre-data --section=post-data"_s
                                                 : u" --use-list "_s + quoted(listPath);
    return program(u"pg_restore") + u" --create"_s + selection + u" --verbose --file "_s +
           quoted(scriptPath);
}

QString readArchiveThrough()
{
#ifdef Q_OS_WIN
    const QString nowhere = u"NUL"_s;
#else
    const QString nowhere = u"/dev/null"_s;
#endif
    return program(u"pg_restore") + u" --verbose --file "_s + quoted(nowhere);
}

} // namespace ranupa::tools
