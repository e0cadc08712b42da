// Backup and restore against the real throwaway clusters: what ends up in pendataan, what is
// left in the target directory, and that nothing hangs, whatever the input.
#include "archivetesting.h"
#include "core/model/outcome.h"
#include "core/ops/job.h"
#include "core/ops/retention.h"
#include "testcluster.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>

using namespace Qt::StringLiterals;
using ranupa::FailureCause;
using ranupa::OperationOutcome;
using ranupa::OperationStatus;
using ranupa::runBackup;
using ranupa::runRestore;

namespace {

// No single operation on the demo database takes near this long; anything slower is a hang.
constexpr qint64 hangLimitMs = 60'000;

const QString backupFailed = u"Gagal melakukan backup"_s;
const QString restoreFailed = u"Gagal melakukan restore"_s;

} // namespace

class BackupRestoreTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void emptyFieldsSkipAndFinishLater();
    void roundTripBringsBackStateOfBackup();
    void restoreWithoutExistingDatabase();
    void restoreCutsOffConnectedSession();
    void customFormatBackupRestores();
    void awkwardPathsRoundTrip_data();
    void awkwardPathsRoundTrip();

    void unrestorableFileLeavesDatabaseUntouched_data();
    void unrestorableFileLeavesDatabaseUntouched();
    void fifoIsRefusedAtOnce();
    void brokenInstallationTouchesNothing_data();
    void brokenInstallationTouchesNothing();
    void passwordServerFailsAtOnce();

private:
    void damageDatabase() const;
    OperationOutcome timedRestore(const QString& file) const;

    QStringList leftCopies() const { return temp->backupCopies(); }

    std::optional<TestCluster> cluster;
    QTemporaryDir work;
    std::unique_ptr<TempFolder> temp; // the program's own, so that no other test's copy is seen
    QString goodBackup;
    QString customBackup;
    QString fingerprintAtBackup;
    QString otherOidAtStart; // of a database the restore must never touch
};

// Changes rows, a sequence, a large object and the schema, so that a restore has work to do.
void BackupRestoreTest::damageDatabase() const
{
    QVERIFY(
        cluster->exec(u"update peserta_didik set nama = 'RUSAK' where peserta_didik_id % 3 = 0; "
                      u"delete from nilai where random() < 0.5; "
                      u"select nextval('nomor_induk_seq'); "
                      u"select lo_unlink(logo) from sekolah where logo is not null; "
                      u"create table sampah (x int); drop table mata_pelajaran cascade"_s));
    QVERIFY(cluster->databaseFingerprint() != fingerprintAtBackup);
}

OperationOutcome BackupRestoreTest::timedRestore(const QString& file) const
{
    const QElapsedTimer timer = startedTimer();
    const OperationOutcome outcome = runRestore(file);
    if (timer.elapsed() > hangLimitMs) {
        qWarning("restore of %s took %lld ms", qPrintable(file), timer.elapsed());
    }
    return outcome;
}

void BackupRestoreTest::initTestCase()
{
    cluster = TestCluster::fromEnvironment("RANUPA_CLUSTER_DIR");
    if (!cluster) {
        QSKIP("no throwaway cluster: run through ctest, which starts one");
    }
    QVERIFY(work.isValid());
    temp = std::make_unique<TempFolder>(work.filePath(u"tmp"_s));
    QVERIFY(QDir::setCurrent(cluster->installDir));

    if (cluster->databaseOid(u"lain"_s).isEmpty()) {
        QVERIFY(cluster->exec(u"create database lain"_s, u"postgres"_s));
    }
    otherOidAtStart = cluster->databaseOid(u"lain"_s);
    QVERIFY(!otherOidAtStart.isEmpty());
    fingerprintAtBackup = cluster->databaseFingerprint();
    QVERIFY(!fingerprintAtBackup.isEmpty());
    const QString dir = madeFolder(work.filePath(u"good"_s));
    const OperationOutcome outcome = runBackup(dir);
    QCOMPARE(outcome.status, OperationStatus::Succeeded);
    goodBackup = outcome.filePath;
    QCOMPARE(outcome.message, u"Database ranupaku berhasil disimpan ke "_s + goodBackup);
    QCOMPARE(filesIn(dir, u"*.dbk"_s), QStringList{QFileInfo(goodBackup).fileName()});

    // The other single-file format pg_restore knows, as pg_dump -Fc writes it.
    customBackup = work.filePath(u"custom.dbk"_s);
    QVERIFY(cluster->dump(u"pendataan"_s, customBackup, u"c"_s));
}

void BackupRestoreTest::cleanup()
{
    QDir::setCurrent(cluster->installDir);
    // Every test leaves pendataan as it was at the backup; a failed one puts it back.
    if (QTest::currentTestFailed() && cluster->databaseFingerprint() != fingerprintAtBackup) {
        runRestore(goodBackup);
    }
}

void BackupRestoreTest::emptyFieldsSkipAndFinishLater()
{
    const QString oid = cluster->databaseOid();
    ranupa::OperationJob job;
    QSignalSpy done(&job, &ranupa::OperationJob::finished);
    job.start(ranupa::BackupRequest{});
    QCOMPARE(done.count(), 0); // never from inside start()
    QVERIFY(done.wait(hangLimitMs));
    QCOMPARE(done.takeFirst().first().value<OperationOutcome>().status, OperationStatus::Skipped);

    job.start(ranupa::RestoreRequest{});
    QCOMPARE(done.count(), 0);
    QVERIFY(done.wait(hangLimitMs));
    const auto outcome = done.takeFirst().first().value<OperationOutcome>();
    QCOMPARE(outcome.status, OperationStatus::Skipped);
    QVERIFY(outcome.message.isEmpty());
    QCOMPARE(cluster->databaseOid(), oid);

    // A second request while one runs is refused, and each gets its one finished().
    job.start(ranupa::VerifyRequest{.backupFile = goodBackup});
    job.start(ranupa::BackupRequest{.targetDir = work.path()});
    QTRY_COMPARE_WITH_TIMEOUT(done.count(), 2, 120'000);
    QCOMPARE(done.at(0).first().value<OperationOutcome>().cause, ranupa::FailureCause::Busy);
    QCOMPARE(done.at(1).first().value<OperationOutcome>().status, OperationStatus::Succeeded);
}

void BackupRestoreTest::roundTripBringsBackStateOfBackup()
{
    damageDatabase();
    QStringList steps;
    QStringList toolLines;
    QList<ranupa::ProgressMeasure> measures;
    const OperationOutcome outcome =
        runRestore(goodBackup, {.stepChanged = [&](const QString& step) { steps << step; },
                                .toolLine = [&](const QString& line) { toolLines << line; },
                                .measured =
                                    [&](const ranupa::ProgressMeasure& measure) {
                                        measures << measure;
                                    }});
    QCOMPARE(outcome.status, OperationStatus::Succeeded);
    QCOMPARE(outcome.message, u"Restore database berhasil"_s);
    QCOMPARE(steps,
             (QStringList{u"Menghubungi server database..."_s, u"Memeriksa database di server..."_s,
                          u"Menyalin file backup ke folder sementara..."_s,
                          u"Memeriksa file backup..."_s, u"Memeriksa server..."_s,
                          u"Membuat database baru..."_s, u"Memuat data dari file backup..."_s,
                          u"Menyelesaikan restore..."_s, u"Menghapus database lama..."_s}));
    // Loaded in parallel, from the copy.
    QVERIFY(!toolLines.filter(u"pg_restore: launching item"_s).isEmpty());
    // The bar follows the copy to the end of the file, then the entries of the table of contents
    // pg_restore has done, to the last.
    QCOMPARE(measures.first().percent(), 0);
    const auto copied = std::find_if(measures.cbegin(), measures.cend(), [&](const auto& m) {
        return m.unit == ranupa::ProgressMeasure::Unit::Bytes && m.percent() == 100;
    });
    QVERIFY(copied != measures.cend());
    QCOMPARE(copied->total, QFileInfo(goodBackup).size());
    QCOMPARE(measures.last().unit, ranupa::ProgressMeasure::Unit::Entries);
    QVERIFY(measures.last().total > 10);
    QCOMPARE(measures.last().percent(), 100);
    QVERIFY(std::count_if(copied, measures.cend(), [](const auto& m) {
                return m.unit == ranupa::ProgressMeasure::Unit::Entries && m.percent() > 0 &&
                       m.percent() < 100;
            }) > 5);
    QCOMPARE(cluster->databaseFingerprint(), fingerprintAtBackup);
    // The previous database is gone once the new one is complete, and the copy with the load: no
    // copy is left taking room.
    QCOMPARE(cluster->ownDatabases(), QString());
    QCOMPARE(leftCopies(), QStringList());
}

// The first restore on a server that has no pendataan yet: the drop fails, and that is fine.
void BackupRestoreTest::restoreWithoutExistingDatabase()
{
    QVERIFY(cluster->exec(u"drop database pendataan"_s, u"postgres"_s));
    const OperationOutcome outcome = timedRestore(goodBackup);
    QCOMPARE(outcome.status, OperationStatus::Succeeded);
    QCOMPARE(cluster->databaseFingerprint(), fingerprintAtBackup);
}

void BackupRestoreTest::restoreCutsOffConnectedSession()
{
    // Found by its name: a pattern on the query text would also match the counting sessions
    // themselves, which linger in pg_stat_activity for a moment after each count.
    QProcess session;
    QProcessEnvironment environment = cluster->clientEnvironment();
    environment.insert(u"PGAPPNAME"_s, u"ranupa_uji_tidur"_s);
    session.setProcessEnvironment(environment);
    session.start(cluster->binDir + u"/psql"_s,
                  {u"-X"_s, u"-h"_s, cluster->socketDir, u"-p"_s, cluster->port, u"-U"_s,
                   u"postgres"_s, u"-d"_s, u"pendataan"_s, u"-c"_s, u"select pg_sleep(600)"_s});
    QVERIFY(session.waitForStarted());
    QTRY_COMPARE_WITH_TIMEOUT(cluster->sessions(u"datname = 'pendataan' and application_name = "
                                                u"'ranupa_uji_tidur' and state = 'active'"_s),
                              u"1"_s, hangLimitMs);

    damageDatabase();
    const OperationOutcome outcome = timedRestore(goodBackup);
    QCOMPARE(outcome.status, OperationStatus::Succeeded);
    // Left alone, its statement would sleep for ten minutes.
    QTRY_COMPARE_WITH_TIMEOUT(session.state(), QProcess::NotRunning, hangLimitMs);
    QVERIFY(session.exitStatus() != QProcess::NormalExit || session.exitCode() != 0);
    QCOMPARE(cluster->databaseFingerprint(), fingerprintAtBackup);
}

void BackupRestoreTest::customFormatBackupRestores()
{
    damageDatabase();
    const OperationOutcome outcome = timedRestore(customBackup);
    QCOMPARE(outcome.status, OperationStatus::Succeeded);
    QCOMPARE(cluster->databaseFingerprint(), fingerprintAtBackup);
}

void BackupRestoreTest::awkwardPathsRoundTrip_data()
{
    QTest::addColumn<QString>("dir");
    QTest::newRow("spaces") << work.filePath(u"Cadangan Data Sekolah"_s);
    QTest::newRow("non-ASCII") << work.filePath(u"Çadangan ñoño 数据"_s);
    QTest::newRow("double quotes") << work.filePath(u"a\" --clean \"b"_s);
    QTest::newRow("backslash before quote") << work.filePath(u"x\\\"y\\"_s);
    // Relative to the working directory, and read by no tool as an option.
    QTest::newRow("relative, starting with a dash") << u"-cadangan"_s;
}

// The program's own backup, then its restore, from a directory with an awkward name.
void BackupRestoreTest::awkwardPathsRoundTrip()
{
    QFETCH(QString, dir);
    QVERIFY(QDir().mkpath(dir));
    auto removeDir = qScopeGuard([&] { QDir(dir).removeRecursively(); });
    const OperationOutcome backup = runBackup(dir);
    QCOMPARE(backup.status, OperationStatus::Succeeded);
    const QString name = QFileInfo(backup.filePath).fileName();
    QCOMPARE(QFileInfo(backup.filePath).absolutePath(), QFileInfo(dir).absoluteFilePath());
    QCOMPARE(backup.message, u"Database ranupaku berhasil disimpan ke "_s + backup.filePath);
    QCOMPARE(filesIn(dir, u"*.dbk"_s), QStringList{name});

    damageDatabase();
    const OperationOutcome restore = timedRestore(dir + u'/' + name);
    QCOMPARE(restore.status, OperationStatus::Succeeded);
    QCOMPARE(cluster->databaseFingerprint(), fingerprintAtBackup);
}

void BackupRestoreTest::unrestorableFileLeavesDatabaseUntouched_data()
{
    QTest::addColumn<QByteArray>("bytes"); // null: no file at all

    const QByteArray good = readFile(goodBackup);
    QVERIFY(!good.isEmpty());
    const QList<TarData> members = tarMembers(good);
    QVERIFY(members.size() > 3);
    QCOMPARE(members.first().name, "toc.dat"_ba);
    const TarData largest = largestTarMember(good);

    QTest::newRow("missing file") << QByteArray();
    QTest::newRow("empty file") << ""_ba;
    QTest::newRow("not an archive") << QByteArray("Daftar nilai semester ganjil\n").repeated(500);
    QTest::newRow("cut inside the table of contents")
        << good.left(members.first().offset + members.first().size / 2);
    QTest::newRow("cut inside a table's data") << good.left(largest.offset + largest.size / 2);
    QTest::newRow("cut after the last member") << good.left(good.size() - 1024);
    QTest::newRow("cut just before the end") << good.left(good.size() - 1);

    // pg_restore --list reads only the table of contents: the data it names must be there.
    QTest::newRow("later members lost")
        << good.left(members.at(2).offset - 512) + QByteArray(1024, '\0');
    QByteArray zeroFilled = good.left(largest.offset + largest.size / 2);
    zeroFilled.append(QByteArray(good.size() - zeroFilled.size(), '\0'));
    QTest::newRow("cut and zero-filled to its size") << zeroFilled;

    QByteArray corrupted = good;
    corrupted[members.at(2).offset - 512 + 1] ^= 0x20;
    QTest::newRow("corrupted header") << corrupted;

    QByteArray foreignToc = good;
    // A well-formed tar whose table of contents is not pg_dump's.
    foreignToc.replace(members.first().offset, 5, "XXXXX");
    QTest::newRow("table of contents not pg_dump's") << foreignToc;

    // pg_restore --list reads a custom-format archive's contents fine when its data is cut.
    const QByteArray custom = readFile(customBackup);
    QVERIFY(custom.startsWith("PGDMP"));
    QTest::newRow("custom format cut in its data") << custom.left(custom.size() / 2);
    QTest::newRow("custom format cut just before the end") << custom.left(custom.size() - 10);
}

// Never drop the database for a file that cannot be restored, and never hang on one.
void BackupRestoreTest::unrestorableFileLeavesDatabaseUntouched()
{
    QFETCH(QByteArray, bytes);

    const QString file = work.filePath(u"rusak.dbk"_s);
    QFile::remove(file);
    if (!bytes.isNull()) {
        QVERIFY(writeFile(file, bytes));
    }
    const QString oid = cluster->databaseOid();
    const QElapsedTimer timer = startedTimer();
    const OperationOutcome outcome = runRestore(file);
    QVERIFY2(timer.elapsed() < hangLimitMs, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(outcome.status, OperationStatus::Failed);
    QCOMPARE(outcome.message, restoreFailed);
    QVERIFY(outcome.details.contains(u"tidak diubah"_s));
    QCOMPARE(outcome.cause,
             bytes.isNull() ? FailureCause::BackupNotReadable : FailureCause::DamagedBackup);
    QVERIFY(outcome.pendataanUnchanged);
    QCOMPARE(cluster->databaseOid(), oid);
    QCOMPARE(cluster->databaseFingerprint(), fingerprintAtBackup);
}

// Opening a FIFO for reading waits for a writer, for good if none comes.
void BackupRestoreTest::fifoIsRefusedAtOnce()
{
    const QString fifo = work.filePath(u"antrian.dbk"_s);
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString oid = cluster->databaseOid();
    const QElapsedTimer timer = startedTimer();
    const OperationOutcome outcome = runRestore(fifo);
    QVERIFY(timer.elapsed() < hangLimitMs);
    QCOMPARE(outcome.status, OperationStatus::Failed);
    QVERIFY2(outcome.details.contains(u"FIFO"_s), qPrintable(outcome.details));
    QCOMPARE(cluster->databaseOid(), oid);
}

void BackupRestoreTest::brokenInstallationTouchesNothing_data()
{
    QTest::addColumn<QByteArray>("portLine"); // PORT stands for the cluster's port
    QTest::addColumn<QStringList>("programs");
    QTest::addColumn<bool>("restoreTried");
    QTest::addColumn<QString>("backupReason"); // a word of the backup's failure details
    QTest::addColumn<FailureCause>("cause");   // as the operator is told it, by both

    const QString settings = u"DefDBPort"_s;
    // Nothing listens on port 1: a stopped server looks just like it.
    QTest::newRow("stopped server") << "DefDBPort=1"_ba << clientPrograms << true << u"psql"_s
                                    << FailureCause::ServerUnreachable;
    QTest::newRow("port not a number")
        << "DefDBPort=lima"_ba << clientPrograms << true << settings << FailureCause::InvalidPort;
    QTest::newRow("empty port") << "DefDBPort="_ba << clientPrograms << true << settings
                                << FailureCause::InvalidPort;
    QTest::newRow("no settings key") << "DefDBHost=localhost"_ba << clientPrograms << true
                                     << settings << FailureCause::SettingsMissing;
    // Pasted into the psql command lines, this would run the statement on the server.
    QTest::newRow("statement after the port")
        << "DefDBPort=PORT -c \"DROP DATABASE lain\""_ba << clientPrograms << true << settings
        << FailureCause::InvalidPort;
    QTest::newRow("psql missing") << "DefDBPort=PORT"_ba
                                  << QStringList{u"pg_dump"_s, u"pg_restore"_s} << true << u"psql"_s
                                  << FailureCause::ToolsMissing;
    // pg_dump succeeds, but its file cannot be checked: no backup is vouched for unchecked.
    QTest::newRow("pg_restore missing")
        << "DefDBPort=PORT"_ba << QStringList{u"pg_dump"_s, u"psql"_s} << true << QString()
        << FailureCause::ToolsMissing;
    QTest::newRow("pg_dump missing")
        << "DefDBPort=PORT"_ba << QStringList{u"psql"_s, u"pg_restore"_s} << false << QString()
        << FailureCause::ToolsMissing;
    QTest::newRow("backup folder missing") << "DefDBPort=PORT"_ba << clientPrograms << false
                                           << QString() << FailureCause::DirectoryNotWritable;
}

// A restore through an installation that cannot reach the server leaves every database as it
// was, and a backup through it fails too, says why, and leaves no file behind; nothing hangs.
void BackupRestoreTest::brokenInstallationTouchesNothing()
{
    QFETCH(QByteArray, portLine);
    QFETCH(QStringList, programs);
    QFETCH(bool, restoreTried);
    QFETCH(QString, backupReason);
    QFETCH(FailureCause, cause);

    QTemporaryDir install;
    QVERIFY(install.isValid());
    QVERIFY(cluster->makeInstallation(
        install.path(), portLine.replace("PORT", cluster->port.toLatin1()), programs));
    const QString oid = cluster->databaseOid();
    const CurrentDirectory inInstall(install.path());
    QElapsedTimer timer = startedTimer();
    if (restoreTried) {
        const OperationOutcome outcome = runRestore(goodBackup);
        QVERIFY(timer.elapsed() < hangLimitMs);
        QCOMPARE(outcome.status, OperationStatus::Failed);
        QCOMPARE(outcome.message, restoreFailed);
        QVERIFY(outcome.details.contains(u"tidak diubah"_s));
        QCOMPARE(outcome.cause, cause);
        QVERIFY(outcome.pendataanUnchanged);
        // Of these causes only the server's names a port: 1, the one it was looked for on.
        QCOMPARE(outcome.summary, ranupa::failureSummary(cause, u"1"_s, true));
        QCOMPARE(cluster->databaseOid(), oid);
        QCOMPARE(cluster->databaseFingerprint(), fingerprintAtBackup);
        QCOMPARE(cluster->databaseOid(u"lain"_s), otherOidAtStart);
    }

    const QString dir = work.filePath(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(cause == FailureCause::DirectoryNotWritable || QDir().mkpath(dir));
    timer.restart();
    const OperationOutcome backup = runBackup(dir);
    QVERIFY(timer.elapsed() < hangLimitMs);
    QCOMPARE(backup.status, OperationStatus::Failed);
    QCOMPARE(backup.message, backupFailed);
    // The server is looked at for an interrupted restore before the dump, and that fails.
    QVERIFY2(!backup.details.isEmpty() && backup.details.contains(backupReason),
             qPrintable(backup.details));
    QCOMPARE(backup.cause, cause);
    QVERIFY(!backup.pendataanUnchanged); // a backup never touches it: nothing to say
    QVERIFY(QDir(dir).isEmpty());
    QCOMPARE(cluster->databaseOid(u"lain"_s), otherOidAtStart);
}

// psql, pg_dump and pg_restore would wait for a password that never comes: they must fail.
void BackupRestoreTest::passwordServerFailsAtOnce()
{
    const std::optional<TestCluster> guarded =
        TestCluster::fromEnvironment("RANUPA_PASSWORD_CLUSTER_DIR");
    if (!guarded) {
        QSKIP("no password cluster");
    }
    const QString oid = guarded->databaseOid();
    QVERIFY(!oid.isEmpty());
    const CurrentDirectory inInstall(guarded->installDir);

    QElapsedTimer timer = startedTimer();
    const OperationOutcome restore = runRestore(goodBackup);
    QVERIFY(timer.elapsed() < hangLimitMs);
    QCOMPARE(restore.status, OperationStatus::Failed);
    QCOMPARE(restore.cause, FailureCause::PasswordRequired);
    QVERIFY(restore.pendataanUnchanged);
    QCOMPARE(guarded->databaseOid(), oid);

    const QString dir = madeFolder(work.filePath(u"password"_s));
    timer.restart();
    const OperationOutcome backup = runBackup(dir);
    QVERIFY(timer.elapsed() < hangLimitMs);
    QCOMPARE(backup.status, OperationStatus::Failed);
    QCOMPARE(backup.cause, FailureCause::PasswordRequired);
    QCOMPARE(filesIn(dir, u"*.dbk"_s), QStringList());
}

QTEST_GUILESS_MAIN(BackupRestoreTest)
#include "test_backup_restore.moc"
