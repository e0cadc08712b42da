// Access from tests to a throwaway PostgreSQL cluster started by scripts/pgcluster.
#pragma once

#include "support.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QtGlobal>
#include <optional>

// pg_restore names each table as it begins to load it; this one loads slowly (createSlowTable).
inline const QString slowTableLine = QStringLiteral("processing data for table \"public.lambat\"");

struct TestCluster
{
    QString port;
    QString socketDir;
    QString binDir;
    QString installDir;
    QString password;
    QString dataDir;
    QString diskDir; // the data directory's own small disk, when it has one

    // Reads DIR/cluster.env, where DIR is the value of the environment variable `variable`.
    static std::optional<TestCluster> fromEnvironment(const char* variable)
    {
        const QString dir = qEnvironmentVariable(variable);
        if (dir.isEmpty()) {
            qWarning("%s is not set; the test needs a cluster from scripts/pgcluster", variable);
            return std::nullopt;
        }
        QFile file(dir + QStringLiteral("/cluster.env"));
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            qWarning("cannot read %s: %s", qPrintable(file.fileName()),
                     qPrintable(file.errorString()));
            return std::nullopt;
        }
        QHash<QString, QString> values;
        while (!file.atEnd()) {
            QString line = QString::fromUtf8(file.readLine());
            if (line.endsWith(u'\n'))
                line.chop(1);
            const qsizetype separator = line.indexOf(u'=');
            if (separator > 0)
                values.insert(line.left(separator), line.mid(separator + 1));
        }
        TestCluster cluster;
        cluster.port = values.value(QStringLiteral("PGPORT"));
        cluster.socketDir = values.value(QStringLiteral("SOCKET_DIR"));
        cluster.binDir = values.value(QStringLiteral("PGBIN"));
        cluster.installDir = values.value(QStringLiteral("INSTALL_DIR"));
        cluster.password = values.value(QStringLiteral("PASSWORD"));
        cluster.dataDir = values.value(QStringLiteral("DATA_DIR"));
        cluster.diskDir = values.value(QStringLiteral("DISK_DIR"));
        if (cluster.port.isEmpty() || cluster.socketDir.isEmpty() || cluster.binDir.isEmpty()) {
            qWarning("%s is incomplete", qPrintable(file.fileName()));
            return std::nullopt;
        }
        return cluster;
    }

    // The environment for PostgreSQL clients started against this cluster: the password when
    // there is one, and the socket directory when it is not where libpq looks by default.
    QProcessEnvironment clientEnvironment() const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (password.isEmpty())
            environment.remove(QStringLiteral("PGPASSWORD"));
        else
            environment.insert(QStringLiteral("PGPASSWORD"), password);
        if (socketDir != QLatin1StringView("/var/run/postgresql"))
            environment.insert(QStringLiteral("PGHOST"), socketDir);
        environment.insert(QStringLiteral("PGCONNECT_TIMEOUT"), QStringLiteral("10"));
        return environment;
    }

    // Runs `sql` with Debian's psql as postgres and gives back its output without the final
    // line end: rows on lines, fields apart by "|". A null QString when psql failed.
    QString psql(const QString& sql, const QString& database = QStringLiteral("pendataan")) const
    {
        QProcess process;
        QProcessEnvironment environment = clientEnvironment();
        // Fixed so that times and dates read the same whatever the server's defaults are.
        environment.insert(QStringLiteral("PGTZ"), QStringLiteral("UTC"));
        environment.insert(QStringLiteral("PGDATESTYLE"), QStringLiteral("ISO, YMD"));
        process.setProcessEnvironment(environment);
        process.setProgram(binDir + QStringLiteral("/psql"));
        process.setArguments({QStringLiteral("-X"), QStringLiteral("-w"), QStringLiteral("-A"),
                              QStringLiteral("-t"), QStringLiteral("-q"), QStringLiteral("-v"),
                              QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-h"), socketDir,
                              QStringLiteral("-p"), port, QStringLiteral("-U"),
                              QStringLiteral("postgres"), QStringLiteral("-d"), database,
                              QStringLiteral("-c"), sql});
        process.start();
        if (!process.waitForFinished(120'000)) {
            qWarning("psql did not finish: %s", qPrintable(process.errorString()));
            process.kill();
            process.waitForFinished();
            return {};
        }
        if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
            qWarning("psql failed: %s", process.readAllStandardError().constData());
            return {};
        }
        QString output = QString::fromUtf8(process.readAllStandardOutput());
        if (output.endsWith(u'\n'))
            output.chop(1);
        // An empty answer is still an answer, and must not read as a failure.
        return output.isNull() ? QString(0, QChar()) : output;
    }

    bool exec(const QString& sql, const QString& database = QStringLiteral("pendataan")) const
    {
        return !psql(sql, database).isNull();
    }

    // "" when there is no such database.
    QString databaseOid(const QString& database = QStringLiteral("pendataan")) const
    {
        return psql(
            QStringLiteral("SELECT oid FROM pg_database WHERE datname = '%1'").arg(database),
            QStringLiteral("postgres"));
    }

    // How many server sessions there are `where`, as a text.
    QString sessions(const QString& where) const
    {
        return psql(QStringLiteral("SELECT count(*) FROM pg_stat_activity WHERE ") + where,
                    QStringLiteral("postgres"));
    }

    // The databases the program made and left (their names start with "ranupa"); "" for none.
    QString ownDatabases() const
    {
        return psql(QStringLiteral("SELECT string_agg(datname, ' ' ORDER BY datname) FROM "
                                   "pg_database WHERE datname LIKE 'ranupa%'"),
                    QStringLiteral("postgres"));
    }

    // Runs pg_dump on `database` into `file`, in the tar or another `format` it knows.
    bool dump(const QString& database, const QString& file,
              const QString& format = QStringLiteral("t")) const
    {
        QProcess dump;
        dump.setProcessEnvironment(clientEnvironment());
        dump.start(binDir + QStringLiteral("/pg_dump"),
                   {QStringLiteral("-h"), socketDir, QStringLiteral("-p"), port,
                    QStringLiteral("-U"), QStringLiteral("postgres"), QStringLiteral("-F") + format,
                    QStringLiteral("-b"), QStringLiteral("-f"), file, database});
        return dump.waitForFinished(60'000) && dump.exitStatus() == QProcess::NormalExit &&
               dump.exitCode() == 0;
    }

    // A backup in `file` of another database than pendataan, `database`, made after `sql` ran in
    // it; the database itself is gone afterwards.
    bool dumpOtherDatabase(const QString& database, const QString& sql, const QString& file) const
    {
        const QString server = QStringLiteral("postgres");
        exec(QStringLiteral("DROP DATABASE IF EXISTS ") + database, server);
        const bool dumped = exec(QStringLiteral("CREATE DATABASE ") + database, server) &&
                            (sql.isEmpty() || exec(sql, database)) && dump(database, file);
        return exec(QStringLiteral("DROP DATABASE ") + database, server) && dumped;
    }

    // Gives pendataan a table "lambat" of `rows` rows that load slowly, so that a load surely runs
    // when it is interrupted: each row waits a millisecond at its check, and for as long as the
    // role ranupa_uji_tahan exists (volatile, so that a load under way sees the role come and go).
    bool createSlowTable(int rows) const
    {
        return exec(QStringLiteral(R"(
DROP TABLE IF EXISTS lambat;
DROP FUNCTION IF EXISTS tahan(int);
CREATE FUNCTION tahan(x int) RETURNS boolean LANGUAGE plpgsql AS $$
BEGIN
    PERFORM pg_sleep(0.001);
    WHILE EXISTS (SELECT FROM pg_roles WHERE rolname = 'ranupa_uji_tahan') LOOP
        PERFORM pg_sleep(0.02);
    END LOOP;
    RETURN x IS NOT NULL;
END $$;
CREATE TABLE lambat (id int CHECK (tahan(id)));
INSERT INTO lambat SELECT generate_series(1, %1);)")
                        .arg(rows));
    }

    // While loads are held, each row of the slow table waits at its check, whatever database the
    // load runs in: a role is what every database sees. A load held cannot end by itself.
    bool holdLoads(bool hold) const
    {
        return exec(hold ? QStringLiteral("CREATE ROLE ranupa_uji_tahan")
                         : QStringLiteral("DROP ROLE IF EXISTS ranupa_uji_tahan"),
                    QStringLiteral("postgres"));
    }

    // A scratch installation of the school-data application in `dir` whose settings hold
    // `portLine` (this cluster's port when null), with links to this cluster's client `programs`.
    bool makeInstallation(const QString& dir, QByteArray portLine = {},
                          const QStringList& programs = clientPrograms) const
    {
        if (portLine.isNull()) {
            portLine = "DefDBPort=" + port.toLatin1();
        }
        return ::makeInstallation(dir, "[Database]\r\n" + portLine + "\r\nDefDBName=pendataan\r\n",
                                  binDir, programs);
    }

    // Starts the program under test unattended against this cluster, in the installation unless
    // `dir` says otherwise, with the client environment unless `environment` says otherwise.
    void startProgram(QProcess& process, const QStringList& arguments, const QString& dir = {},
                      const QProcessEnvironment& environment = {}) const
    {
        startUnattended(process, programUnderTest(), arguments, dir.isEmpty() ? installDir : dir,
                        environment.isEmpty() ? clientEnvironment() : environment);
    }

    ProgramRun runProgram(const QStringList& arguments, const QString& dir = {},
                          const QProcessEnvironment& environment = {}) const
    {
        QProcess process;
        startProgram(process, arguments, dir, environment);
        return finishRun(process);
    }

    // A text that differs whenever the content of `database` differs: every user table's
    // columns, constraints and indexes, its rows (count and a digest of all rows in a fixed
    // order), every sequence's state and every large object's bytes. Null when psql failed.
    QString databaseFingerprint(const QString& database = QStringLiteral("pendataan")) const
    {
        const QString perRelation = psql(QStringLiteral(R"(
SELECT CASE c.relkind
    WHEN 'S' THEN format('SELECT %L || '' '' || last_value || '' '' || is_called FROM %I.%I',
                         'sequence ' || format('%I.%I', n.nspname, c.relname), n.nspname, c.relname)
    ELSE format('SELECT %L || '' '' || count(*) || '' '' || md5(coalesce(string_agg(x::text, '
                || 'chr(10) ORDER BY x::text COLLATE "C"), '''')) FROM %I.%I AS x',
                'rows ' || format('%I.%I', n.nspname, c.relname), n.nspname, c.relname)
    END
FROM pg_class AS c JOIN pg_namespace AS n ON n.oid = c.relnamespace
WHERE c.relkind IN ('r', 'p', 'S') AND n.nspname <> 'information_schema'
    AND n.nspname NOT LIKE 'pg\_%'
ORDER BY 1)"),
                                         database);
        if (perRelation.isNull())
            return {};
        QStringList parts = perRelation.split(u'\n', Qt::SkipEmptyParts);
        parts << QStringLiteral(R"(
SELECT 'column ' || a.attrelid::regclass || ' ' || a.attnum || ' ' || quote_ident(a.attname)
    || ' ' || format_type(a.atttypid, a.atttypmod) || CASE WHEN a.attnotnull THEN ' not null'
    ELSE '' END || coalesce(' default ' || pg_get_expr(d.adbin, d.adrelid), '')
    || CASE WHEN a.attidentity <> '' THEN ' identity ' || a.attidentity::text ELSE '' END
FROM pg_attribute AS a JOIN pg_class AS c ON c.oid = a.attrelid
    JOIN pg_namespace AS n ON n.oid = c.relnamespace
    LEFT JOIN pg_attrdef AS d ON d.adrelid = a.attrelid AND d.adnum = a.attnum
WHERE a.attnum > 0 AND NOT a.attisdropped AND c.relkind IN ('r', 'p')
    AND n.nspname <> 'information_schema' AND n.nspname NOT LIKE 'pg\_%')")
              << QStringLiteral(R"(
SELECT 'constraint ' || c.conrelid::regclass || ' ' || quote_ident(c.conname) || ' '
    || pg_get_constraintdef(c.oid)
FROM pg_constraint AS c JOIN pg_namespace AS n ON n.oid = c.connamespace
WHERE n.nspname <> 'information_schema' AND n.nspname NOT LIKE 'pg\_%')")
              << QStringLiteral(R"(
SELECT 'index ' || pg_get_indexdef(i.indexrelid)
FROM pg_index AS i JOIN pg_class AS c ON c.oid = i.indexrelid
    JOIN pg_namespace AS n ON n.oid = c.relnamespace
WHERE n.nspname <> 'information_schema' AND n.nspname NOT LIKE 'pg\_%')")
              << QStringLiteral(R"(
SELECT 'large object ' || oid || ' ' || md5(lo_get(oid)) FROM pg_largeobject_metadata)");
        for (QString& part : parts)
            part = QStringLiteral("(") + part + QStringLiteral(")");
        return psql(QStringLiteral("SELECT line FROM (") +
                        parts.join(QStringLiteral(" UNION ALL ")) +
                        QStringLiteral(") AS f(line) ORDER BY line COLLATE \"C\""),
                    database);
    }
};

// A client that stays connected, as the application does; `applicationName` names it to the
// server when given.
class Session final
{
    Q_DISABLE_COPY_MOVE(Session)

public:
    Session(const TestCluster& cluster, const QString& database,
            const QString& applicationName = {})
    {
        QProcessEnvironment environment = cluster.clientEnvironment();
        if (!applicationName.isEmpty())
            environment.insert(QStringLiteral("PGAPPNAME"), applicationName);
        m_psql.setProcessEnvironment(environment);
        m_psql.start(cluster.binDir + QStringLiteral("/psql"),
                     {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-A"),
                      QStringLiteral("-t"), QStringLiteral("-h"), cluster.socketDir,
                      QStringLiteral("-p"), cluster.port, QStringLiteral("-U"),
                      QStringLiteral("postgres"), QStringLiteral("-d"), database});
    }
    ~Session()
    {
        m_psql.closeWriteChannel();
        m_psql.waitForFinished();
    }
    // What psql wrote for `sql`; nothing when it did not answer.
    QByteArray run(const QString& sql)
    {
        m_psql.write(sql.toUtf8() + "\n\\echo ranupa-selesai\n");
        QByteArray out;
        while (!out.contains("ranupa-selesai") && m_psql.waitForReadyRead(30'000))
            out += m_psql.readAllStandardOutput();
        return out.contains("ranupa-selesai") ? out : QByteArray();
    }

private:
    QProcess m_psql;
};

// Holds an exclusive lock on a table of pendataan from another session while it lives, so that
// a pg_dump started meanwhile waits and a test can meet it still running.
class TableLock final
{
    Q_DISABLE_COPY_MOVE(TableLock)

public:
    TableLock(const TestCluster& cluster, const QString& table)
        : m_session(cluster, QStringLiteral("pendataan"))
    {
        const QString lock = QStringLiteral("BEGIN; LOCK TABLE %1 IN ACCESS EXCLUSIVE MODE; "
                                            "SELECT 'terkunci';");
        m_held = m_session.run(lock.arg(table)).contains("terkunci");
    }
    bool isHeld() const { return m_held; }

private:
    Session m_session;
    bool m_held = false;
};
