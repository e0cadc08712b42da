#include "core/files/history.h"
#include "core/model/wording.h"
#include "core/ops/runstatus.h"
#include "testcluster.h"
#include "testhome.h"

#include <QtTest>

using namespace Qt::StringLiterals;
using namespace ranupa;

Q_DECLARE_METATYPE(QList<ranupa::RunRecord>)

// The history's line format and bound, what the window's status line makes of it, and the line
// every kind of run of the program leaves.
class TestHistory final : public QObject
{
    Q_OBJECT

private slots:
    void linesComeBackAsWritten();
    void keepsTheNewestThousand();
    void statusLine_data();
    void statusLine();
    void everyRunIsRecordedNewestFirst();

private:
    TestHome m_home;
};

namespace {

const QDateTime now(QDate(2026, 12, 8), QTime(12, 0));

RunRecord backupAt(const QDateTime& started, RunOrigin origin = RunOrigin::Window,
                   RunResult result = RunResult::Succeeded, bool tried = true)
{
    return {.started = started,
            .origin = origin,
            .result = result,
            .tried = tried,
            .fileSize = 13'002'342, // 12,4 MB
            .filePath = u"/srv/cadangan/ranupaku.dbk"_s,
            .cause =
                result == RunResult::Failed ? u"Gagal melakukan backup. Disk penuh."_s : QString()};
}

} // namespace

void TestHistory::linesComeBackAsWritten()
{
    // Every separator and escape a path or a cause can hold, and letters beyond ASCII.
    // A line keeps whole seconds; one reading of the clock, or a millisecond between two readings
    // would leave a fraction behind.
    const QDateTime wholeSecond = QDateTime::currentDateTime();
    const RunRecord record{.started = wholeSecond.addMSecs(-wholeSecond.time().msec()),
                           .kind = OperationKind::Restore,
                           .origin = RunOrigin::Schedule,
                           .result = RunResult::Failed,
                           .durationMs = 1234,
                           .filePath = u"D:\\Cadangan\\tab\there\\new\nline\\t é.dbk"_s,
                           .cause = u"Gagal\\n melakukan\r\nrestore"_s};
    const QString line = historyLine(record);
    QVERIFY(!line.contains(u'\n') && !line.contains(u'\r'));
    QCOMPARE(recordFromLine(line), record);
    // A damaged line, or one from a later version with more fields, is left out.
    QCOMPARE(recordFromLine(line + u"\textra"_s), std::nullopt);
    QCOMPARE(recordFromLine(QString(line).replace(u"restore"_s, u"pulihkan"_s)), std::nullopt);
}

void TestHistory::keepsTheNewestThousand()
{
    QString problem;
    for (int i = 0; i < historyLimit + 5; ++i) {
        QVERIFY2(appendToHistory(backupAt(now.addSecs(i)), problem), qPrintable(problem));
    }
    const QList<RunRecord> history = readHistory();
    QCOMPARE(history.size(), historyLimit);
    QCOMPARE(history.first().started, now.addSecs(5));
    QCOMPARE(history.last().started, now.addSecs(historyLimit + 4));
}

void TestHistory::statusLine_data()
{
    QTest::addColumn<QList<RunRecord>>("history");
    QTest::addColumn<bool>("scheduled"); // daily at 10.00 since 5 December, 09.00
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("warning");
    const QDateTime today10(now.date(), QTime(10, 0, 30));
    QTest::newRow("none") << QList<RunRecord>{} << false
                          << u"Belum ada backup yang tercatat di komputer ini."_s << false;
    QTest::newRow("fresh, tried") << QList{backupAt(now.addSecs(-7200))} << false
                                  << u"Backup terakhir: Selasa, 8 Desember 2026 pukul 10.00 "
                                     u"(2 jam yang lalu), sudah diuji."_s
                                  << false;
    QTest::newRow("old")
        << QList{backupAt(now.addDays(-8), RunOrigin::CommandLine, RunResult::Succeeded, false)}
        << false
        << u"Backup terakhir: Senin, 30 November 2026 pukul 12.00 (8 hari yang lalu), belum "
           u"diuji. Sudah lebih dari 7 hari!"_s
        << true;
    QTest::newRow("scheduled run kept")
        << QList{backupAt(today10, RunOrigin::Schedule)} << true
        << u"Backup terakhir: Selasa, 8 Desember 2026 pukul 10.00 (1 jam yang lalu), sudah "
           u"diuji. Jadwal berikutnya: besok pukul 10.00."_s
        << false;
    // A backup made by hand since does not make up for a schedule that fails.
    QTest::newRow("last scheduled run failed")
        << QList{backupAt(today10, RunOrigin::Schedule, RunResult::Failed),
                 backupAt(now.addSecs(-600))}
        << true
        << u"Backup terjadwal terakhir gagal (1 jam yang lalu). Backup terakhir: Selasa, 8 "
           u"Desember 2026 pukul 11.50 (10 menit yang lalu), sudah diuji. Jadwal berikutnya: "
           u"besok pukul 10.00."_s
        << true;
    QTest::newRow("scheduled run missed")
        << QList{backupAt(today10.addDays(-2), RunOrigin::Schedule)} << true
        << u"Backup terjadwal Selasa, 8 Desember 2026 pukul 10.00 tidak berjalan. Backup "
           u"terakhir: Minggu, 6 Desember 2026 pukul 10.00 (2 hari yang lalu), sudah diuji. "
           u"Jadwal berikutnya: besok pukul 10.00."_s
        << true;
}

void TestHistory::statusLine()
{
    QFETCH(QList<RunRecord>, history);
    QFETCH(bool, scheduled);
    QFETCH(QString, text);
    QFETCH(bool, warning);
    std::optional<Schedule> schedule;
    if (scheduled) {
        schedule = Schedule{.backup = {.backupDir = u"/srv/cadangan"_s},
                            .made = QDateTime(QDate(2026, 12, 5), QTime(9, 0))};
    }
    const BackupStatus status = backupStatus(history, schedule, now);
    QCOMPARE(status.text, text);
    QCOMPARE(status.warning, warning);
    // The folder and the size are in the tooltip, once there is a backup.
    QCOMPARE(status.toolTip.contains(u"Ukuran: 12,4 MB"_s), !history.isEmpty());
}

void TestHistory::everyRunIsRecordedNewestFirst()
{
    const std::optional<TestCluster> cluster = TestCluster::fromEnvironment("RANUPA_CLUSTER_DIR");
    QVERIFY2(cluster, "the throwaway cluster is not running");
    QTemporaryDir dir;
    const auto run = [&](const QStringList& arguments) {
        return cluster->runProgram(QStringList{u"--quiet"_s} + arguments).exitCode;
    };
    QCOMPARE(run({u"--backup"_s, dir.path(), u"--verify"_s}), 0);
    const QString good = onlyFileIn(dir.path());
    QCOMPARE(run({u"--verify"_s, good}), 0);
    QCOMPARE(run({u"--restore"_s, good, u"--yes"_s}), 0);
    QCOMPARE(run({u"--backup"_s, dir.filePath(u"tidak-ada"_s)}), 1);

    const ProgramRun history = cluster->runProgram({u"--history"_s});
    QCOMPARE(history.exitCode, 0);
    const QStringList lines = history.out.split(u'\n', Qt::SkipEmptyParts);
    const QString size = wording::size(QFileInfo(good).size());
    const QStringList expected{
        u" | backup dari baris perintah | gagal: Gagal melakukan backup. Folder tujuan"_s,
        u" | restore dari baris perintah | berhasil | %1 | "_s.arg(size),
        u" | uji restore dari baris perintah | berhasil | %1 | "_s.arg(size),
        u" | backup dari baris perintah | berhasil, sudah diuji | %1 | "_s.arg(size)};
    QCOMPARE(lines.size(), expected.size());
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QVERIFY2(lines[i].contains(expected[i]), qPrintable(lines[i]));
    }
    // The folder a failed backup was to go into, the file a restore read.
    QVERIFY2(lines[0].endsWith(u" | "_s + dir.filePath(u"tidak-ada"_s)) &&
                 lines[1].endsWith(u" | "_s + good),
             qPrintable(lines.join(u'\n')));
}

QTEST_GUILESS_MAIN(TestHistory)
#include "test_history.moc"
