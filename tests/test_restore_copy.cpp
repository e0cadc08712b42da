// The file a restore reads, against the real throwaway cluster: the file that was checked is the
// file that is loaded, from a private copy of its members loaded in parallel or, where the temp
// folder has no room for one or it cannot be written, streamed from the file as before.
#include "core/ops/job.h"
#include "testcluster.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using ranupa::OperationOutcome;
using ranupa::OperationStatus;
using ranupa::runBackup;
using ranupa::runRestore;

class RestoreCopyTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void fileChangedAtTheQuestion_data();
    void fileChangedAtTheQuestion();
    void restoreWithoutACopy_data();
    void restoreWithoutACopy();

private:
    void damageDatabase() const;

    std::optional<TestCluster> cluster;
    QTemporaryDir work;
    QString goodBackup;
    QString fingerprintAtBackup;
};

void RestoreCopyTest::damageDatabase() const
{
    QVERIFY(
        cluster->exec(u"update peserta_didik set nama = 'RUSAK' where peserta_didik_id % 3 = 0; "
                      u"create table sampah (x int)"_s));
    QVERIFY(cluster->databaseFingerprint() != fingerprintAtBackup);
}

void RestoreCopyTest::initTestCase()
{
    cluster = TestCluster::fromEnvironment("RANUPA_CLUSTER_DIR");
    if (!cluster) {
        QSKIP("no throwaway cluster: run through ctest, which starts one");
    }
    QVERIFY(work.isValid());
    QVERIFY(QDir::setCurrent(cluster->installDir));
    fingerprintAtBackup = cluster->databaseFingerprint();
    QVERIFY(!fingerprintAtBackup.isEmpty());
    const OperationOutcome outcome = runBackup(madeFolder(work.filePath(u"good"_s)));
    QCOMPARE(outcome.status, OperationStatus::Succeeded);
    goodBackup = outcome.filePath;
}

void RestoreCopyTest::cleanup()
{
    // Every test leaves pendataan as it was at the backup; a failed one puts it back.
    if (QTest::currentTestFailed() && cluster->databaseFingerprint() != fingerprintAtBackup) {
        runRestore(goodBackup);
    }
}

void RestoreCopyTest::fileChangedAtTheQuestion_data()
{
    QTest::addColumn<bool>("inPlace");
    QTest::addColumn<QString>("tmpfs"); // the temp folder's own disk; "" for none
    QTest::newRow("another file renamed over it") << false << QString();
    QTest::newRow("written in place, after the copy") << true << QString();
    QTest::newRow("written in place, no room for a copy") << true << u"size=1m"_s;
}

// The file that was checked and shown is the file that is loaded: one renamed over it while the
// operator reads the question is never read; one written over in place no longer matters once
// its copy is made, and without a copy it is refused.
void RestoreCopyTest::fileChangedAtTheQuestion()
{
    QFETCH(bool, inPlace);
    QFETCH(QString, tmpfs);
    const TempFolder small(work.filePath(u"sempit"_s), tmpfs);
    if (!small.isUsable()) {
        QSKIP("mounting a small temp folder needs root");
    }
    const bool copied = tmpfs.isEmpty();
    const QString chosen = work.filePath(u"dipilih.dbk"_s);
    QVERIFY(QFile::copy(goodBackup, chosen));
    damageDatabase();
    const QString damaged = runBackup(work.path()).filePath;
    QVERIFY(QFile::exists(damaged));

    ranupa::OperationJob job;
    job.setAsksOperator(true);
    connect(&job, &ranupa::OperationJob::confirmationNeeded, this, [&] {
        QFile file(chosen);
        if (inPlace) {
            QVERIFY(file.open(QIODevice::WriteOnly)); // the same file, its contents replaced
            QVERIFY(file.write(readFile(damaged)) > 0);
            QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(60),
                                     QFileDevice::FileModificationTime));
        } else {
            QVERIFY(file.remove() && QFile::rename(damaged, chosen));
        }
        job.answer({.proceed = true});
    });
    const OperationOutcome outcome =
        ranupa::runToEnd(job, ranupa::RestoreRequest{.backupFile = chosen});
    QFile::remove(chosen);
    QFile::remove(damaged);
    QCOMPARE(outcome.details.contains(u"tidak paralel"_s), !copied);
    if (!copied) {
        QCOMPARE(outcome.cause, ranupa::FailureCause::BackupChanged);
        QVERIFY(outcome.pendataanUnchanged);
        QVERIFY(cluster->databaseFingerprint() != fingerprintAtBackup);
        QCOMPARE(runRestore(goodBackup).status, OperationStatus::Succeeded);
    } else {
        QCOMPARE(outcome.status, OperationStatus::Succeeded);
    }
    QCOMPARE(cluster->databaseFingerprint(), fingerprintAtBackup);
    QCOMPARE(small.backupCopies(), QStringList());
}

void RestoreCopyTest::restoreWithoutACopy_data()
{
    QTest::addColumn<QString>("tmpfs"); // the temp folder's own disk
    QTest::addColumn<QString>("why");
    QTest::newRow("no room for it") << u"size=1m"_s << u"tidak cukup"_s;
    // Room enough, but the files run out after the first few members.
    QTest::newRow("it cannot be written") << u"size=512m,nr_inodes=6"_s << u"tidak dapat ditulis"_s;
}

// Never a worse restore: without a copy, the load streams from the file as before, and the
// details say so in one line.
void RestoreCopyTest::restoreWithoutACopy()
{
    QFETCH(QString, tmpfs);
    QFETCH(QString, why);
    const TempFolder small(work.filePath(u"kecil"_s), tmpfs);
    if (!small.isUsable()) {
        QSKIP("mounting a small temp folder needs root");
    }
    damageDatabase();
    QStringList toolLines;
    const OperationOutcome outcome = runRestore(goodBackup, {.toolLine = [&](const QString& line) {
                                                    toolLines << line;
                                                }});
    QVERIFY2(outcome.status == OperationStatus::Succeeded, qPrintable(outcome.details));
    const QStringList said = outcome.details.split(u'\n').filter(u"tidak paralel"_s);
    QCOMPARE(said.size(), 1);
    QVERIFY2(said.first().contains(why) && said.first().contains(small.path()),
             qPrintable(said.first()));
    QCOMPARE(toolLines.filter(u"pg_restore: launching item"_s), QStringList());
    QCOMPARE(cluster->databaseFingerprint(), fingerprintAtBackup);
    QCOMPARE(small.backupCopies(), QStringList());
}

QTEST_GUILESS_MAIN(RestoreCopyTest)
#include "test_restore_copy.moc"
