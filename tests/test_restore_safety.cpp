// A restore that cannot finish, for whatever reason, leaves the previous pendataan exactly as it
// was: the same database (its OID) with the same contents, at once or after the next run's
// recovery. Against a cluster of its own whose data directory sits on a small disk.
#include "archivetesting.h"
#include "core/model/names.h"
#include "core/ops/archivecheck.h"
#include "core/ops/job.h"
#include "testcluster.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <csignal>
#include <unistd.h>

using namespace Qt::StringLiterals;
using ranupa::FailureCause;
using ranupa::OperationOutcome;
using ranupa::OperationStatus;

namespace {

const QString unchanged = u"Database pendataan tidak diubah."_s;
const QString busy = u"sedang berjalan"_s;
// pg_restore names each table as it begins to load it; this one loads slowly (see initTestCase).
const QString slowTableLine = u"processing data for table \"public.lambat\""_s;

// How many processes have `path` on their command line (Linux).
int processesReading(const QString& path)
{
    int count = 0;
    const QStringList pids = QDir(u"/proc"_s).entryList(QDir::Dirs);
    for (const QString& pid : pids) {
        QFile cmdline(u"/proc/%1/cmdline"_s.arg(pid));
        if (pid.toInt() > 0 && cmdline.open(QIODevice::ReadOnly) &&
            cmdline.readAll().contains(path.toLocal8Bit())) {
            ++count;
        }
    }
    return count;
}

QStringList filesIn(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files);
}

// Fills the disk until only `leave` bytes are free; gives the room back when it goes.
class Ballast final
{
    Q_DISABLE_COPY_MOVE(Ballast)

public:
    Ballast(const QString& dir, qint64 leave) : m_file(QDir(dir).filePath(u"ballast"_s))
    {
        const qint64 size = QStorageInfo(dir).bytesAvailable() - leave;
        if (size <= 0 || !m_file.open(QIODevice::WriteOnly)) {
            return;
        }
        const QByteArray chunk(1 << 20, 'x');
        for (qint64 written = 0; written < size; written += chunk.size()) {
            m_file.write(chunk.constData(), std::min<qint64>(chunk.size(), size - written));
        }
        m_file.flush();
    }
    ~Ballast() { m_file.remove(); }

private:
    QFile m_file;
};

} // namespace

class RestoreSafetyTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void damagedTableDataLeavesPreviousDatabase();
    void fullDiskLeavesPreviousDatabaseAndRoom();
    void cancelDuringLoadLeavesPreviousDatabase();
    void serverStoppedDuringLoadIsSetRightByNextBackup();
    void killedProgramIsSetRightByNextBackup();
    void killAroundCreateLeavesNothingThatBlocks();
    void pendataanHeldByOthers_data();
    void pendataanHeldByOthers();
    void lockSessionEndedBySomeoneElse();
    void secondCopyIsRefusedAndHangupCancels();

private:
    QString databaseOid() const;
    void expectPreviousDatabase() const;
    bool pgcluster(const QString& command) const;
    // Runs a restore of the good backup in this process; `interrupt` runs once the slow table
    // begins to load.
    OperationOutcome restoreInterrupted(const std::function<void(ranupa::RestoreJob&)>& interrupt);
    void startProgram(QProcess& program, const QStringList& arguments) const;
    int runProgram(const QStringList& arguments, QString* err = nullptr) const;

    std::optional<TestCluster> cluster;
    QString executable;
    QTemporaryDir work;
    QString goodBackup;
    QString previousOid;
    QString previousFingerprint;
};

QString RestoreSafetyTest::databaseOid() const
{
    return cluster->psql(u"select oid from pg_database where datname = 'pendataan'"_s,
                         u"postgres"_s);
}

void RestoreSafetyTest::expectPreviousDatabase() const
{
    QCOMPARE(databaseOid(), previousOid);
    QCOMPARE(cluster->databaseFingerprint(), previousFingerprint);
    QCOMPARE(cluster->psql(u"select string_agg(datname, ' ') from pg_database where datname "
                           u"like 'ranupa%'"_s,
                           u"postgres"_s),
             QString());
}

bool RestoreSafetyTest::pgcluster(const QString& command) const
{
    return QProcess::execute(qEnvironmentVariable("RANUPA_PGCLUSTER"),
                             {command, qEnvironmentVariable("RANUPA_DISK_CLUSTER_DIR")}) == 0;
}

OperationOutcome
RestoreSafetyTest::restoreInterrupted(const std::function<void(ranupa::RestoreJob&)>& interrupt)
{
    ranupa::RestoreJob job;
    bool interrupted = false;
    const OperationOutcome outcome =
        ranupa::runToEnd(job, goodBackup, {.toolLine = [&](const QString& line) {
                             if (!interrupted && line.contains(slowTableLine)) {
                                 interrupted = true;
                                 interrupt(job);
                             }
                         }});
    if (!interrupted) {
        qWarning("the load never reached the slow table");
    }
    return outcome;
}

void RestoreSafetyTest::startProgram(QProcess& program, const QStringList& arguments) const
{
    QProcessEnvironment environment = cluster->clientEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        environment.remove(QString::fromLatin1(name));
    }
    program.setProcessEnvironment(environment);
    program.setWorkingDirectory(cluster->installDir);
    program.setStandardInputFile(QProcess::nullDevice());
    program.start(executable, arguments);
}

int RestoreSafetyTest::runProgram(const QStringList& arguments, QString* err) const
{
    QProcess program;
    startProgram(program, arguments);
    if (!program.waitForFinished(120'000)) {
        program.kill();
        program.waitForFinished();
        return -1;
    }
    if (err) {
        *err = QString::fromLocal8Bit(program.readAllStandardError());
    }
    return program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
}

void RestoreSafetyTest::initTestCase()
{
    cluster = TestCluster::fromEnvironment("RANUPA_DISK_CLUSTER_DIR");
    QVERIFY2(cluster, "the cluster with its own data disk is not running");
    executable = qEnvironmentVariable("RANUPA_EXECUTABLE");
    QVERIFY(QFileInfo(executable).isExecutable());
    QVERIFY(work.isValid());
    QVERIFY(QDir::setCurrent(cluster->installDir));

    // A table big enough that a second copy does not fit on a nearly full disk, and one whose
    // rows take a millisecond each to load, so that the load surely runs when it is interrupted.
    QVERIFY(!cluster
                 ->psql(uR"(
DROP TABLE IF EXISTS arsip_nilai, lambat;
DROP FUNCTION IF EXISTS tahan(int);
CREATE TABLE arsip_nilai (id int PRIMARY KEY, isi text);
INSERT INTO arsip_nilai SELECT g, md5(g::text) || md5((g + 1)::text) FROM generate_series(1, 150000) g;
CREATE FUNCTION tahan(x int) RETURNS boolean LANGUAGE plpgsql IMMUTABLE
    AS $$ BEGIN PERFORM pg_sleep(0.001); RETURN x IS NOT NULL; END $$;
CREATE TABLE lambat (id int CHECK (tahan(id)));
INSERT INTO lambat SELECT generate_series(1, 3000);)"_s)
                 .isNull());
    const OperationOutcome backup = ranupa::runBackup(work.path());
    QCOMPARE(backup.status, OperationStatus::Succeeded);
    goodBackup = backup.filePath;

    // What a failed restore must leave: contents that differ from the backup's.
    QVERIFY(!cluster
                 ->psql(u"update sekolah set nama = nama || ' (sesudah backup)'; "
                        u"delete from arsip_nilai where id % 7 = 0"_s)
                 .isNull());
    previousOid = databaseOid();
    previousFingerprint = cluster->databaseFingerprint();
    QVERIFY(!previousFingerprint.isEmpty());
}

void RestoreSafetyTest::cleanup()
{
    if (QTest::currentTestFailed()) {
        // Whatever a failed case left, the next one starts from the previous database.
        pgcluster(u"server-start"_s);
        cluster->psql(u"drop database if exists ranupa_helper_pendataan_baru"_s, u"postgres"_s);
    }
    cluster->psql(u"drop subscription if exists ranupa_uji_langganan"_s);
    cluster->psql(u"select pg_drop_replication_slot(slot_name) from pg_replication_slots"_s);
    if (cluster->psql(u"select count(*) from pg_prepared_xacts"_s) != u"0"_s) {
        cluster->psql(u"rollback prepared 'ranupa_uji_siap'"_s);
    }
}

void RestoreSafetyTest::damagedTableDataLeavesPreviousDatabase()
{
    // The tar structure and the table of contents stay intact, so the file check passes; the
    // damage shows only when the biggest table's rows are loaded.
    QFile good(goodBackup);
    QVERIFY(good.open(QIODevice::ReadOnly));
    QByteArray bytes = good.readAll();
    const TarData largest = largestTarMember(bytes);
    QVERIFY(largest.size > 1'000'000);
    bytes.replace(largest.offset + largest.size / 2, 14, "\nRUSAK\tRUSAK\t\n");
    const QString damaged = work.filePath(u"rusak.dbk"_s);
    QFile file(damaged);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
    file.close();
    QVERIFY(!archiveCheckFailure(damaged));

    const OperationOutcome outcome = ranupa::runRestore(damaged);
    QCOMPARE(outcome.status, OperationStatus::Failed);
    QVERIFY2(outcome.details.contains(u"pg_restore"_s) && outcome.details.contains(unchanged),
             qPrintable(outcome.details));
    expectPreviousDatabase();

    // With no pendataan before, the unfinished one goes: the server is as it was.
    QVERIFY(!cluster->psql(u"alter database pendataan rename to simpanan_uji"_s, u"postgres"_s)
                 .isNull());
    const OperationOutcome first = ranupa::runRestore(damaged);
    const QString left = cluster->psql(
        u"select count(*) from pg_database where datname = 'pendataan'"_s, u"postgres"_s);
    QVERIFY(!cluster->psql(u"alter database simpanan_uji rename to pendataan"_s, u"postgres"_s)
                 .isNull());
    QCOMPARE(first.status, OperationStatus::Failed);
    QVERIFY(first.details.contains(unchanged));
    QCOMPARE(left, u"0"_s);
    expectPreviousDatabase();
}

void RestoreSafetyTest::fullDiskLeavesPreviousDatabaseAndRoom()
{
    if (cluster->diskDir.isEmpty()) {
        QSKIP("the data directory has no disk of its own (mounting one needs root)");
    }
    // Room for the new, empty database, not for the rows that follow. What the server still
    // holds in memory goes to the disk first, or the disk is fuller than it looks.
    QVERIFY(!cluster->psql(u"checkpoint"_s).isNull());
    const qint64 leave = cluster
                             ->psql(u"select pg_database_size('template1') + "
                                    u"pg_total_relation_size('arsip_nilai') / 3"_s)
                             .toLongLong();
    QVERIFY(leave > 0);
    auto ballast = std::make_unique<Ballast>(cluster->diskDir, leave);
    const qint64 freeBefore = QStorageInfo(cluster->diskDir).bytesAvailable();
    QVERIFY(freeBefore < leave + (1 << 20));

    const OperationOutcome outcome = ranupa::runRestore(goodBackup);
    QCOMPARE(outcome.status, OperationStatus::Failed);
    QVERIFY2(outcome.details.contains(unchanged), qPrintable(outcome.details));
    QCOMPARE(outcome.cause, FailureCause::ServerDiskFull);
    QVERIFY(outcome.pendataanUnchanged);
    // The unfinished database is gone, and the room it took with it.
    QVERIFY(QStorageInfo(cluster->diskDir).bytesAvailable() >= freeBefore - (1 << 20));
    ballast.reset(); // the comparison sorts on the disk
    expectPreviousDatabase();
}

void RestoreSafetyTest::cancelDuringLoadLeavesPreviousDatabase()
{
    const OperationOutcome outcome =
        restoreInterrupted([](ranupa::RestoreJob& job) { job.cancel(); });
    QCOMPARE(outcome.status, OperationStatus::Cancelled);
    QCOMPARE(outcome.message, u"Restore dibatalkan"_s);
    QVERIFY2(outcome.details.contains(unchanged), qPrintable(outcome.details));
    expectPreviousDatabase();
}

void RestoreSafetyTest::serverStoppedDuringLoadIsSetRightByNextBackup()
{
    const OperationOutcome outcome =
        restoreInterrupted([this](ranupa::RestoreJob&) { QVERIFY(pgcluster(u"server-stop"_s)); });
    QCOMPARE(outcome.status, OperationStatus::Failed);
    // pendataan was never touched; the unfinished database waits for the next run.
    QVERIFY2(outcome.details.contains(unchanged), qPrintable(outcome.details));
    QVERIFY(outcome.details.contains(ranupa::scratchDatabaseName()));

    QVERIFY(pgcluster(u"server-start"_s));
    const QString dir = work.filePath(u"setelah-server-mati"_s);
    QVERIFY(QDir().mkpath(dir));
    const OperationOutcome backup = ranupa::runBackup(dir);
    QCOMPARE(backup.status, OperationStatus::Succeeded);
    QVERIFY2(backup.details.contains(u"dihapus"_s), qPrintable(backup.details));
    QCOMPARE(filesIn(dir).size(), 1);
    expectPreviousDatabase();
}

void RestoreSafetyTest::killedProgramIsSetRightByNextBackup()
{
    QProcess program;
    startProgram(program, {u"--restore"_s, goodBackup, u"--yes"_s});
    program.setReadChannel(QProcess::StandardError);
    QByteArray err;
    while (!err.contains(slowTableLine.toUtf8()) && program.waitForReadyRead(60'000)) {
        err += program.readAllStandardError();
    }
    QVERIFY2(err.contains(slowTableLine.toUtf8()), err.constData());
    program.kill(); // SIGKILL: nothing in the program runs any more
    QVERIFY(program.waitForFinished(10'000));
    // Its load dies with it, rather than running on with nobody to finish or undo it.
    QTRY_COMPARE_WITH_TIMEOUT(processesReading(goodBackup), 0, 2'000);

    const QString dir = work.filePath(u"setelah-dibunuh"_s);
    QVERIFY(QDir().mkpath(dir));
    QString report;
    QCOMPARE(runProgram({u"--quiet"_s, u"--backup"_s, dir}, &report), 0);
    QVERIFY2(report.contains(u"dihapus"_s), qPrintable(report));
    QCOMPARE(filesIn(dir).size(), 1);
    expectPreviousDatabase();
}

void RestoreSafetyTest::killAroundCreateLeavesNothingThatBlocks()
{
    // The server finishes a CREATE DATABASE whose client is gone. Killed around it, by a signal
    // it handles or one it cannot, a restore or a trial leaves only what the next run drops.
    const QString dir = work.filePath(u"setelah-pembuatan"_s);
    QVERIFY(QDir().mkpath(dir));
    int killed = 0;
    for (const auto& [arguments, creating] :
         {std::pair{QStringList{u"--restore"_s, goodBackup, u"--yes"_s}, "Membuat database baru"},
          std::pair{QStringList{u"--verify"_s, goodBackup}, "Membuat database uji"}}) {
        for (const int delayMs : {0, 15, 40, 70, 100, 150, 220, 300, 400}) {
            QProcess program;
            startProgram(program, arguments);
            program.setReadChannel(QProcess::StandardError);
            QByteArray err;
            while (!err.contains(creating) && program.waitForReadyRead(60'000)) {
                err += program.readAllStandardError();
            }
            QVERIFY2(err.contains(creating), err.constData());
            QThread::msleep(delayMs);
            ::kill(pid_t(program.processId()), ++killed % 2 ? SIGTERM : SIGKILL);
            QVERIFY(program.waitForFinished(60'000));

            // The server may take a moment to see the killed program's lock session gone.
            QTRY_COMPARE(cluster->psql(u"select count(*) from pg_locks where locktype = "
                                       u"'advisory'"_s),
                         u"0"_s);
            QString report;
            const int code = runProgram({u"--backup"_s, dir, u"--keep"_s, u"1"_s}, &report);
            QVERIFY2(code == 0, qPrintable(u"%1 ms: %2"_s.arg(delayMs).arg(report)));
        }
    }
    // A CREATE still running for a killed program finishes unseen; the run after drops it.
    QTRY_COMPARE(cluster->psql(u"select count(*) from pg_stat_activity where query ilike "
                               u"'create database%'"_s),
                 u"0"_s);
    QCOMPARE(runProgram({u"--quiet"_s, u"--backup"_s, dir}), 0);
    expectPreviousDatabase();
}

void RestoreSafetyTest::pendataanHeldByOthers_data()
{
    // A session of others runs `statements` in `database`; the details must name `named`.
    QTest::addColumn<QString>("database");
    QTest::addColumn<QString>("statements");
    QTest::addColumn<QString>("named");
    QTest::addColumn<FailureCause>("cause");
    QTest::newRow("subscription")
        << u"pendataan"_s
        << u"CREATE SUBSCRIPTION ranupa_uji_langganan CONNECTION 'dbname=tidak_ada' PUBLICATION "
           u"p WITH (connect = false, slot_name = NONE);"_s
        << u"ranupa_uji_langganan"_s << FailureCause::ReplicationInUse;
    QTest::newRow("inactive logical replication slot")
        << u"pendataan"_s
        << u"SELECT pg_create_logical_replication_slot('ranupa_uji_slot', 'test_decoding');"_s
        << u"ranupa_uji_slot"_s << FailureCause::ReplicationInUse;
    QTest::newRow("prepared transaction")
        << u"pendataan"_s << u"BEGIN; PREPARE TRANSACTION 'ranupa_uji_siap';"_s
        << u"ranupa_uji_siap"_s << FailureCause::PreparedTransaction;
    // Ending the connections to pendataan does not end it; the swap waits for it, then gives up.
    QTest::newRow("open transaction in another database that changed pendataan's entry")
        << u"postgres"_s << u"BEGIN; GRANT CONNECT ON DATABASE pendataan TO PUBLIC;"_s
        << u"aplikasi ranupa-uji-penahan"_s << FailureCause::DatabaseLocked;
}

void RestoreSafetyTest::pendataanHeldByOthers()
{
    QFETCH(QString, database);
    QFETCH(QString, statements);
    QFETCH(QString, named);
    QFETCH(FailureCause, cause);
    Session others(*cluster, database, u"ranupa-uji-penahan"_s);
    QVERIFY(!others.run(statements).isEmpty());
    QStringList shown;
    const OperationOutcome outcome =
        ranupa::runRestore(goodBackup, {.toolLine = [&](const QString& l) {
                               shown << l;
                           }});
    QCOMPARE(outcome.cause, cause);
    QVERIFY2(outcome.details.contains(named) && outcome.pendataanUnchanged,
             qPrintable(outcome.details));
    QCOMPARE(!shown.filter(named).isEmpty(), cause == FailureCause::DatabaseLocked);
    expectPreviousDatabase();
}

void RestoreSafetyTest::lockSessionEndedBySomeoneElse()
{
    ranupa::RestoreJob job;
    job.setAskBeforeReplacing(true);
    connect(&job, &ranupa::RestoreJob::confirmationNeeded, &job, [&] {
        const QString lock = u" from pg_locks where locktype = 'advisory'"_s;
        cluster->psql(u"select pg_terminate_backend(pid)"_s + lock);
        QTRY_COMPARE_WITH_TIMEOUT(cluster->psql(u"select count(*)"_s + lock), u"0"_s, 10'000);
        job.proceed();
    });
    const OperationOutcome outcome = ranupa::runToEnd(job, goodBackup, {});
    QCOMPARE(outcome.cause, FailureCause::LockLost);
    QVERIFY(outcome.pendataanUnchanged);
    expectPreviousDatabase();
}

void RestoreSafetyTest::secondCopyIsRefusedAndHangupCancels()
{
    QProcess first;
    // Its messages go to a pipe nobody reads, as with "2>&1 | head" after head has ended.
    first.setChildProcessModifier([] {
        int ends[2];
        if (::pipe(ends) == 0) {
            ::close(ends[0]);
            ::dup2(ends[1], STDERR_FILENO);
            ::close(ends[1]);
        }
    });
    startProgram(first, {u"--restore"_s, goodBackup, u"--yes"_s});
    QTRY_COMPARE_WITH_TIMEOUT(
        cluster->psql(u"select count(*) from pg_stat_activity where application_name = "
                      u"'pg_restore' and query like 'COPY public.lambat%'"_s,
                      u"postgres"_s),
        u"1"_s, 60'000);

    QString err;
    QCOMPARE(runProgram({u"--restore"_s, goodBackup, u"--yes"_s}, &err), 4);
    QVERIFY2(err.contains(busy), qPrintable(err));
    const QString dir = work.filePath(u"selagi-restore"_s);
    QVERIFY(QDir().mkpath(dir));
    QCOMPARE(runProgram({u"--backup"_s, dir}, &err), 4);
    QVERIFY2(err.contains(busy), qPrintable(err));
    QCOMPARE(filesIn(dir), QStringList());
    QCOMPARE(first.state(), QProcess::Running);

    // The terminal that started it closes: the restore is cancelled, not cut off.
    ::kill(pid_t(first.processId()), SIGHUP);
    QVERIFY(first.waitForFinished(60'000));
    QCOMPARE(first.exitStatus(), QProcess::NormalExit);
    QCOMPARE(first.exitCode(), 3);
    expectPreviousDatabase();
}

QTEST_GUILESS_MAIN(RestoreSafetyTest)
#include "test_restore_safety.moc"
