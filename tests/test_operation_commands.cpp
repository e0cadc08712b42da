// The backup file name and the exact command lines of backup and restore, and what a child
// process makes of them.
#include "core/files/backupfiles.h"
#include "core/model/outcome.h"
#include "core/ops/job.h"
#include "core/pg/tools.h"

#include <QDir>
#include <QTest>

using namespace Qt::StringLiterals;
using ranupa::backupFilePath;
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
    const ranupa::ToolCommand dump = tools::dump(u"5432"_s, windowsBackupFile);
    QCOMPARE(dump.program, u"pgsql/bin/pg_dump"_s);
    QCOMPARE(dump.arguments,
             (QStringList{u"--host"_s, u"localhost"_s, u"--port"_s, u"5432"_s, u"--username"_s,
                          u"postgres"_s, u"--no-password"_s, u"--format"_s, u"tar"_s, u"--blobs"_s,
                          u"--verbose"_s, u"--file"_s, windowsBackupFile, u"pendataan"_s}));
#ifdef Q_OS_WIN
    QCOMPARE(
        dump.text(),
        uR"(pgsql\bin\pg_dump.exe --host localhost --port 5432 --username postgres --no-password --format tar --blobs --verbose --file D:\Cadangan\ranupaku06122026220509.dbk pendataan)"_s);
#endif
}

// pg_restore reads the backup on its standard input, from the file the program opened once.
void OperationCommandsTest::restoreCommandLinesAreExact()
{
    QCOMPARE(tools::load(u"5432"_s, u"ranupa_helper_pendataan_baru"_s).arguments,
             (QStringList{u"--host"_s, u"localhost"_s, u"--port"_s, u"5432"_s, u"--username"_s,
                          u"postgres"_s, u"--dbname"_s, u"ranupa_helper_pendataan_baru"_s,
                          u"--no-password"_s, u"--verbose"_s}));
    const QStringList psqlStart{u"-h"_s, u"localhost"_s, u"-p"_s, u"5432"_s,
                                u"-U"_s, u"postgres"_s,  u"-X"_s, u"-w"_s,
                                u"-A"_s, u"-t"_s,        u"-v"_s, u"ON_ERROR_STOP=1"_s,
                                u"-d"_s};
    QCOMPARE(tools::psql(u"5432"_s, {}, {u"select 1"_s, u"DROP DATABASE x"_s}).arguments,
             (psqlStart +
              QStringList{u"postgres"_s, u"-c"_s, u"select 1"_s, u"-c"_s, u"DROP DATABASE x"_s}));
    QCOMPARE(tools::psqlScript(u"5432"_s, u"pendataan"_s).arguments,
             (psqlStart + QStringList{u"pendataan"_s, u"-1"_s, u"-f"_s, u"-"_s}));
    // The details show a command as it could be typed: an argument with blanks is quoted.
    QVERIFY(tools::psql(u"5432"_s, {}, {u"select 1"_s}).text().endsWith(u"\"select 1\""_s) ||
            tools::psql(u"5432"_s, {}, {u"select 1"_s}).text().endsWith(u"'select 1'"_s));
}

void OperationCommandsTest::emptyPortStaysInCommandLines()
{
    for (const ranupa::ToolCommand& command :
         {tools::dump({}, windowsBackupFile), tools::load({}, u"x"_s),
          tools::psql({}, {}, {u"select 1"_s}), tools::psqlScript({}, {}), tools::session({}),
          tools::query({}, {}, u"select 1"_s)}) {
        const qsizetype port =
            command.arguments.indexOf(command.program.endsWith(u"psql") ? u"-p"_s : u"--port"_s);
        QVERIFY(port >= 0);
        QCOMPARE(command.arguments.at(port + 1), QString());
    }
}

QTEST_GUILESS_MAIN(OperationCommandsTest)
#include "test_operation_commands.moc"
