// The backup file name and the exact command lines of backup and restore, and what a child
// process makes of them.
#include "core/backup.h"
#include "core/commandline.h"
#include "core/restore.h"

#include <QTest>

using namespace Qt::StringLiterals;
using ranupa::backupCommandLine;
using ranupa::backupFilePath;
using ranupa::restoreCommands;
using ranupa::commandline::splitWindowsCommandLine;

namespace {

const QString windowsBackupFile = u"D:\\Cadangan\\ranupaku06122026220509.dbk"_s;

} // namespace

class OperationCommandsTest final : public QObject
{
    Q_OBJECT

private slots:
    void backupFileName_data();
    void backupFileName();
    void backupCommandLineIsExact();
    void restoreCommandLinesAreExact();
    void emptyPortStaysInCommandLines();
    void awkwardPathsStayOneArgument_data();
    void awkwardPathsStayOneArgument();
    void statementsArriveWhole();
};

void OperationCommandsTest::backupFileName_data()
{
    QTest::addColumn<QString>("targetDir");
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<QString>("name");

    const QDateTime example(QDate(2026, 12, 6), QTime(22, 5, 9, 870));
    QTest::newRow("example") << u"/srv/cadangan"_s << example << u"ranupaku06122026220509.dbk"_s;
    QTest::newRow("morning, padded")
        << u"/srv/cadangan"_s << QDateTime(QDate(2027, 2, 1), QTime(9, 3, 7))
        << u"ranupaku01022027090307.dbk"_s;
    QTest::newRow("midnight") << u"/srv/cadangan"_s << QDateTime(QDate(2027, 1, 1), QTime(0, 0))
                              << u"ranupaku01012027000000.dbk"_s;
    QTest::newRow("afternoon is 24-hour")
        << u"/srv/cadangan"_s << QDateTime(QDate(2026, 7, 15), QTime(23, 59, 59))
        << u"ranupaku15072026235959.dbk"_s;
    QTest::newRow("trailing space kept")
        << u"/srv/cadangan "_s << example << u"ranupaku06122026220509.dbk"_s;
}

void OperationCommandsTest::backupFileName()
{
    QFETCH(QString, targetDir);
    QFETCH(QDateTime, now);
    QFETCH(QString, name);

#ifdef Q_OS_WIN
    const QString separator = u"\\"_s;
#else
    const QString separator = u"/"_s;
#endif
    QCOMPARE(backupFilePath(targetDir, now), targetDir + separator + name);
}

void OperationCommandsTest::backupCommandLineIsExact()
{
    QCOMPARE(
        backupCommandLine(u"5432"_s, windowsBackupFile),
        uR"(pgsql\bin\pg_dump.exe --host localhost --port 5432 --username "postgres" --no-password  --format tar --blobs --verbose --file "D:\Cadangan\ranupaku06122026220509.dbk" "pendataan")"_s);
}

void OperationCommandsTest::restoreCommandLinesAreExact()
{
    const ranupa::RestoreCommands commands = restoreCommands(u"5432"_s, windowsBackupFile);
    QCOMPARE(
        commands.endConnections,
        uR"(pgsql\bin\psql.exe -h localhost -p 5432 -U postgres -c "select pg_terminate_backend(pid) from pg_stat_activity where datname='pendataan'")"_s);
    QCOMPARE(
        commands.setAside,
        uR"(pgsql\bin\psql.exe -h localhost -p 5432 -U postgres -c "ALTER DATABASE pendataan RENAME TO ranupa_helper_pendataan_sebelum")"_s);
    QCOMPARE(
        commands.create,
        uR"(pgsql\bin\psql.exe -h localhost -p 5432 -U postgres -c "CREATE DATABASE pendataan WITH OWNER=postgres TABLESPACE=pg_default CONNECTION LIMIT=-1")"_s);
    QCOMPARE(
        commands.load,
        uR"(pgsql\bin\pg_restore.exe --host localhost --port 5432 --username "postgres" --dbname "pendataan" --no-password  --verbose "D:\Cadangan\ranupaku06122026220509.dbk")"_s);
    QCOMPARE(
        commands.markComplete,
        uR"(pgsql\bin\psql.exe -h localhost -p 5432 -U postgres -c "ALTER DATABASE ranupa_helper_pendataan_sebelum RENAME TO ranupa_helper_pendataan_usang")"_s);
    QCOMPARE(
        commands.dropPrevious,
        uR"(pgsql\bin\psql.exe -h localhost -p 5432 -U postgres -c "DROP DATABASE ranupa_helper_pendataan_usang")"_s);
}

void OperationCommandsTest::emptyPortStaysInCommandLines()
{
    QVERIFY(backupCommandLine({}, windowsBackupFile).contains(u"--port  --username"_s));
    const ranupa::RestoreCommands restore = restoreCommands({}, windowsBackupFile);
    for (const QString& psql : {restore.endConnections, restore.setAside, restore.create,
                                restore.markComplete, restore.dropPrevious}) {
        QVERIFY(psql.startsWith(u"pgsql\\bin\\psql.exe -h localhost -p  -U postgres"_s));
    }
    QVERIFY(restore.load.contains(u"--port  --username"_s));
}

void OperationCommandsTest::awkwardPathsStayOneArgument_data()
{
    QTest::addColumn<QString>("path");

    QTest::newRow("spaces") << u"/home/tu guru/Cadangan Data/ranupaku06122026220509.dbk"_s;
    QTest::newRow("non-ASCII") << u"/home/guru/Çadangan ñ 数据/ranupaku06122026220509.dbk"_s;
    QTest::newRow("double quote") << u"/home/guru/a\" --clean \"b/ranupaku06122026220509.dbk"_s;
    QTest::newRow("backslash before quote") << u"/home/guru/x\\\"y/ranupaku.dbk"_s;
    QTest::newRow("trailing backslashes") << u"/home/guru/file\\\\"_s;
    QTest::newRow("Windows drive root") << u"D:\\\\ranupaku06122026220509.dbk"_s;
}

// What pg_dump and pg_restore receive: the path as one argument, whatever it holds.
void OperationCommandsTest::awkwardPathsStayOneArgument()
{
    QFETCH(QString, path);

    const QStringList dump = splitWindowsCommandLine(backupCommandLine(u"5432"_s, path));
    QCOMPARE(dump, (QStringList{u"pgsql\\bin\\pg_dump.exe"_s, u"--host"_s, u"localhost"_s,
                                u"--port"_s, u"5432"_s, u"--username"_s, u"postgres"_s,
                                u"--no-password"_s, u"--format"_s, u"tar"_s, u"--blobs"_s,
                                u"--verbose"_s, u"--file"_s, path, u"pendataan"_s}));
    const QStringList load = splitWindowsCommandLine(restoreCommands(u"5432"_s, path).load);
    QCOMPARE(load.size(), 12);
    QCOMPARE(load.last(), path);
}

// psql receives each statement as one argument, and reaches the server as pg_restore does.
void OperationCommandsTest::statementsArriveWhole()
{
    const ranupa::RestoreCommands commands = restoreCommands(u"5432"_s, windowsBackupFile);
    QCOMPARE(
        splitWindowsCommandLine(commands.setAside),
        (QStringList{u"pgsql\\bin\\psql.exe"_s, u"-h"_s, u"localhost"_s, u"-p"_s, u"5432"_s,
                     u"-U"_s, u"postgres"_s, u"-c"_s,
                     u"ALTER DATABASE pendataan RENAME TO ranupa_helper_pendataan_sebelum"_s}));
    QCOMPARE(splitWindowsCommandLine(commands.endConnections).last(),
             u"select pg_terminate_backend(pid) from pg_stat_activity where "
             u"datname='pendataan'"_s);
    QVERIFY(splitWindowsCommandLine(commands.load).contains(u"localhost"_s));
}

QTEST_GUILESS_MAIN(OperationCommandsTest)
#include "test_operation_commands.moc"
