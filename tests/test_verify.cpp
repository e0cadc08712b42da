// Trial restores against a real server: a good backup passes with its counts, a damaged one fails
// naming the table, an interrupted one is cleaned up by the next run, and pendataan is never
// touched; a backup with its trial, whose bar moves while pg_dump copies one large table.
#include "archivetesting.h"
#include "core/model/outcome.h"
#include "core/ops/job.h"
#include "testcluster.h"

#include <QLocale>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using ranupa::OperationOutcome;
using ranupa::OperationStatus;

class VerifyTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void trialOfABackup_data();
    void trialOfABackup();
    void interruptedTrialIsDroppedByTheNextRun_data();
    void interruptedTrialIsDroppedByTheNextRun();
    void backupWithTrialMovesItsBarThroughALargeTable();
    void unusableTempFolder();

private:
    QString pendataanState() const; // its OID and its fingerprint
    void expectPendataanUntouched() const;

    std::optional<TestCluster> cluster;
    QTemporaryDir work;
    QString goodBackup;
    QString pendataanAtStart;
};

QString VerifyTest::pendataanState() const
{
    return cluster->databaseOid() + u'\n' + cluster->databaseFingerprint();
}

void VerifyTest::expectPendataanUntouched() const
{
    QCOMPARE(pendataanState(), pendataanAtStart);
    QCOMPARE(cluster->ownDatabases(), QString());
}

void VerifyTest::initTestCase()
{
    cluster = TestCluster::fromEnvironment("RANUPA_CLUSTER_DIR");
    if (!cluster) {
        QSKIP("no throwaway cluster: run through ctest, which starts one");
    }
    QVERIFY(work.isValid());
    QVERIFY(QDir::setCurrent(cluster->installDir));
    QVERIFY(cluster->createSlowTable(3000));
    goodBackup = ranupa::runBackup(work.path()).filePath;
    QVERIFY(QFile::exists(goodBackup));
    pendataanAtStart = pendataanState();
}

void VerifyTest::cleanupTestCase()
{
    if (cluster) {
        cluster->psql(u"DROP TABLE IF EXISTS lambat, besar; DROP FUNCTION IF EXISTS tahan(int)"_s);
    }
}

void VerifyTest::trialOfABackup_data()
{
    QTest::addColumn<QByteArray>("damage"); // over the start of a row of nilai, the largest table
    QTest::addColumn<QString>("said");      // in the details of the failure; "" for none
    QTest::newRow("whole") << QByteArray() << QString();
    // The server ends a table's rows at a "\." line and drops the rest without a word.
    QTest::newRow("rows dropped on loading") << "\\.\n"_ba << u"baris di file backup"_s;
    QTest::newRow("rows that do not load") << "RUSAK\tRUSAK\t\n"_ba << u"pg_restore"_s;
}

// The damage leaves the tar structure and the table of contents intact: the file check passes.
void VerifyTest::trialOfABackup()
{
    QFETCH(QByteArray, damage);
    QFETCH(QString, said);
    QByteArray bytes = readFile(goodBackup);
    const TarData largest = largestTarMember(bytes);
    bytes.replace(bytes.indexOf('\n', largest.offset + largest.size / 2) + 1, damage.size(),
                  damage);
    const QString file = work.filePath(u"uji.dbk"_s);
    QVERIFY(writeFile(file, bytes));

    const OperationOutcome outcome = ranupa::runVerify(file);
    expectPendataanUntouched();
    if (!said.isEmpty()) {
        QCOMPARE(outcome.message, u"Backup tidak dapat di-restore"_s);
        QVERIFY2(outcome.details.contains(said) && outcome.details.contains(u"nilai"_s),
                 qPrintable(outcome.details));
        QVERIFY(outcome.pendataanUnchanged);
        return;
    }
    QCOMPARE(outcome.message, u"Backup dapat di-restore"_s);
    // The counts are the server's own for pendataan: the trial loaded all of it.
    const QStringList counted =
        cluster
            ->psql(u"SELECT count(*), sum((xpath('/row/n/text()', query_to_xml(format('SELECT "
                   u"count(*) AS n FROM %I.%I', schemaname, tablename), false, true, "
                   u"'')))[1]::text::bigint) FROM pg_tables WHERE schemaname = 'public'"_s)
            .split(u'|');
    const QString rows = QLocale(QLocale::Indonesian).toString(counted.value(1).toLongLong());
    QVERIFY2(outcome.summary.startsWith(
                 u"%1 tabel (%2 baris) dan 1 objek besar"_s.arg(counted.value(0), rows)),
             qPrintable(outcome.summary));
}

void VerifyTest::interruptedTrialIsDroppedByTheNextRun_data()
{
    QTest::addColumn<bool>("killed");
    QTest::newRow("cancelled") << false;
    QTest::newRow("program killed") << true;
}

void VerifyTest::interruptedTrialIsDroppedByTheNextRun()
{
    QFETCH(bool, killed);
    if (!killed) {
        ranupa::OperationJob job;
        const OperationOutcome outcome =
            ranupa::runToEnd(job, ranupa::VerifyRequest{.backupFile = goodBackup},
                             {.toolLine = [&](const QString& line) {
                                 if (line.contains(slowTableLine)) {
                                     job.cancel();
                                 }
                             }});
        QCOMPARE(outcome.message, u"Uji restore dibatalkan"_s);
        expectPendataanUntouched(); // dropped at once
        return;
    }
    // This test's own program runs the trial (see main()), and is killed half-way.
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"RANUPA_TRIAL_FILE"_s, goodBackup);
    program.setProcessEnvironment(environment);
    program.start(QCoreApplication::applicationFilePath(), {});
    QTRY_COMPARE_WITH_TIMEOUT(
        cluster->sessions(u"datname = '%1' and query like 'COPY "
                          u"public.lambat%'"_s.arg(ranupa::trialDatabaseName)),
        u"1"_s, 60'000);
    program.kill();
    QVERIFY(program.waitForFinished(60'000));
    QCOMPARE(cluster->ownDatabases(), ranupa::trialDatabaseName.toString());

    const OperationOutcome next = ranupa::runBackup(madeFolder(work.filePath(u"setelah"_s)));
    QVERIFY2(next.details.contains(u"Uji restore sebelumnya terhenti"_s), qPrintable(next.details));
    expectPendataanUntouched();
}

// pg_dump is stopped at its first line and let on only as far as the server says it has come: the
// engine's once-a-second measures meet it inside the large table whatever the machine's speed.
void VerifyTest::backupWithTrialMovesItsBarThroughALargeTable()
{
    constexpr qint64 rows = 1'500'000;
    QVERIFY(cluster->exec(u"CREATE TABLE besar AS SELECT g AS id, md5(g::text) AS isi FROM "
                          u"generate_series(1, %1) AS g; ANALYZE besar"_s.arg(rows)));
    const auto dropLarge = qScopeGuard([this] { cluster->psql(u"DROP TABLE besar"_s); });
    const QString dir = madeFolder(work.filePath(u"dengan-uji"_s));
    Session server(*cluster, u"postgres"_s);
    // The rows of besar pg_dump's COPY has sent; -1 while it copies another table or none.
    const auto copied = [&server] {
        const QString said = QString::fromUtf8(server.run(
            u"SELECT 'baris:' || coalesce(max(p.tuples_processed), -1) FROM pg_stat_activity a "
            u"JOIN pg_stat_progress_copy p ON p.pid = a.pid WHERE a.application_name = 'pg_dump' "
            u"AND a.query LIKE 'COPY public.besar %';"_s));
        bool answered = false;
        const qint64 count =
            said.section(u"baris:"_s, 1).section(u'\n', 0, 0).toLongLong(&answered);
        return answered ? count : -1;
    };
    QList<ranupa::ProgressMeasure> measures;
    // The percentage of the last measure inside besar; -1 before any.
    const auto withinLarge = [&measures] {
        for (auto m = measures.crbegin(); m != measures.crend(); ++m) {
            if (m->unit == ranupa::ProgressMeasure::Unit::Tables && m->table == u"public.besar"_s &&
                m->partOfNext > 0) {
                return m->percent();
            }
        }
        return -1;
    };
    HeldProcess dump;
    bool dumpSeen = false;
    ranupa::OperationJob job;
    QSignalSpy finished(&job, &ranupa::OperationJob::finished);
    connect(&job, &ranupa::OperationJob::progressChanged, &job,
            [&measures](const ranupa::ProgressMeasure& m) { measures << m; });
    connect(&job, &ranupa::OperationJob::toolLine, &job, [&](const QString& line) {
        if (!dumpSeen && line.startsWith(u"pg_dump: "_s)) {
            dumpSeen = true;
            dump.stop(processesWith(dir).value(0));
        }
    });
    job.start(ranupa::BackupRequest{.targetDir = dir, .verify = true});
    QTRY_VERIFY_WITH_TIMEOUT(dumpSeen, 120'000);
    QVERIFY(dump.isStopped());

    // Into the table's rows, then a measure from inside it.
    QVERIFY(dump.runUntil([&] { return copied() >= rows / 20; }));
    QTRY_VERIFY_WITH_TIMEOUT(withinLarge() >= 0, 60'000);
    const int first = withinLarge();
    // On by twice the rows that move the bar one percent, short of the table's end; then a
    // measure further inside it.
    const qint64 further = copied() + rows * measures.constLast().total / 50;
    QVERIFY2(further < rows * 9 / 10, qPrintable(QString::number(further)));
    QVERIFY(dump.runUntil([&] { return copied() >= further; }));
    QTRY_VERIFY_WITH_TIMEOUT(withinLarge() > first, 60'000);
    dump.resume();

    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 240'000);
    const auto outcome = finished.first().first().value<OperationOutcome>();
    QCOMPARE(outcome.status, OperationStatus::Succeeded);
    QVERIFY2(outcome.summary.startsWith(u"Backup dapat di-restore: "_s),
             qPrintable(outcome.summary));
    QCOMPARE(filesIn(dir), QStringList{QFileInfo(outcome.filePath).fileName()});
    QCOMPARE(cluster->ownDatabases(), QString());

    // The bar never went back while pg_dump copied; then the trial's load follows the entries of
    // the backup to the last.
    int before = 0;
    for (const ranupa::ProgressMeasure& measure : std::as_const(measures)) {
        if (measure.unit == ranupa::ProgressMeasure::Unit::Tables) {
            QVERIFY(measure.percent() >= before);
            before = measure.percent();
        }
    }
    QCOMPARE(before, 100);
    QCOMPARE(measures.last().unit, ranupa::ProgressMeasure::Unit::Entries);
    QCOMPARE(measures.last().percent(), 100);
}

void VerifyTest::unusableTempFolder()
{
    for (const QString& folder : {work.filePath(u"tidak-ada"_s), goodBackup /* a file */}) {
        qputenv("TMPDIR", folder.toLocal8Bit());
        const ranupa::OperationOutcome outcome = ranupa::runVerify(goodBackup);
        qunsetenv("TMPDIR");
        QCOMPARE(outcome.cause, ranupa::FailureCause::TempFolderUnusable);
        QVERIFY2(outcome.details.contains(folder), qPrintable(outcome.details));
    }
    expectPendataanUntouched();
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // interruptedTrialIsDroppedByTheNextRun starts this program as one that runs a trial.
    if (const QString file = qEnvironmentVariable("RANUPA_TRIAL_FILE"); !file.isEmpty()) {
        return ranupa::runVerify(file).status == OperationStatus::Succeeded ? 0 : 1;
    }
    VerifyTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_verify.moc"
