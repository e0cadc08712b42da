// The backup file name and the exact command lines of backup and restore, and what a child
// process makes of them.
#include "core/backup.h"
#include "core/commandline.h"
#include "core/toolcommands.h"

#include <QDir>
#include <QTest>

using namespace Qt::StringLiterals;
using ranupa::backupFilePath;
using ranupa::commandline::splitWindowsCommandLine;
namespace tools = ranupa::tools;

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
    QTest::newRow("one separator after a folder given with one")
        << u"/srv/cadangan/"_s << example << u"ranupaku06122026220509.dbk"_s;
}

void OperationCommandsTest::backupFileName()
{
    QFETCH(QString, targetDir);
    QFETCH(QDateTime, now);
    QFETCH(QString, name);

    const QString expected = QDir::toNativeSeparators(QDir::cleanPath(targetDir) + u'/' + name);
    QCOMPARE(backupFilePath(targetDir, now), expected);
}

void OperationCommandsTest::backupCommandLineIsExact()
{
    QCOMPARE(
        tools::dump(u"5432"_s, windowsBackupFile),
        uR"(pgsql\bin\pg_dump.exe --host localhost --port 5432 --username "postgres" --no-password  --format tar --blobs --verbose --file "D:\Cadangan\ranupaku06122026220509.dbk" "pendataan")"_s);
}

// pg_restore reads the backup on its standard input, from the file the program opened once.
void OperationCommandsTest::restoreCommandLinesAreExact()
{
    QCOMPARE(
        tools::load(u"5432"_s, u"ranupa_helper_pendataan_baru"_s),
        uR"(pgsql\bin\pg_restore.exe --host localhost --port 5432 --username "postgres" --dbname "ranupa_helper_pendataan_baru" --no-password  --verbose)"_s);
    QCOMPARE(
        tools::psql(u"5432"_s, {}, {u"select 1"_s, u"DROP DATABASE x"_s}),
        uR"(pgsql\bin\psql.exe -h localhost -p 5432 -U postgres -X -w -A -t -v ON_ERROR_STOP=1 -d postgres -c "select 1" -c "DROP DATABASE x")"_s);
    QCOMPARE(
        tools::psqlScript(u"5432"_s, u"pendataan"_s),
        uR"(pgsql\bin\psql.exe -h localhost -p 5432 -U postgres -X -w -A -t -v ON_ERROR_STOP=1 -d pendataan -1 -f -)"_s);
}

void OperationCommandsTest::emptyPortStaysInCommandLines()
{
    QVERIFY(tools::dump({}, windowsBackupFile).contains(u"--port  --username"_s));
    QVERIFY(tools::load({}, u"x"_s).contains(u"--port  --username"_s));
    for (const QString& psql : {tools::psql({}, {}, {u"select 1"_s}), tools::psqlScript({}, {}),
                                tools::lockSession({})}) {
        QVERIFY(psql.startsWith(u"pgsql\\bin\\psql.exe -h localhost -p  -U postgres"_s));
    }
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

    const QStringList dump = splitWindowsCommandLine(tools::dump(u"5432"_s, path));
    QCOMPARE(dump, (QStringList{u"pgsql\\bin\\pg_dump.exe"_s, u"--host"_s, u"localhost"_s,
                                u"--port"_s, u"5432"_s, u"--username"_s, u"postgres"_s,
                                u"--no-password"_s, u"--format"_s, u"tar"_s, u"--blobs"_s,
                                u"--verbose"_s, u"--file"_s, path, u"pendataan"_s}));
    const QStringList script =
        splitWindowsCommandLine(tools::archiveScript(path, path + u".list"_s));
    QCOMPARE(script.last(), path);
    QCOMPARE(script.at(script.indexOf(u"--use-list"_s) + 1), path + u".list"_s);
}

// psql receives each statement as one argument, and reaches the server as pg_restore does.
void OperationCommandsTest::statementsArriveWhole()
{
    const QString awkward = u"SELECT 'a \"b\" \\' FROM \"t\\\""_s;
    const QStringList argv =
        splitWindowsCommandLine(tools::psql(u"5432"_s, u"pendataan"_s, {awkward, u"x y"_s}));
    QCOMPARE(argv.mid(argv.size() - 4), (QStringList{u"-c"_s, awkward, u"-c"_s, u"x y"_s}));
    QCOMPARE(argv.at(argv.indexOf(u"-h"_s) + 1), u"localhost"_s);
    QVERIFY(splitWindowsCommandLine(tools::load(u"5432"_s, u"x"_s)).contains(u"localhost"_s));
}

QTEST_GUILESS_MAIN(OperationCommandsTest)
#include "test_operation_commands.moc"
