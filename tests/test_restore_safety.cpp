// A restore that cannot finish, for whatever reason, leaves the previous pendataan exactly as it
// was: the same database (its OID) with the same contents, at once or after the next run's
// recovery. Against a cluster of its own whose data directory sits on a small disk.
#include "archivetesting.h"
#include "core/model/outcome.h"
#include "core/ops/job.h"
#include "core/ops/load.h"
#include "testcluster.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <unistd.h>

using namespace Qt::StringLiterals;
using ranupa::FailureCause;
using ranupa::OperationOutcome;
using ranupa::OperationStatus;

namespace {

const QString unchanged = u"Database pendataan tidak diubah."_s;
const QString busy = u"sedang berjalan"_s;

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
    void fileRewrittenDuringStreamedLoad();
    void fullDiskLeavesPreviousDatabaseAndRoom();
    void interruptedLoadLeavesPreviousDatabase_data();
    void interruptedLoadLeavesPreviousDatabase();
    void killAroundCreateLeavesNothingThatBlocks();
    void pendataanHeldByOthers_data();
    void pendataanHeldByOthers();
    void lockSessionEndedBySomeoneElse();
    void secondCopyIsRefusedAndHangupCancels();

private:
    void expectPreviousDatabase() const;
    bool pgcluster(const QString& command) const;
    // Runs a restore of the good backup in this process; `interrupt` runs once the slow table
    // begins to load.
    OperationOutcome restoreInterrupted(const std::function<void(ranupa::OperationJob&)>& interrupt,
                                        const QString& file = {});

    std::optional<TestCluster> cluster;
    QTemporaryDir work;
    std::unique_ptr<TempFolder> temp; // the program's own, so that no other test's copy is seen
    QString goodBackup;
    QString previousOid;
    QString previousFingerprint;
};

void RestoreSafetyTest::expectPreviousDatabase() const
{
    QCOMPARE(cluster->databaseOid(), previousOid);
    QCOMPARE(cluster->databaseFingerprint(), previousFingerprint);
    QCOMPARE(cluster->ownDatabases(), QString());
    QCOMPARE(temp->backupCopies(), QStringList());
}

bool RestoreSafetyTest::pgcluster(const QString& command) const
{
    return QProcess::execute(qEnvironmentVariable("RANUPA_PGCLUSTER"),
                             {command, qEnvironmentVariable("RANUPA_DISK_CLUSTER_DIR")}) == 0;
}

OperationOutcome
RestoreSafetyTest::restoreInterrupted(const std::function<void(ranupa::OperationJob&)>& interrupt,
                                      const QString& file)
{
    ranupa::OperationJob job;
    bool interrupted = false;
    const OperationOutcome outcome = ranupa::runToEnd(
        job, ranupa::RestoreRequest{.backupFile = file.isEmpty() ? goodBackup : file},
        {.toolLine = [&](const QString& line) {
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

void RestoreSafetyTest::initTestCase()
{
    cluster = TestCluster::fromEnvironment("RANUPA_DISK_CLUSTER_DIR");
    QVERIFY2(cluster, "the cluster with its own data disk is not running");
    QVERIFY(QFileInfo(programUnderTest()).isExecutable());
    QVERIFY(work.isValid());
    temp = std::make_unique<TempFolder>(work.filePath(u"tmp"_s));
    QVERIFY(QDir::setCurrent(cluster->installDir));

    // A table big enough that a second copy does not fit on a nearly full disk, and one that
    // loads slowly.
    QVERIFY(cluster->exec(uR"(
DROP TABLE IF EXISTS arsip_nilai;
CREATE TABLE arsip_nilai (id int PRIMARY KEY, isi text);
INSERT INTO arsip_nilai SELECT g, md5(g::text) || md5((g + 1)::text) FROM generate_series(1, 150000) g;)"_s));
    QVERIFY(cluster->createSlowTable(3000));
    const OperationOutcome backup = ranupa::runBackup(work.path());
    QCOMPARE(backup.status, OperationStatus::Succeeded);
    goodBackup = backup.filePath;

    // What a failed restore must leave: contents that differ from the backup's.
    QVERIFY(cluster->exec(u"update sekolah set nama = nama || ' (sesudah backup)'; "
                          u"delete from arsip_nilai where id % 7 = 0"_s));
    previousOid = cluster->databaseOid();
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
    cluster->holdLoads(false); // what a case held, or would have let go of
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
    QByteArray bytes = readFile(goodBackup);
    const TarData largest = largestTarMember(bytes);
    QVERIFY(largest.size > 1'000'000);
    bytes.replace(largest.offset + largest.size / 2, 14, "\nRUSAK\tRUSAK\t\n");
    const QString damaged = work.filePath(u"rusak.dbk"_s);
    QVERIFY(writeFile(damaged, bytes));
    QVERIFY(!archiveCheckFailure(damaged));

    const OperationOutcome outcome = ranupa::runRestore(damaged);
    QCOMPARE(outcome.status, OperationStatus::Failed);
    QVERIFY2(outcome.details.contains(u"pg_restore"_s) && outcome.details.contains(unchanged),
             qPrintable(outcome.details));
    expectPreviousDatabase();

    // With no pendataan before, the unfinished one goes: the server is as it was.
    QVERIFY(cluster->exec(u"alter database pendataan rename to simpanan_uji"_s, u"postgres"_s));
    const OperationOutcome first = ranupa::runRestore(damaged);
    const QString left = cluster->databaseOid();
    QVERIFY(cluster->exec(u"alter database simpanan_uji rename to pendataan"_s, u"postgres"_s));
    QCOMPARE(first.status, OperationStatus::Failed);
    QVERIFY(first.details.contains(unchanged));
    QCOMPARE(left, QString());
    expectPreviousDatabase();
}

// The hole a copy closes, closed without one too: a backup rewritten in place while it streams
// into the load, its size and time as they were, is refused by the hash of what was fed.
void RestoreSafetyTest::fileRewrittenDuringStreamedLoad()
{
    const TempFolder small(work.filePath(u"kecil"_s), u"size=1m"_s);
    if (!small.isUsable()) {
        QSKIP("mounting a small temp folder needs root");
    }
    // Data that pg_restore reads after the slow table's, its last row megabytes further on than
    // the program reads ahead of pg_restore.
    QVERIFY(cluster->exec(u"create table lampiran as select g as id, 'lampiran-' || g as isi "
                          u"from generate_series(1, 300000) as g"_s));
    const OperationOutcome backup = ranupa::runBackup(madeFolder(work.filePath(u"diubah"_s)));
    QVERIFY(cluster->exec(u"drop table lampiran"_s));
    QCOMPARE(backup.status, OperationStatus::Succeeded);
    const QByteArray bytes = readFile(backup.filePath);
    const qint64 lastRow = bytes.indexOf("\tlampiran-300000\n") + 1;
    QVERIFY(lastRow > bytes.indexOf("\tlampiran-1\n") + 4'000'000);

    QVERIFY(cluster->holdLoads(true));
    const OperationOutcome outcome = restoreInterrupted(
        [&](ranupa::OperationJob&) {
            QFile file(backup.filePath);
            const QDateTime modified = QFileInfo(file).lastModified();
            QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(lastRow));
            QVERIFY(file.write("L") == 1 && file.flush()); // still a row that loads
            QVERIFY(file.setFileTime(modified, QFileDevice::FileModificationTime));
            cluster->holdLoads(false);
        },
        backup.filePath);
    cluster->holdLoads(false);
    QVERIFY2(outcome.cause == FailureCause::BackupChanged, qPrintable(outcome.details));
    QVERIFY(outcome.pendataanUnchanged);
    QCOMPARE(small.backupCopies(), QStringList());
    expectPreviousDatabase();
}

void RestoreSafetyTest::fullDiskLeavesPreviousDatabaseAndRoom()
{
    if (cluster->diskDir.isEmpty()) {
        QSKIP("the data directory has no disk of its own (mounting one needs root)");
    }
    // Room for the new, empty database, not for the rows that follow. What the server still
    // holds in memory goes to the disk first, or the disk is fuller than it looks.
    QVERIFY(cluster->exec(u"checkpoint"_s));
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

enum class Interruption
{
    Cancel,
    ServerStop,
    Kill,
};

void RestoreSafetyTest::interruptedLoadLeavesPreviousDatabase_data()
{
    QTest::addColumn<Interruption>("interruption");
    QTest::newRow("cancelled") << Interruption::Cancel;
    QTest::newRow("server stopped") << Interruption::ServerStop;
    QTest::newRow("program killed") << Interruption::Kill;
}

// pendataan is never touched by a load cut off half-way. What the load leaves goes at once when
// it is cancelled, and with the next run when nothing of the program was left to drop it.
void RestoreSafetyTest::interruptedLoadLeavesPreviousDatabase()
{
    QFETCH(Interruption, interruption);
    // Held, the load cannot end by itself: only its interruption can have ended it.
    QVERIFY(cluster->holdLoads(true));
    if (interruption == Interruption::Kill) {
        QProcess program;
        cluster->startProgram(program, {u"--restore"_s, goodBackup, u"--yes"_s});
        const QByteArray err = waitForError(program, slowTableLine.toUtf8());
        QVERIFY2(err.contains(slowTableLine.toUtf8()), err.constData());
        program.kill(); // SIGKILL: nothing in the program runs any more
        QVERIFY(program.waitForFinished(60'000));
        // Its load dies with it, every worker, rather than waiting on with nobody to finish or
        // undo it. Its copy of the backup stays for the next run.
        QTRY_COMPARE_WITH_TIMEOUT(processesWith(temp->path()).size(), 0, 60'000);
        QCOMPARE(temp->backupCopies().size(), 1);
    } else {
        const bool cancel = interruption == Interruption::Cancel;
        const OperationOutcome outcome = restoreInterrupted([&](ranupa::OperationJob& job) {
            if (cancel) {
                job.cancel();
            } else {
                QVERIFY(pgcluster(u"server-stop"_s));
            }
        });
        QCOMPARE(outcome.status, cancel ? OperationStatus::Cancelled : OperationStatus::Failed);
        QVERIFY2(outcome.details.contains(unchanged), qPrintable(outcome.details));
        // Every worker: one left behind would wait on, held.
        QTRY_COMPARE_WITH_TIMEOUT(processesWith(temp->path()), QList<qint64>(), 60'000);
        if (cancel) {
            QCOMPARE(outcome.message, u"Restore dibatalkan"_s);
            expectPreviousDatabase();
            return;
        }
        QVERIFY(outcome.details.contains(ranupa::scratchDatabaseName.toString()));
        QVERIFY(pgcluster(u"server-start"_s));
    }
    const QString dir = madeFolder(work.filePath(QString::fromLatin1(QTest::currentDataTag())));
    const ProgramRun next = cluster->runProgram({u"--backup"_s, dir}); // the details say it
    QCOMPARE(next.exitCode, 0);
    QVERIFY2(next.err.contains(u"dihapus"_s), qPrintable(next.err));
    QCOMPARE(filesIn(dir).size(), 1);
    expectPreviousDatabase();
}

void RestoreSafetyTest::killAroundCreateLeavesNothingThatBlocks()
{
    // The server finishes a CREATE DATABASE whose client is gone. Killed around it, by a signal
    // it handles or one it cannot, a restore or a trial leaves only what the next run drops. The
    // moments are held on the server until the kill: as the program says it creates, while the
    // server waits to copy the template, and while it waits to mark the new database finished.
    struct Moment
    {
        const char* held;    // statements of another session that hold the moment; "" for none
        const char* waiting; // the statement of the program's that waits meanwhile
    };
    const Moment moments[] = {
        {"", nullptr},
        {"BEGIN; COMMENT ON DATABASE template0 IS 'ranupa-uji';", "create database"},
        {"BEGIN; LOCK TABLE pg_shdescription IN EXCLUSIVE MODE;", "comment on database"},
    };
    const QString dir = madeFolder(work.filePath(u"setelah-pembuatan"_s));
    for (const auto& [arguments, creating] :
         {std::pair{QStringList{u"--restore"_s, goodBackup, u"--yes"_s}, "Membuat database baru"},
          std::pair{QStringList{u"--verify"_s, goodBackup}, "Membuat database uji"}}) {
        for (const Moment& moment : moments) {
            for (const int signal : {SIGTERM, SIGKILL}) {
                const QString at =
                    u"%1, %2, signal %3"_s
                        .arg(QLatin1StringView(creating),
                             QLatin1StringView(moment.waiting != nullptr ? moment.waiting
                                                                         : "as said"))
                        .arg(signal);
                Session holder(*cluster, u"postgres"_s);
                QVERIFY2(!holder.run(QString::fromLatin1(moment.held)).isEmpty(), qPrintable(at));
                QProcess program;
                cluster->startProgram(program, arguments);
                const QByteArray err = waitForError(program, creating);
                QVERIFY2(err.contains(creating), err.constData());
                if (moment.waiting != nullptr) {
                    QTRY_COMPARE_WITH_TIMEOUT(
                        cluster->sessions(u"wait_event_type = 'Lock' and query ~* '^\\s*%1'"_s.arg(
                            QLatin1StringView(moment.waiting))),
                        u"1"_s, 60'000);
                }
                ::kill(pid_t(program.processId()), signal);
                QVERIFY(!holder.run(u"ROLLBACK;"_s).isEmpty());
                QVERIFY(program.waitForFinished(60'000));

                // The server may take a moment to see the killed program's lock session gone.
                QTRY_COMPARE_WITH_TIMEOUT(cluster->psql(u"select count(*) from pg_locks where "
                                                        u"locktype = 'advisory'"_s),
                                          u"0"_s, 60'000);
                const ProgramRun next =
                    cluster->runProgram({u"--backup"_s, dir, u"--keep"_s, u"1"_s});
                QVERIFY2(next.exitCode == 0, qPrintable(at + u": "_s + next.err));
            }
        }
    }
    // A CREATE still running for a killed program finishes unseen; the run after drops it.
    QTRY_COMPARE_WITH_TIMEOUT(cluster->sessions(u"query ilike 'create database%'"_s), u"0"_s,
                              60'000);
    QCOMPARE(cluster->runProgram({u"--quiet"_s, u"--backup"_s, dir}).exitCode, 0);
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
    ranupa::OperationJob job;
    job.setAsksOperator(true);
    connect(&job, &ranupa::OperationJob::confirmationNeeded, &job, [&] {
        const QString lock = u" from pg_locks where locktype = 'advisory'"_s;
        cluster->psql(u"select pg_terminate_backend(pid)"_s + lock);
        QTRY_COMPARE_WITH_TIMEOUT(cluster->psql(u"select count(*)"_s + lock), u"0"_s, 60'000);
        job.answer({.proceed = true});
    });
    const OperationOutcome outcome =
        ranupa::runToEnd(job, ranupa::RestoreRequest{.backupFile = goodBackup});
    QCOMPARE(outcome.cause, FailureCause::LockLost);
    QVERIFY(outcome.pendataanUnchanged);
    expectPreviousDatabase();
}

void RestoreSafetyTest::secondCopyIsRefusedAndHangupCancels()
{
    // Held at the slow table, the first restore surely still runs while the others are refused.
    QVERIFY(cluster->holdLoads(true));
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
    cluster->startProgram(first, {u"--restore"_s, goodBackup, u"--yes"_s});
    QTRY_COMPARE_WITH_TIMEOUT(cluster->sessions(u"application_name = 'pg_restore' and query like "
                                                u"'COPY public.lambat%'"_s),
                              u"1"_s, 60'000);

    const QString dir = madeFolder(work.filePath(u"selagi-restore"_s));
    for (const QStringList& arguments :
         {QStringList{u"--restore"_s, goodBackup, u"--yes"_s}, QStringList{u"--backup"_s, dir}}) {
        const ProgramRun second = cluster->runProgram(arguments);
        QCOMPARE(second.exitCode, 4);
        QVERIFY2(second.err.contains(busy), qPrintable(second.err));
    }
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
