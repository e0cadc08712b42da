// What a backup leaves in its folder, against the real throwaway cluster: one file, under a name
// no file had, and nothing at all when it fails or is cancelled; and how far it has come.
#include "core/ops/dump.h"
#include "core/ops/job.h"
#include "core/ops/retention.h"
#include "testcluster.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/resource.h>

using namespace Qt::StringLiterals;
using ranupa::FailureCause;
using ranupa::OperationOutcome;
using ranupa::OperationStatus;
using ranupa::runBackup;

namespace {

// A small tmpfs mounted for one test, read-only or of a given size; gone when it goes.
class ScratchMount final
{
    Q_DISABLE_COPY_MOVE(ScratchMount)

public:
    ScratchMount(const QString& dir, const QString& options) : path(dir)
    {
        QDir().mkpath(dir);
        mounted = QProcess::execute(u"mount"_s, {u"-t"_s, u"tmpfs"_s, u"-o"_s, options,
                                                 u"ranupa-test"_s, dir}) == 0;
    }
    ~ScratchMount()
    {
        if (mounted) {
            QProcess::execute(u"umount"_s, {path});
        }
    }
    bool isMounted() const { return mounted; }

private:
    QString path;
    bool mounted = false;
};

} // namespace

class BackupTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void progressCountsTablesAndBytes();
    void unwritableFolderFails_data();
    void unwritableFolderFails();
    void roomBeforeWriting_data();
    void roomBeforeWriting();
    void fileTooLargeForItsFileSystem();
    void existingBackupNamesAreNeverWrittenOver();
    void cancelEndsDumpAndRemovesPartialFile();

private:
    std::optional<TestCluster> cluster;
    QTemporaryDir work;
    QString fingerprint;
    qint64 backupSize = 0;
};

void BackupTest::initTestCase()
{
    cluster = TestCluster::fromEnvironment("RANUPA_CLUSTER_DIR");
    if (!cluster) {
        QSKIP("no throwaway cluster: run through ctest, which starts one");
    }
    QVERIFY(work.isValid());
    QVERIFY(QDir::setCurrent(cluster->installDir));
    fingerprint = cluster->databaseFingerprint();
    QVERIFY(!fingerprint.isEmpty());
    backupSize = QFileInfo(runBackup(madeFolder(work.filePath(u"good"_s))).filePath).size();
    QVERIFY(backupSize > 0);
}

void BackupTest::progressCountsTablesAndBytes()
{
    const QString dir = madeFolder(work.filePath(u"kemajuan"_s));
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

void BackupTest::unwritableFolderFails_data()
{
    QTest::addColumn<QString>("options"); // of the small tmpfs the folder is
    QTest::addColumn<FailureCause>("cause");
    // As root a directory without write permission is still writable: only a read-only file
    // system really refuses.
    QTest::newRow("read-only") << u"ro,size=1m"_s << FailureCause::DirectoryNotWritable;
    // Smaller than the database: stopped before anything is written, saying both figures.
    QTest::newRow("too small") << u"size=1m"_s << FailureCause::NotEnoughRoom;
}

void BackupTest::unwritableFolderFails()
{
    QFETCH(QString, options);
    QFETCH(FailureCause, cause);
    const QString dir = work.filePath(QString::fromLatin1(QTest::currentDataTag()));
    const ScratchMount mount(dir, options);
    if (!mount.isMounted()) {
        QSKIP("cannot mount a tmpfs here (needs root)");
    }
    const OperationOutcome outcome = runBackup(dir);
    QCOMPARE(outcome.status, OperationStatus::Failed);
    QCOMPARE(outcome.message, u"Gagal melakukan backup"_s);
    QCOMPARE(outcome.cause, cause);
    QVERIFY2(outcome.details.contains(dir), qPrintable(outcome.details));
    QVERIFY2(cause != FailureCause::NotEnoughRoom || outcome.summary.contains(u"hanya 1,0 MB"_s),
             qPrintable(outcome.summary));
    QCOMPARE(filesIn(dir), QStringList());
}

void BackupTest::roomBeforeWriting_data()
{
    QTest::addColumn<qint64>("database");
    QTest::addColumn<qint64>("available");
    QTest::addColumn<QByteArray>("fileSystem");
    QTest::addColumn<FailureCause>("cause"); // Unknown: room enough
    constexpr qint64 mib = 1024 * 1024;
    QTest::newRow("room with the margin")
        << 100 * mib << 170 * mib << "ext4"_ba << FailureCause::Unknown;
    QTest::newRow("the database fits, the margin not")
        << 100 * mib << 150 * mib << "ext4"_ba << FailureCause::NotEnoughRoom;
    QTest::newRow("large database, tenth as margin")
        << 2000 * mib << 2150 * mib << "ntfs"_ba << FailureCause::NotEnoughRoom;
    QTest::newRow("FAT32 holds a small one")
        << 100 * mib << 900 * mib << "vfat"_ba << FailureCause::Unknown;
    QTest::newRow("FAT32 and over 4 GiB")
        << 5000 * mib << 50000 * mib << "vfat"_ba << FailureCause::FileTooLarge;
    QTest::newRow("exFAT takes it")
        << 5000 * mib << 50000 * mib << "exfat"_ba << FailureCause::Unknown;
}

void BackupTest::roomBeforeWriting()
{
    QFETCH(qint64, database);
    QFETCH(qint64, available);
    QFETCH(QByteArray, fileSystem);
    QFETCH(FailureCause, cause);
    const std::optional<ranupa::Failure> problem =
        ranupa::roomProblem(database, available, fileSystem);
    QCOMPARE(problem ? problem->cause : FailureCause::Unknown, cause);
}

// A file system that takes no file as large as the backup (FAT32 and its 4 GiB, made small here
// with a file size limit on the program and its tools): "File too large", and no file left.
void BackupTest::fileTooLargeForItsFileSystem()
{
    const QString dir = madeFolder(work.filePath(u"batas"_s));
    QProcess program;
    const rlim_t limit = rlim_t(std::max<qint64>(backupSize / 2, 16 * 1024));
    program.setChildProcessModifier([limit] {
        ::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails with EFBIG instead
        const rlimit fileSize{limit, limit};
        ::setrlimit(RLIMIT_FSIZE, &fileSize);
    });
    cluster->startProgram(program, {u"--backup"_s, dir});
    const ProgramRun run = finishRun(program);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains(u"FAT32 hanya menampung file sampai 4 GB"_s), qPrintable(run.err));
    QCOMPARE(filesIn(dir), QStringList());
}

// Two backups of the same second: a file of the name a backup would take is never opened, let
// alone removed; the backup takes the next free second instead, never one ahead of the clock.
void BackupTest::existingBackupNamesAreNeverWrittenOver()
{
    const QString dir = madeFolder(work.filePath(u"sudah-ada"_s));
    const QDateTime now = QDateTime::currentDateTime();
    QMap<QString, QByteArray> existing;
    for (int second = 0; second < 3; ++second) {
        const QString path = ranupa::backupFilePath(dir, now.addSecs(second));
        existing.insert(path, "backup sebelumnya " + QByteArray::number(second));
        QVERIFY(writeFile(path, existing.value(path)));
    }
    const auto verifyUntouched = [&] {
        for (auto it = existing.cbegin(); it != existing.cend(); ++it) {
            QCOMPARE(readFile(it.key()), it.value());
        }
    };

    {
        // pg_dump writes a whole archive, but it cannot be checked: the backup fails.
        QTemporaryDir install;
        QVERIFY(install.isValid());
        QVERIFY(cluster->makeInstallation(install.path(), {}, {u"pg_dump"_s, u"psql"_s}));
        const CurrentDirectory inInstall(install.path());
        QCOMPARE(runBackup(dir).status, OperationStatus::Failed);
    }
    verifyUntouched();
    QCOMPARE(filesIn(dir).size(), existing.size());

    const OperationOutcome outcome = runBackup(dir);
    QCOMPARE(outcome.status, OperationStatus::Succeeded);
    verifyUntouched();
    QVERIFY(!existing.contains(outcome.filePath));
    const QDateTime taken = ranupa::backupTime(QFileInfo(outcome.filePath).fileName());
    QVERIFY(taken > ranupa::backupTime(QFileInfo(existing.lastKey()).fileName()) ||
            taken > now.addSecs(2));
    QVERIFY(taken <= QDateTime::currentDateTime());
    QCOMPARE(filesIn(dir).size(), existing.size() + 1);
}

// pg_dump waits for a lock that another session holds, so the cancel surely meets it running.
void BackupTest::cancelEndsDumpAndRemovesPartialFile()
{
    std::optional<TableLock> lock(std::in_place, *cluster, u"nilai"_s);
    QVERIFY(lock->isHeld());
    const auto dumps = [this](const QString& condition) {
        return cluster->sessions(u"application_name = 'pg_dump'"_s + condition);
    };
    const QString waiting = u" and wait_event_type = 'Lock'"_s;

    const QString dir = madeFolder(work.filePath(u"batal"_s));
    ranupa::OperationJob job;
    QSignalSpy done(&job, &ranupa::OperationJob::finished);
    bool waitShown = false;
    connect(&job, &ranupa::OperationJob::progressChanged, [&](const ranupa::ProgressMeasure& m) {
        waitShown = waitShown || (m.waiting && m.table == u"public.nilai"_s);
    });
    job.start(ranupa::BackupRequest{.targetDir = dir});
    QTRY_COMPARE_WITH_TIMEOUT(dumps(waiting), u"1"_s, 60'000);
    // The operator sees which table holds it up; the server is asked about once a second.
    QTRY_VERIFY_WITH_TIMEOUT(waitShown, 60'000);
    QCOMPARE(filesIn(dir, u"*.part"_s).size(), 1); // pg_dump writes under a partial name
    QCOMPARE(filesIn(dir, u"*.dbk"_s), QStringList());

    // The lock is still held: a dump left to run could never end, only the cancel ends the job.
    job.cancel();
    QVERIFY(done.wait(60'000));
    QCOMPARE(dumps(waiting), u"1"_s); // its server session waits on
    const auto outcome = done.first().first().value<OperationOutcome>();
    QCOMPARE(outcome.status, OperationStatus::Cancelled);
    QCOMPARE(outcome.message, u"Backup dibatalkan"_s);
    QVERIFY(QDir(dir).isEmpty());

    // A window closed mid-backup destroys its job: the dump ends and its file goes with it.
    const int waitingBefore = dumps(waiting).toInt();
    auto abandoned = std::make_unique<ranupa::OperationJob>();
    abandoned->start(ranupa::BackupRequest{.targetDir = dir});
    // The cancelled dump's server session waits on for the lock as well.
    QTRY_COMPARE_WITH_TIMEOUT(dumps(waiting).toInt(), waitingBefore + 1, 60'000);
    abandoned.reset();
    QVERIFY(QDir(dir).isEmpty());

    lock.reset();
    // The killed dump's server session ends once the lock is free; no dump runs on.
    QTRY_COMPARE_WITH_TIMEOUT(dumps({}), u"0"_s, 60'000);
    QCOMPARE(cluster->databaseFingerprint(), fingerprint);
}

QTEST_GUILESS_MAIN(BackupTest)
#include "test_backup.moc"
