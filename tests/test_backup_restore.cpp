// Backup and restore against the real throwaway clusters: what ends up in pendataan, what is
// left in the target directory, and that nothing hangs, whatever the input.
#include "core/model/names.h"
#include "core/ops/job.h"
#include "core/ops/retention.h"
#include "testcluster.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
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

// Runs the test body inside an installation directory and goes back afterwards.
class CurrentDirectory final
{
    Q_DISABLE_COPY_MOVE(CurrentDirectory)

public:
    explicit CurrentDirectory(const QString& dir) : previous(QDir::currentPath())
    {
        QDir::setCurrent(dir);
    }
    ~CurrentDirectory() { QDir::setCurrent(previous); }

private:
    QString previous;
};

// A scratch installation of the school-data application: its settings file with the given
// port line and links to the chosen client programs.
bool makeInstallation(const QString& dir, const QByteArray& portLine, const QString& binDir,
                      const QStringList& programs)
{
    QDir root(dir);
    if (!root.mkpath(u"config"_s) || !root.mkpath(u"pgsql/bin"_s)) {
        return false;
    }
    QFile ini(root.filePath(u"config/install.ini"_s));
    if (!ini.open(QIODevice::WriteOnly)) {
        return false;
    }
    ini.write("[Database]\r\n" + portLine + "\r\nDefDBName=pendataan\r\n");
    ini.close();
    for (const QString& program : programs) {
        if (!QFile::link(binDir + u'/' + program, root.filePath(u"pgsql/bin/"_s + program))) {
            return false;
        }
    }
    return true;
}

const QStringList allPrograms{u"pg_dump"_s, u"psql"_s, u"pg_restore"_s};

QStringList backupFilesIn(const QString& dir)
{
    return QDir(dir).entryList({u"*.dbk"_s}, QDir::Files | QDir::Hidden);
}

QStringList partialFilesIn(const QString& dir)
{
    return QDir(dir).entryList({u"*.part"_s}, QDir::Files | QDir::Hidden);
}

bool runAsRoot(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(30'000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

// A small tmpfs mounted for one test, read-only or of a given size; gone when it goes.
class ScratchMount final
{
    Q_DISABLE_COPY_MOVE(ScratchMount)

public:
    ScratchMount(const QString& dir, const QString& options) : path(dir)
    {
        QDir().mkpath(dir);
        mounted =
            runAsRoot(u"mount"_s, {u"-t"_s, u"tmpfs"_s, u"-o"_s, options, u"ranupa-test"_s, dir});
    }
    ~ScratchMount()
    {
        if (mounted) {
            runAsRoot(u"umount"_s, {path});
        }
    }
    bool isMounted() const { return mounted; }

private:
    QString path;
    bool mounted = false;
};

// Bytes of a tar archive: the offset of each member's header and its size, in order.
struct TarMember
{
    QByteArray name;
    qint64 headerOffset = 0;
    qint64 size = 0;
};

QList<TarMember> tarMembers(const QByteArray& archive)
{
    QList<TarMember> members;
    qint64 offset = 0;
    while (offset + 512 <= archive.size() && archive.at(offset) != '\0') {
        TarMember member;
        member.name = archive.mid(offset, 100);
        member.name.truncate(member.name.indexOf('\0'));
        member.headerOffset = offset;
        member.size = archive.mid(offset + 124, 12).trimmed().toLongLong(nullptr, 8);
        members << member;
        offset += 512 + (member.size + 511) / 512 * 512;
    }
    return members;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class BackupRestoreTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void emptyFieldsSkipAndFinishLater();
    void roundTripBringsBackStateOfBackup();
    void backupProgressCountsTablesAndBytes();
    void restoreWithoutExistingDatabase();
    void restoreCutsOffConnectedSession();
    void customFormatBackupRestores();
    void fileChangedAtTheQuestion_data();
    void fileChangedAtTheQuestion();
    void awkwardPathsRoundTrip_data();
    void awkwardPathsRoundTrip();

    void unrestorableFileLeavesDatabaseUntouched_data();
    void unrestorableFileLeavesDatabaseUntouched();
    void fifoIsRefusedAtOnce();
    void relativeDirectoryStartingWithDash();
    void unreachableServerLeavesDatabaseUntouched_data();
    void unreachableServerLeavesDatabaseUntouched();
    void passwordServerFailsAtOnce();

    void failedBackupLeavesNoFile_data();
    void failedBackupLeavesNoFile();
    void backupToReadOnlyDirectoryFails();
    void backupOntoFullDiskRemovesPartialFile();
    void existingBackupNamesAreNeverWrittenOver();
    void cancelEndsDumpAndRemovesPartialFile();

private:
    QString databaseOid() const;
    QString otherDatabaseOid() const;
    void damageDatabase() const;
    OperationOutcome timedRestore(const QString& file) const;

    std::optional<TestCluster> cluster;
    QTemporaryDir work;
    QString goodBackup;
    QString customBackup;
    QString fingerprintAtBackup;
    QString otherOidAtStart; // of a database the restore must never touch
};

QString BackupRestoreTest::databaseOid() const
{
    return cluster->psql(u"select oid from pg_database where datname = 'pendataan'"_s,
                         u"postgres"_s);
}

QString BackupRestoreTest::otherDatabaseOid() const
{
    return cluster->psql(u"select oid from pg_database where datname = 'lain'"_s, u"postgres"_s);
}

// Changes rows, a sequence, a large object and the schema, so that a restore has work to do.
void BackupRestoreTest::damageDatabase() const
{
    QVERIFY(!cluster
                 ->psql(u"update peserta_didik set nama = 'RUSAK' where peserta_didik_id % 3 = 0; "
                        u"delete from nilai where random() < 0.5; "
                        u"select nextval('nomor_induk_seq'); "
                        u"select lo_unlink(logo) from sekolah where logo is not null; "
                        u"create table sampah (x int); drop table mata_pelajaran cascade"_s)
                 .isNull());
    QVERIFY(cluster->databaseFingerprint() != fingerprintAtBackup);
}

OperationOutcome BackupRestoreTest::timedRestore(const QString& file) const
{
    QElapsedTimer timer;
    timer.start();
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
    QVERIFY(QDir::setCurrent(cluster->installDir));

    if (otherDatabaseOid().isEmpty()) {
        QVERIFY(!cluster->psql(u"create database lain"_s, u"postgres"_s).isNull());
    }
    otherOidAtStart = otherDatabaseOid();
    QVERIFY(!otherOidAtStart.isEmpty());
    fingerprintAtBackup = cluster->databaseFingerprint();
    QVERIFY(!fingerprintAtBackup.isEmpty());
    const QString dir = work.filePath(u"good"_s);
    QVERIFY(QDir().mkpath(dir));
    const OperationOutcome outcome = runBackup(dir);
    QCOMPARE(outcome.status, OperationStatus::Succeeded);
    goodBackup = outcome.filePath;
    QCOMPARE(outcome.message, u"Database ranupaku berhasil disimpan ke "_s + goodBackup);
    QCOMPARE(backupFilesIn(dir), QStringList{QFileInfo(goodBackup).fileName()});

    // The other single-file format pg_restore knows, as pg_dump -Fc writes it.
    customBackup = work.filePath(u"custom.dbk"_s);
    QProcess dump;
    dump.setProcessEnvironment(cluster->clientEnvironment());
    dump.start(cluster->binDir + u"/pg_dump"_s,
               {u"-h"_s, cluster->socketDir, u"-p"_s, cluster->port, u"-U"_s, u"postgres"_s,
                u"-Fc"_s, u"-b"_s, u"-f"_s, customBackup, u"pendataan"_s});
    QVERIFY(dump.waitForFinished(60'000));
    QCOMPARE(dump.exitCode(), 0);
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
    const QString oid = databaseOid();
    ranupa::BackupJob backup;
    QSignalSpy backupDone(&backup, &ranupa::BackupJob::finished);
    backup.start({});
    QCOMPARE(backupDone.count(), 0); // never from inside start()
    QVERIFY(backupDone.wait(5'000));
    QCOMPARE(backupDone.first().first().value<OperationOutcome>().status, OperationStatus::Skipped);

    ranupa::RestoreJob restore;
    QSignalSpy restoreDone(&restore, &ranupa::RestoreJob::finished);
    restore.start({});
    QCOMPARE(restoreDone.count(), 0);
    QVERIFY(restoreDone.wait(5'000));
    const auto outcome = restoreDone.first().first().value<OperationOutcome>();
    QCOMPARE(outcome.status, OperationStatus::Skipped);
    QVERIFY(outcome.message.isEmpty());
    QCOMPARE(databaseOid(), oid);
}

void BackupRestoreTest::roundTripBringsBackStateOfBackup()
{
    damageDatabase();
    QStringList steps;
    int toolLines = 0;
    QList<ranupa::ProgressMeasure> measures;
    const OperationOutcome outcome =
        runRestore(goodBackup, {.stepChanged = [&](const QString& step) { steps << step; },
                                .toolLine = [&](const QString&) { ++toolLines; },
                                .measured =
                                    [&](const ranupa::ProgressMeasure& measure) {
                                        measures << measure;
                                    }});
    QCOMPARE(outcome.status, OperationStatus::Succeeded);
    QCOMPARE(outcome.message, u"Restore database berhasil"_s);
    QCOMPARE(steps,
             (QStringList{u"Menghubungi server database..."_s, u"Memeriksa database di server..."_s,
                          u"Memeriksa file backup..."_s, u"Memeriksa server..."_s,
                          u"Membuat database baru..."_s, u"Memuat data dari file backup..."_s,
                          u"Menyelesaikan restore..."_s, u"Menghapus database lama..."_s}));
    QVERIFY(toolLines > 0);
    // The bar follows the file as pg_restore reads it, to its end; the entries loaded are counted.
    QVERIFY(measures.size() > 2);
    QCOMPARE(measures.first().percent(), 0);
    QCOMPARE(measures.last().total, QFileInfo(goodBackup).size());
    QCOMPARE(measures.last().percent(), 100);
    QVERIFY(measures.last().itemsLoaded > 10);
    QCOMPARE(cluster->databaseFingerprint(), fingerprintAtBackup);
    // The previous database is gone once the new one is complete: no copy is left taking room.
    QCOMPARE(cluster->psql(u"select count(*) from pg_database where datname like 'ranupa%'"_s,
                           u"postgres"_s),
             u"0"_s);
}

void BackupRestoreTest::backupProgressCountsTablesAndBytes()
{
    const QString dir = work.filePath(u"kemajuan"_s);
    QVERIFY(QDir().mkpath(dir));
    QList<ranupa::ProgressMeasure> measures;
    const OperationOutcome outcome =
        runBackup(dir, {.measured = [&](const ranupa::ProgressMeasure& measure) {
                      measures << measure;
                  }});
    QCOMPARE(outcome.status, OperationStatus::Succeeded);
    QVERIFY(!measures.isEmpty());
    const int tables =
        cluster->psql(u"select count(*) from pg_tables where schemaname = 'public'"_s).toInt();
    QVERIFY(tables > 1);
    for (qsizetype i = 1; i < measures.size(); ++i) {
        QVERIFY(measures[i].percent() >= measures[i - 1].percent());
        QVERIFY(measures[i].bytesWritten >= measures[i - 1].bytesWritten);
    }
    QCOMPARE(measures.last().total, tables);
    QCOMPARE(measures.last().done, tables);
    QCOMPARE(measures.last().bytesWritten, QFileInfo(outcome.filePath).size());
}

// The first restore on a server that has no pendataan yet: the drop fails, and that is fine.
void BackupRestoreTest::restoreWithoutExistingDatabase()
{
    QVERIFY(!cluster->psql(u"drop database pendataan"_s, u"postgres"_s).isNull());
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
    QTRY_COMPARE_WITH_TIMEOUT(
        cluster->psql(u"select count(*) from pg_stat_activity where datname = 'pendataan' "
                      u"and application_name = 'ranupa_uji_tidur' and state = 'active'"_s),
        u"1"_s, 20'000);

    damageDatabase();
    const OperationOutcome outcome = timedRestore(goodBackup);
    QCOMPARE(outcome.status, OperationStatus::Succeeded);
    QTRY_COMPARE_WITH_TIMEOUT(session.state(), QProcess::NotRunning, 10'000);
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

void BackupRestoreTest::fileChangedAtTheQuestion_data()
{
    QTest::addColumn<bool>("inPlace");
    QTest::newRow("another file renamed over it") << false;
    QTest::newRow("written in place") << true;
}

// The file that was checked and shown is the file that is loaded: one renamed over it while the
// operator reads the question is never read, and one written over in place is refused.
void BackupRestoreTest::fileChangedAtTheQuestion()
{
    QFETCH(bool, inPlace);
    const QString chosen = work.filePath(u"dipilih.dbk"_s);
    QVERIFY(QFile::copy(goodBackup, chosen));
    damageDatabase();
    const QString damaged = runBackup(work.path()).filePath;
    QVERIFY(QFile::exists(damaged));

    ranupa::RestoreJob job;
    job.setAskBeforeReplacing(true);
    connect(&job, &ranupa::RestoreJob::confirmationNeeded, this, [&] {
        QFile file(chosen);
        if (inPlace) {
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(60),
                                     QFileDevice::FileModificationTime));
        } else {
            QVERIFY(file.remove() && QFile::rename(damaged, chosen));
        }
        job.proceed();
    });
    const OperationOutcome outcome = ranupa::runToEnd(job, chosen, {});
    QFile::remove(chosen);
    QFile::remove(damaged);
    if (inPlace) {
        QCOMPARE(outcome.cause, ranupa::FailureCause::BackupChanged);
        QVERIFY(outcome.pendataanUnchanged);
        QVERIFY(cluster->databaseFingerprint() != fingerprintAtBackup);
        QCOMPARE(runRestore(goodBackup).status, OperationStatus::Succeeded);
    } else {
        QCOMPARE(outcome.status, OperationStatus::Succeeded);
    }
    QCOMPARE(cluster->databaseFingerprint(), fingerprintAtBackup);
}

void BackupRestoreTest::awkwardPathsRoundTrip_data()
{
    QTest::addColumn<QString>("dirName");

    QTest::newRow("spaces") << u"Cadangan Data Sekolah"_s;
    QTest::newRow("non-ASCII") << u"Çadangan ñoño 数据"_s;
    QTest::newRow("double quotes") << u"a\" --clean \"b"_s;
    QTest::newRow("backslash before quote") << u"x\\\"y\\"_s;
}

// The program's own backup, then its restore, from a directory with an awkward name.
void BackupRestoreTest::awkwardPathsRoundTrip()
{
    QFETCH(QString, dirName);

    const QString dir = work.filePath(dirName);
    QVERIFY(QDir().mkpath(dir));
    const OperationOutcome backup = runBackup(dir);
    QCOMPARE(backup.status, OperationStatus::Succeeded);
    QCOMPARE(QFileInfo(backup.filePath).absolutePath(), QFileInfo(dir).absoluteFilePath());
    QCOMPARE(backup.message, u"Database ranupaku berhasil disimpan ke "_s + backup.filePath);
    QVERIFY(QFile::exists(backup.filePath));

    damageDatabase();
    const OperationOutcome restore = timedRestore(backup.filePath);
    QCOMPARE(restore.status, OperationStatus::Succeeded);
    QCOMPARE(cluster->databaseFingerprint(), fingerprintAtBackup);
}

void BackupRestoreTest::unrestorableFileLeavesDatabaseUntouched_data()
{
    QTest::addColumn<QByteArray>("bytes"); // null: no file at all

    const QByteArray good = readAll(goodBackup);
    QVERIFY(!good.isEmpty());
    const QList<TarMember> members = tarMembers(good);
    QVERIFY(members.size() > 3);
    QCOMPARE(members.first().name, "toc.dat"_ba);
    auto largest = std::max_element(members.begin(), members.end(),
                                    [](const auto& a, const auto& b) { return a.size < b.size; });

    QTest::newRow("missing file") << QByteArray();
    QTest::newRow("empty file") << ""_ba;
    QTest::newRow("not an archive") << QByteArray("Daftar nilai semester ganjil\n").repeated(500);
    QTest::newRow("cut inside the table of contents")
        << good.left(members.first().headerOffset + 512 + members.first().size / 2);
    QTest::newRow("cut inside a table's data")
        << good.left(largest->headerOffset + 512 + largest->size / 2);
    QTest::newRow("cut after the last member") << good.left(good.size() - 1024);
    QTest::newRow("cut just before the end") << good.left(good.size() - 1);

    // pg_restore --list reads only the table of contents: the data it names must be there.
    QTest::newRow("later members lost")
        << good.left(members.at(2).headerOffset) + QByteArray(1024, '\0');
    QByteArray zeroFilled = good.left(largest->headerOffset + 512 + largest->size / 2);
    zeroFilled.append(QByteArray(good.size() - zeroFilled.size(), '\0'));
    QTest::newRow("cut and zero-filled to its size") << zeroFilled;

    QByteArray corrupted = good;
    corrupted[members.at(2).headerOffset + 1] ^= 0x20;
    QTest::newRow("corrupted header") << corrupted;

    QByteArray foreignToc = good;
    // A well-formed tar whose table of contents is not pg_dump's.
    foreignToc.replace(members.first().headerOffset + 512, 5, "XXXXX");
    QTest::newRow("table of contents not pg_dump's") << foreignToc;

    // pg_restore --list reads a custom-format archive's contents fine when its data is cut.
    const QByteArray custom = readAll(customBackup);
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
    const QString oid = databaseOid();
    QElapsedTimer timer;
    timer.start();
    const OperationOutcome outcome = runRestore(file);
    QVERIFY2(timer.elapsed() < hangLimitMs, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(outcome.status, OperationStatus::Failed);
    QCOMPARE(outcome.message, restoreFailed);
    QVERIFY(outcome.details.contains(u"tidak diubah"_s));
    QCOMPARE(outcome.cause,
             bytes.isNull() ? FailureCause::BackupNotReadable : FailureCause::DamagedBackup);
    QVERIFY(outcome.pendataanUnchanged);
    QCOMPARE(databaseOid(), oid);
    QCOMPARE(cluster->databaseFingerprint(), fingerprintAtBackup);
}

// Opening a FIFO for reading waits for a writer, for good if none comes.
void BackupRestoreTest::fifoIsRefusedAtOnce()
{
    const QString fifo = work.filePath(u"antrian.dbk"_s);
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString oid = databaseOid();
    QElapsedTimer timer;
    timer.start();
    const OperationOutcome outcome = runRestore(fifo);
    QVERIFY(timer.elapsed() < 5'000);
    QCOMPARE(outcome.status, OperationStatus::Failed);
    QVERIFY2(outcome.details.contains(u"FIFO"_s), qPrintable(outcome.details));
    QCOMPARE(databaseOid(), oid);
}

// Relative to the working directory, and read by no tool as an option.
void BackupRestoreTest::relativeDirectoryStartingWithDash()
{
    const QString relative = u"-cadangan"_s;
    QDir install(cluster->installDir);
    QVERIFY(install.mkpath(relative));
    auto removeDir = qScopeGuard([&] { QDir(install.filePath(relative)).removeRecursively(); });

    const OperationOutcome backup = runBackup(relative);
    QCOMPARE(backup.status, OperationStatus::Succeeded);
    QCOMPARE(QFileInfo(backup.filePath).absolutePath(), install.filePath(relative));
    QCOMPARE(backupFilesIn(install.filePath(relative)).size(), 1);

    damageDatabase();
    const OperationOutcome restore =
        timedRestore(relative + u'/' + QFileInfo(backup.filePath).fileName());
    QCOMPARE(restore.status, OperationStatus::Succeeded);
    QCOMPARE(cluster->databaseFingerprint(), fingerprintAtBackup);
}

void BackupRestoreTest::unreachableServerLeavesDatabaseUntouched_data()
{
    QTest::addColumn<QByteArray>("portLine"); // PORT stands for the cluster's port
    QTest::addColumn<QStringList>("programs");
    QTest::addColumn<QString>("backupReason"); // a word of the backup's failure details
    QTest::addColumn<FailureCause>("cause");   // as the operator is told it, by both

    const QString settings = u"DefDBPort"_s;
    // Nothing listens on port 1: a stopped server looks just like it.
    QTest::newRow("stopped server")
        << "DefDBPort=1"_ba << allPrograms << u"psql"_s << FailureCause::ServerUnreachable;
    QTest::newRow("port not a number")
        << "DefDBPort=lima"_ba << allPrograms << settings << FailureCause::InvalidPort;
    QTest::newRow("empty port") << "DefDBPort="_ba << allPrograms << settings
                                << FailureCause::InvalidPort;
    QTest::newRow("no settings key")
        << "DefDBHost=localhost"_ba << allPrograms << settings << FailureCause::SettingsMissing;
    // Pasted into the psql command lines, this would run the statement on the server.
    QTest::newRow("statement after the port")
        << "DefDBPort=PORT -c \"DROP DATABASE lain\""_ba << allPrograms << settings
        << FailureCause::InvalidPort;
    QTest::newRow("psql missing") << "DefDBPort=PORT"_ba
                                  << QStringList{u"pg_dump"_s, u"pg_restore"_s} << u"psql"_s
                                  << FailureCause::ToolsMissing;
    QTest::newRow("pg_restore missing")
        << "DefDBPort=PORT"_ba << QStringList{u"pg_dump"_s, u"psql"_s} << QString()
        << FailureCause::ToolsMissing;
}

void BackupRestoreTest::unreachableServerLeavesDatabaseUntouched()
{
    QFETCH(QByteArray, portLine);
    QFETCH(QStringList, programs);
    QFETCH(QString, backupReason);
    QFETCH(FailureCause, cause);

    QTemporaryDir install;
    QVERIFY(install.isValid());
    const QByteArray line = QByteArray(portLine).replace("PORT", cluster->port.toLatin1());
    QVERIFY(makeInstallation(install.path(), line, cluster->binDir, programs));
    const QString oid = databaseOid();

    OperationOutcome outcome;
    QElapsedTimer timer;
    timer.start();
    {
        CurrentDirectory inInstall(install.path());
        outcome = runRestore(goodBackup);
    }
    QVERIFY(timer.elapsed() < hangLimitMs);
    QCOMPARE(outcome.status, OperationStatus::Failed);
    QCOMPARE(outcome.message, restoreFailed);
    QVERIFY(outcome.details.contains(u"tidak diubah"_s));
    QCOMPARE(outcome.cause, cause);
    QVERIFY(outcome.pendataanUnchanged);
    // Of these causes only the server's names a port: 1, the one it was looked for on.
    QCOMPARE(outcome.summary, ranupa::failureSummary(cause, u"1"_s, true));
    QCOMPARE(databaseOid(), oid);
    QCOMPARE(cluster->databaseFingerprint(), fingerprintAtBackup);
    QCOMPARE(otherDatabaseOid(), otherOidAtStart);

    // A backup through the same installation fails too, says why, and leaves no file behind.
    if (!backupReason.isEmpty()) {
        const QString dir = work.filePath(u"unreachable"_s);
        QVERIFY(QDir().mkpath(dir));
        CurrentDirectory inInstall(install.path());
        const OperationOutcome backup = runBackup(dir);
        QCOMPARE(backup.status, OperationStatus::Failed);
        QCOMPARE(backup.message, backupFailed);
        // The server is looked at for an interrupted restore before the dump, and that fails.
        QVERIFY2(backup.details.contains(backupReason), qPrintable(backup.details));
        QCOMPARE(backup.cause, cause);
        QVERIFY(!backup.pendataanUnchanged); // a backup never touches it: nothing to say
        QVERIFY(QDir(dir).isEmpty());
        QCOMPARE(otherDatabaseOid(), otherOidAtStart);
    }
}

// psql, pg_dump and pg_restore would wait for a password that never comes: they must fail.
void BackupRestoreTest::passwordServerFailsAtOnce()
{
    const std::optional<TestCluster> guarded =
        TestCluster::fromEnvironment("RANUPA_PASSWORD_CLUSTER_DIR");
    if (!guarded) {
        QSKIP("no password cluster");
    }
    const auto guardedOid = [&] {
        return guarded->psql(u"select oid from pg_database where datname = 'pendataan'"_s,
                             u"postgres"_s);
    };
    const QString oid = guardedOid();
    QVERIFY(!oid.isEmpty());
    CurrentDirectory inInstall(guarded->installDir);

    QElapsedTimer timer;
    timer.start();
    const OperationOutcome restore = runRestore(goodBackup);
    QVERIFY(timer.elapsed() < 30'000);
    QCOMPARE(restore.status, OperationStatus::Failed);
    QCOMPARE(restore.cause, FailureCause::PasswordRequired);
    QVERIFY(restore.pendataanUnchanged);
    QCOMPARE(guardedOid(), oid);

    const QString dir = work.filePath(u"password"_s);
    QVERIFY(QDir().mkpath(dir));
    timer.restart();
    const OperationOutcome backup = runBackup(dir);
    QVERIFY(timer.elapsed() < 30'000);
    QCOMPARE(backup.status, OperationStatus::Failed);
    QCOMPARE(backup.cause, FailureCause::PasswordRequired);
    QCOMPARE(backupFilesIn(dir), QStringList());
}

void BackupRestoreTest::failedBackupLeavesNoFile_data()
{
    QTest::addColumn<QString>("targetDir");
    QTest::addColumn<QByteArray>("portLine"); // null: the cluster's own port
    QTest::addColumn<QStringList>("programs");
    QTest::addColumn<FailureCause>("cause");

    QTest::newRow("directory missing")
        << u"tidak-ada/sub"_s << QByteArray() << allPrograms << FailureCause::DirectoryNotWritable;
    QTest::newRow("pg_dump missing")
        << u"tanpa-pg_dump"_s << QByteArray() << QStringList{u"psql"_s, u"pg_restore"_s}
        << FailureCause::ToolsMissing;
    QTest::newRow("wrong port") << u"port-salah"_s << "DefDBPort=1"_ba << allPrograms
                                << FailureCause::ServerUnreachable;
    QTest::newRow("empty port") << u"port-kosong"_s << "DefDBPort="_ba << allPrograms
                                << FailureCause::InvalidPort;
    // pg_dump succeeds, but its file cannot be checked: no backup is vouched for unchecked.
    QTest::newRow("pg_restore missing for the check")
        << u"tanpa-pemeriksaan"_s << QByteArray() << QStringList{u"pg_dump"_s, u"psql"_s}
        << FailureCause::ToolsMissing;
}

void BackupRestoreTest::failedBackupLeavesNoFile()
{
    QFETCH(QString, targetDir);
    QFETCH(QByteArray, portLine);
    QFETCH(QStringList, programs);
    QFETCH(FailureCause, cause);

    QTemporaryDir install;
    QVERIFY(install.isValid());
    const QByteArray line = portLine.isNull() ? "DefDBPort=" + cluster->port.toLatin1() : portLine;
    QVERIFY(makeInstallation(install.path(), line, cluster->binDir, programs));
    const QString dir = work.filePath(targetDir);
    if (!targetDir.contains(u"tidak-ada"_s)) {
        QVERIFY(QDir().mkpath(dir));
    }

    CurrentDirectory inInstall(install.path());
    QElapsedTimer timer;
    timer.start();
    const OperationOutcome outcome = runBackup(dir);
    QVERIFY(timer.elapsed() < hangLimitMs);
    QCOMPARE(outcome.status, OperationStatus::Failed);
    QCOMPARE(outcome.message, backupFailed);
    QVERIFY(!outcome.details.isEmpty());
    QCOMPARE(outcome.cause, cause);
    QCOMPARE(backupFilesIn(dir), QStringList());
}

void BackupRestoreTest::backupToReadOnlyDirectoryFails()
{
    // As root a directory without write permission is still writable: only a read-only file
    // system really refuses.
    const QString dir = work.filePath(u"readonly"_s);
    const ScratchMount mount(dir, u"ro,size=1m"_s);
    if (!mount.isMounted()) {
        QSKIP("cannot mount a read-only tmpfs here (needs root)");
    }
    const OperationOutcome outcome = runBackup(dir);
    QCOMPARE(outcome.status, OperationStatus::Failed);
    QCOMPARE(outcome.message, backupFailed);
    QVERIFY(outcome.details.contains(dir));
    QCOMPARE(outcome.cause, FailureCause::DirectoryNotWritable);
}

void BackupRestoreTest::backupOntoFullDiskRemovesPartialFile()
{
    const qint64 half = QFileInfo(goodBackup).size() / 2;
    const QString dir = work.filePath(u"penuh"_s);
    const ScratchMount mount(dir, u"size=%1k"_s.arg(qMax<qint64>(half / 1024, 16)));
    if (!mount.isMounted()) {
        QSKIP("cannot mount a small tmpfs here (needs root)");
    }
    const OperationOutcome outcome = runBackup(dir);
    QCOMPARE(outcome.status, OperationStatus::Failed);
    QCOMPARE(outcome.message, backupFailed);
    QCOMPARE(outcome.cause, FailureCause::DiskFull);
    QCOMPARE(backupFilesIn(dir), QStringList());
}

// Two backups of the same second: a file of the name a backup would take is never opened, let
// alone removed; the backup takes the next free second instead, never one ahead of the clock.
void BackupRestoreTest::existingBackupNamesAreNeverWrittenOver()
{
    const QString dir = work.filePath(u"sudah-ada"_s);
    QVERIFY(QDir().mkpath(dir));
    const QDateTime now = QDateTime::currentDateTime();
    QMap<QString, QByteArray> existing;
    for (int second = 0; second < 3; ++second) {
        const QString path = ranupa::backupFilePath(dir, now.addSecs(second));
        existing.insert(path, "backup sebelumnya " + QByteArray::number(second));
        QVERIFY(writeFile(path, existing.value(path)));
    }
    const auto verifyUntouched = [&] {
        for (auto it = existing.cbegin(); it != existing.cend(); ++it) {
            QCOMPARE(readAll(it.key()), it.value());
        }
    };

    {
        // pg_dump writes a whole archive, but it cannot be checked: the backup fails.
        QTemporaryDir install;
        QVERIFY(install.isValid());
        QVERIFY(makeInstallation(install.path(), "DefDBPort=" + cluster->port.toLatin1(),
                                 cluster->binDir, {u"pg_dump"_s, u"psql"_s}));
        CurrentDirectory inInstall(install.path());
        QCOMPARE(runBackup(dir).status, OperationStatus::Failed);
    }
    verifyUntouched();
    QCOMPARE(QDir(dir).entryList(QDir::Files).size(), existing.size());

    const OperationOutcome outcome = runBackup(dir);
    QCOMPARE(outcome.status, OperationStatus::Succeeded);
    verifyUntouched();
    QVERIFY(!existing.contains(outcome.filePath));
    const QDateTime taken = ranupa::backupTime(QFileInfo(outcome.filePath).fileName());
    QVERIFY(taken > ranupa::backupTime(QFileInfo(existing.lastKey()).fileName()) ||
            taken > now.addSecs(2));
    QVERIFY(taken <= QDateTime::currentDateTime());
    QCOMPARE(QDir(dir).entryList(QDir::Files).size(), existing.size() + 1);
}

// pg_dump waits for a lock that another session holds, so the cancel surely meets it running.
void BackupRestoreTest::cancelEndsDumpAndRemovesPartialFile()
{
    QProcess locker;
    locker.setProcessEnvironment(cluster->clientEnvironment());
    locker.start(cluster->binDir + u"/psql"_s,
                 {u"-X"_s, u"-q"_s, u"-A"_s, u"-t"_s, u"-h"_s, cluster->socketDir, u"-p"_s,
                  cluster->port, u"-U"_s, u"postgres"_s, u"-d"_s, u"pendataan"_s});
    QVERIFY(locker.waitForStarted());
    locker.write("begin; lock table nilai in access exclusive mode; select 'terkunci';\n");
    QVERIFY(locker.waitForBytesWritten(10'000));
    QByteArray answer;
    while (!answer.contains("terkunci") && locker.waitForReadyRead(20'000)) {
        answer += locker.readAllStandardOutput();
    }
    QVERIFY2(answer.contains("terkunci"), answer.constData());

    const QString dir = work.filePath(u"batal"_s);
    QVERIFY(QDir().mkpath(dir));
    ranupa::BackupJob job;
    QSignalSpy done(&job, &ranupa::BackupJob::finished);
    bool waitShown = false;
    connect(&job, &ranupa::BackupJob::progressChanged, [&](const ranupa::ProgressMeasure& m) {
        waitShown = waitShown || (m.waiting && m.table == u"public.nilai"_s);
    });
    job.start(dir);
    QTRY_COMPARE_WITH_TIMEOUT(
        cluster->psql(u"select count(*) from pg_stat_activity where application_name = "
                      u"'pg_dump' and wait_event_type = 'Lock'"_s),
        u"1"_s, 30'000);
    QTRY_VERIFY_WITH_TIMEOUT(waitShown, 5'000); // the operator sees which table holds it up
    QCOMPARE(partialFilesIn(dir).size(), 1);    // pg_dump writes under a partial name
    QCOMPARE(backupFilesIn(dir), QStringList());

    QElapsedTimer timer;
    timer.start();
    job.cancel();
    QVERIFY(done.wait(10'000));
    QVERIFY(timer.elapsed() < 10'000);
    const auto outcome = done.first().first().value<OperationOutcome>();
    QCOMPARE(outcome.status, OperationStatus::Cancelled);
    QCOMPARE(outcome.message, u"Backup dibatalkan"_s);
    QVERIFY(QDir(dir).isEmpty());

    // A window closed mid-backup destroys its job: the dump ends and its file goes with it.
    const auto dumpsWaiting = [this] {
        return cluster
            ->psql(u"select count(*) from pg_stat_activity where application_name = 'pg_dump' "
                   u"and wait_event_type = 'Lock'"_s)
            .toInt();
    };
    const int waitingBefore = dumpsWaiting();
    auto abandoned = std::make_unique<ranupa::BackupJob>();
    abandoned->start(dir);
    // The cancelled dump's server session waits on for the lock as well.
    QTRY_COMPARE_WITH_TIMEOUT(dumpsWaiting(), waitingBefore + 1, 30'000);
    abandoned.reset();
    QVERIFY(QDir(dir).isEmpty());

    locker.closeWriteChannel();
    QVERIFY(locker.waitForFinished(10'000));
    // The killed dump's server session ends once the lock is free; no dump runs on.
    QTRY_COMPARE_WITH_TIMEOUT(
        cluster->psql(
            u"select count(*) from pg_stat_activity where application_name = 'pg_dump'"_s),
        u"0"_s, 20'000);
    QCOMPARE(cluster->databaseFingerprint(), fingerprintAtBackup);
}

QTEST_GUILESS_MAIN(BackupRestoreTest)
#include "test_backup_restore.moc"
