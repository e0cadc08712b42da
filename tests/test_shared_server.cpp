// Backups and restores on a server the program shares with others: another copy of the program,
// the application writing meanwhile, surroundings that psql and libpq read and databases of
// others under the program's own names. Against a cluster of its own, whose pendataan the tests
// rename and replace freely.
#include "core/model/outcome.h"
#include "core/ops/job.h"
#include "testcluster.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <tuple>

using namespace Qt::StringLiterals;
using ranupa::FailureCause;
using ranupa::OperationOutcome;
using ranupa::OperationStatus;
using ranupa::runBackup;
using ranupa::runRestore;

namespace {

const QString busy = u"sedang berjalan"_s;
// Where the tests put pendataan aside themselves, under a name the program never uses.
const QString asideName = u"simpanan_uji"_s;

} // namespace

class SharedServerTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void secondCopyIsRefusedWhileFirstRuns();
    void hostileClientSurroundings_data();
    void hostileClientSurroundings();
    void foreignDatabaseUnderReservedName_data();
    void foreignDatabaseUnderReservedName();
    void legacySetAsideCopy_data();
    void legacySetAsideCopy();
    void tableNamedLikeRoomReserveComesBack();
    void killedRestoreThenBackupWithKeep_data();
    void killedRestoreThenBackupWithKeep();
    void applicationWritesDuringLoad_data();
    void applicationWritesDuringLoad();

private:
    QString sql(const QString& statements, const QString& database = u"pendataan"_s) const
    {
        return cluster->psql(statements, database);
    }
    bool exec(const QString& statements, const QString& database = u"pendataan"_s) const
    {
        return cluster->exec(statements, database);
    }
    QString oid(const QString& database = u"pendataan"_s) const
    {
        return cluster->databaseOid(database);
    }
    // Every database besides pendataan and the server's own.
    QString otherDatabases() const
    {
        return sql(u"SELECT string_agg(datname, ' ' ORDER BY datname) FROM pg_database WHERE "
                   u"datname NOT IN ('pendataan', 'postgres', 'template0', 'template1')"_s,
                   u"postgres"_s);
    }
    // Another's database, `database`: its OID, comment and rows.
    QString foreignState(const QString& database) const
    {
        return sql(u"SELECT d.oid || ' ' || coalesce(shobj_description(d.oid, 'pg_database'), "
                   u"'') || ' ' || (SELECT string_agg(isi, ',') FROM milik_sekolah) FROM "
                   u"pg_database AS d WHERE datname = current_database()"_s,
                   database);
    }
    bool changePendataan() const
    {
        return exec(u"UPDATE sekolah SET nama = nama || ' (diubah)'; DELETE FROM lambat "
                    u"WHERE id > 50"_s);
    }
    // Whether a load of the slow table comes to be held (before `program` ends). Asked of the
    // server: pg_restore names the table before its rows are on their way.
    bool loadIsHeld(QProcess* program = nullptr) const
    {
        const QString loading = u"datname = '%1' AND query LIKE 'COPY public.lambat%'"_s.arg(
            ranupa::scratchDatabaseName);
        const QDeadlineTimer deadline(60'000);
        while (cluster->sessions(loading) != u"1"_s) {
            if (deadline.hasExpired() ||
                (program ? program->waitForFinished(50) : (QThread::msleep(50), false))) {
                return false;
            }
        }
        return true;
    }
    // Starts the program restoring the good backup; whether its load came to be held.
    bool startHeldRestore(QProcess& program) const
    {
        cluster->startProgram(program, {u"--restore"_s, goodBackup, u"--yes"_s});
        return loadIsHeld(&program);
    }

    std::optional<TestCluster> cluster;
    QTemporaryDir work;
    QString goodBackup;
    QString goodFingerprint; // pendataan's when goodBackup was made
};

void SharedServerTest::initTestCase()
{
    cluster = TestCluster::fromEnvironment("RANUPA_SHARED_CLUSTER_DIR");
    QVERIFY2(cluster, "the shared-server cluster is not running");
    QVERIFY(QFileInfo(programUnderTest()).isExecutable());
    QVERIFY(work.isValid());
    QVERIFY(QDir::setCurrent(cluster->installDir));
    QVERIFY(cluster->createSlowTable(100));
    const OperationOutcome backup = runBackup(work.path());
    QCOMPARE(backup.status, OperationStatus::Succeeded);
    goodBackup = backup.filePath;
    goodFingerprint = cluster->databaseFingerprint();
    QVERIFY(!goodFingerprint.isEmpty());
}

void SharedServerTest::cleanup()
{
    // Whatever a case left, the next one starts from the backed-up pendataan alone.
    cluster->holdLoads(false);
    for (const QString& name :
         {ranupa::scratchDatabaseName.toString(), ranupa::replacedDatabaseName.toString(),
          ranupa::legacySetAsideName.toString()}) {
        exec(u"DROP DATABASE IF EXISTS %1 WITH (FORCE)"_s.arg(name), u"postgres"_s);
    }
    if (oid().isEmpty()) {
        exec(u"ALTER DATABASE %1 RENAME TO pendataan"_s.arg(asideName), u"postgres"_s);
    }
    exec(u"DROP TABLE IF EXISTS ranupa_helper_ruang_cadangan, tamu"_s);
    if (cluster->databaseFingerprint() != goodFingerprint) {
        QCOMPARE(runRestore(goodBackup).status, OperationStatus::Succeeded);
    }
}

void SharedServerTest::secondCopyIsRefusedWhileFirstRuns()
{
    QVERIFY(changePendataan());
    // Another installation directory of the same server: its settings and its links to the tools.
    QTemporaryDir otherInstallation, otherTmp;
    QCOMPARE(QProcess::execute(u"cp"_s,
                               {u"-a"_s, cluster->installDir + u"/."_s, otherInstallation.path()}),
             0);
    QProcessEnvironment otherTmpEnvironment = cluster->clientEnvironment();
    otherTmpEnvironment.insert(u"TMPDIR"_s, otherTmp.path());
    const QString target = madeFolder(work.filePath(u"selagi-restore"_s));

    // Looked for all along, from a session the swap leaves alone.
    Session watcher(*cluster, u"postgres"_s);
    int missing = 0;
    const QString found = u"SELECT 'ada:' || count(*) FROM pg_database WHERE datname = "
                          u"'pendataan';"_s;
    const auto lookForPendataan = [&] {
        missing += watcher.run(found).contains("ada:1") ? 0 : 1;
    };
    QVERIFY(cluster->holdLoads(true));
    QProcess first;
    QVERIFY(startHeldRestore(first));
    const std::tuple<QStringList, QProcessEnvironment, QString> seconds[] = {
        {{u"--backup"_s, target}, {}, otherInstallation.path()},
        {{u"--backup"_s, target}, otherTmpEnvironment, {}},
        {{u"--restore"_s, goodBackup, u"--yes"_s}, {}, {}},
    };
    for (const auto& [arguments, environment, dir] : seconds) {
        const ProgramRun second = cluster->runProgram(arguments, dir, environment);
        QVERIFY2(second.exitCode == 4 && second.err.contains(busy),
                 qPrintable(arguments.join(u' ') + u'\n' + second.err));
        lookForPendataan();
    }
    QCOMPARE(filesIn(target), QStringList());
    QCOMPARE(first.state(), QProcess::Running);

    // The swap is held half-way, at the new database's name, and looked at there: pendataan has
    // not gone for a moment.
    Session holder(*cluster, u"postgres"_s);
    const QString holderPid =
        QString::fromUtf8(holder.run(u"SELECT pg_backend_pid();"_s)).section(u'\n', 0, 0);
    QVERIFY(holder
                .run(u"BEGIN; SELECT 'dipegang' FROM pg_database WHERE datname = '%1' FOR "
                     u"UPDATE;"_s.arg(ranupa::scratchDatabaseName))
                .contains("dipegang"));
    QVERIFY(cluster->holdLoads(false));
    const QString swapWaits = u"SELECT 'menunggu:' || count(*) FROM pg_stat_activity WHERE %1 = "
                              u"ANY (pg_blocking_pids(pid)) AND query ILIKE 'ALTER DATABASE % "
                              u"RENAME TO pendataan%';"_s.arg(holderPid);
    QTRY_VERIFY_WITH_TIMEOUT(watcher.run(swapWaits).contains("menunggu:1"), 120'000);
    lookForPendataan();
    QVERIFY(!holder.run(u"ROLLBACK;"_s).isEmpty());
    const QDeadlineTimer deadline(120'000);
    while (first.state() != QProcess::NotRunning && !deadline.hasExpired()) {
        lookForPendataan();
        first.waitForFinished(1);
    }
    QCOMPARE(first.exitStatus(), QProcess::NormalExit);
    QVERIFY2(first.exitCode() == 0, first.readAllStandardError().constData());
    QCOMPARE(missing, 0);
    QCOMPARE(cluster->databaseFingerprint(), goodFingerprint);
    QCOMPARE(otherDatabases(), QString());
}

void SharedServerTest::hostileClientSurroundings_data()
{
    QTest::addColumn<QByteArray>("psqlrc");
    QTest::addColumn<bool>("throughVariable"); // PSQLRC names it, rather than ~/.psqlrc
    QTest::newRow("AUTOCOMMIT off in ~/.psqlrc") << QByteArray("\\set AUTOCOMMIT off") << false;
    QTest::newRow("expanded output through PSQLRC") << QByteArray("\\x on") << true;
    QTest::newRow("aligned output with headers in ~/.psqlrc")
        << QByteArray("\\pset format aligned\n\\pset tuples_only off") << false;
}

void SharedServerTest::hostileClientSurroundings()
{
    QFETCH(QByteArray, psqlrc);
    QFETCH(bool, throughVariable);
    QTemporaryDir home;
    const QString rc = home.filePath(throughVariable ? u"rc-lain"_s : u".psqlrc"_s);
    QVERIFY(writeFile(rc, psqlrc + "\n\\echo ranupa-psqlrc-dibaca\n"));
    QProcessEnvironment environment = cluster->clientEnvironment();
    environment.insert(u"HOME"_s, home.path());
    if (throughVariable) {
        environment.insert(u"PSQLRC"_s, rc);
    }
    environment.insert(u"PGOPTIONS"_s, u"-c default_transaction_read_only=on"_s);
    environment.insert(u"PGDATABASE"_s, u"nonexistent"_s);

    // A psql that is not told otherwise does read all of it.
    QProcess plain;
    plain.setProcessEnvironment(environment);
    plain.start(cluster->binDir + u"/psql"_s,
                {u"-h"_s, u"localhost"_s, u"-p"_s, cluster->port, u"-U"_s, u"postgres"_s, u"-d"_s,
                 u"pendataan"_s, u"-c"_s, u"SHOW transaction_read_only"_s});
    QVERIFY(plain.waitForFinished(30'000));
    const QByteArray said = plain.readAllStandardOutput();
    QVERIFY2(said.contains("ranupa-psqlrc-dibaca") && said.contains(" on"), said.constData());

    const QString dir = madeFolder(home.filePath(u"cadangan"_s));
    const ProgramRun backup =
        cluster->runProgram({u"--quiet"_s, u"--backup"_s, dir}, {}, environment);
    QVERIFY2(backup.exitCode == 0, qPrintable(backup.err));
    QCOMPARE(filesIn(dir).size(), 1);
    QVERIFY(changePendataan());
    const ProgramRun restore = cluster->runProgram(
        {u"--quiet"_s, u"--restore"_s, onlyFileIn(dir), u"--yes"_s}, {}, environment);
    QVERIFY2(restore.exitCode == 0, qPrintable(restore.err));
    QCOMPARE(cluster->databaseFingerprint(), goodFingerprint);
}

void SharedServerTest::foreignDatabaseUnderReservedName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("comment"); // "" for none
    QTest::newRow("scratch name, no comment")
        << ranupa::scratchDatabaseName.toString() << QString();
    QTest::newRow("replaced name, a comment of its own")
        << ranupa::replacedDatabaseName.toString() << u"Salinan milik operator"_s;
    QTest::newRow("scratch name, the mark and more")
        << ranupa::scratchDatabaseName.toString()
        << ranupa::ownDatabaseMark.toString() + u" (disalin)"_s;
}

void SharedServerTest::foreignDatabaseUnderReservedName()
{
    QFETCH(QString, name);
    QFETCH(QString, comment);
    QVERIFY(exec(u"CREATE DATABASE "_s + name, u"postgres"_s));
    QVERIFY(exec(u"CREATE TABLE milik_sekolah AS SELECT 'jangan dihapus'::text AS isi"_s, name));
    QVERIFY(comment.isEmpty() ||
            exec(u"COMMENT ON DATABASE %1 IS '%2'"_s.arg(name, comment), u"postgres"_s));
    const QString foreign = foreignState(name);
    const QString pendataanOid = oid();
    QTemporaryDir dir;

    const OperationOutcome backup = runBackup(dir.path());
    const OperationOutcome restore = runRestore(goodBackup);
    for (const OperationOutcome& outcome : {backup, restore}) {
        QCOMPARE(outcome.status, OperationStatus::Failed);
        QCOMPARE(outcome.cause, FailureCause::ReservedName);
        QVERIFY2(outcome.details.contains(name) && outcome.details.contains(u"Ganti nama"_s),
                 qPrintable(outcome.details));
    }
    QVERIFY(restore.pendataanUnchanged);
    QCOMPARE(filesIn(dir.path()), QStringList());
    QCOMPARE(foreignState(name), foreign);
    QCOMPARE(oid(), pendataanOid);
    QCOMPARE(cluster->databaseFingerprint(), goodFingerprint);
}

void SharedServerTest::legacySetAsideCopy_data()
{
    QTest::addColumn<bool>("pendataanPresent");
    QTest::newRow("beside pendataan: left alone") << true;
    QTest::newRow("without pendataan: put back") << false;
}

void SharedServerTest::legacySetAsideCopy()
{
    QFETCH(bool, pendataanPresent);
    const QString legacy = ranupa::legacySetAsideName.toString();
    const QString pendataanOid = oid();
    if (pendataanPresent) {
        QVERIFY(exec(u"CREATE DATABASE "_s + legacy, u"postgres"_s));
        QVERIFY(exec(u"CREATE TABLE milik_sekolah AS SELECT 'versi lama'::text AS isi"_s, legacy));
    } else {
        QVERIFY(exec(u"ALTER DATABASE pendataan RENAME TO "_s + legacy, u"postgres"_s));
    }
    const QString legacyState = pendataanPresent ? foreignState(legacy) : QString();
    QTemporaryDir dir;

    const OperationOutcome backup = runBackup(dir.path());
    QVERIFY2(backup.status == OperationStatus::Succeeded && backup.details.contains(legacy),
             qPrintable(backup.details));
    QCOMPARE(filesIn(dir.path()).size(), 1);
    QCOMPARE(pendataanPresent ? foreignState(legacy) : oid(legacy), legacyState);
    QCOMPARE(oid(), pendataanOid);
    QCOMPARE(cluster->databaseFingerprint(), goodFingerprint);
}

void SharedServerTest::tableNamedLikeRoomReserveComesBack()
{
    QVERIFY(exec(u"CREATE TABLE public.ranupa_helper_ruang_cadangan (isi int PRIMARY KEY); "
                 u"INSERT INTO ranupa_helper_ruang_cadangan SELECT generate_series(1, 5)"_s));
    const QString backedUp = cluster->databaseFingerprint();
    QTemporaryDir dir;
    const OperationOutcome backup = runBackup(dir.path());
    QCOMPARE(backup.status, OperationStatus::Succeeded);
    QVERIFY(exec(u"DELETE FROM ranupa_helper_ruang_cadangan WHERE isi > 2"_s));

    const OperationOutcome restore = runRestore(backup.filePath);
    QVERIFY2(restore.status == OperationStatus::Succeeded, qPrintable(restore.details));
    QCOMPARE(sql(u"SELECT string_agg(isi::text, ',' ORDER BY isi) FROM "
                 u"public.ranupa_helper_ruang_cadangan"_s),
             u"1,2,3,4,5"_s);
    QCOMPARE(cluster->databaseFingerprint(), backedUp);
}

void SharedServerTest::killedRestoreThenBackupWithKeep_data()
{
    QTest::addColumn<bool>("pendataanPresent");
    QTest::newRow("replacing pendataan") << true;
    QTest::newRow("the first restore, no pendataan") << false;
}

void SharedServerTest::killedRestoreThenBackupWithKeep()
{
    QFETCH(bool, pendataanPresent);
    QVERIFY(pendataanPresent ||
            exec(u"ALTER DATABASE pendataan RENAME TO "_s + asideName, u"postgres"_s));
    // Still held: the killed load's server session runs on when the next copy starts.
    QVERIFY(cluster->holdLoads(true));
    QProcess program;
    QVERIFY(startHeldRestore(program));
    program.kill();
    QVERIFY(program.waitForFinished(60'000));
    const QString dir = madeFolder(work.filePath(QString::fromLatin1(QTest::currentDataTag())));
    const QStringList good{u"ranupaku01072025170000.dbk"_s, u"ranupaku02072025170000.dbk"_s};
    for (const QString& name : good) {
        QVERIFY(QFile::copy(goodBackup, QDir(dir).filePath(name)));
    }

    // The lock went with the program; a backup of no pendataan fails and removes no backup.
    const ProgramRun backup = cluster->runProgram({u"--backup"_s, dir, u"--keep"_s, u"2"_s});
    QVERIFY2(backup.exitCode == (pendataanPresent ? 0 : 1) && !backup.err.contains(busy),
             qPrintable(backup.err));
    const QStringList files = filesIn(dir);
    QCOMPARE(files.size(), 2);
    QVERIFY(files.contains(good.last()));
    QCOMPARE(files.contains(good.first()), !pendataanPresent);
    QCOMPARE(oid().isEmpty(), !pendataanPresent);
    QCOMPARE(otherDatabases(), pendataanPresent ? QString() : asideName);
    QVERIFY(!pendataanPresent || cluster->databaseFingerprint() == goodFingerprint);
}

void SharedServerTest::applicationWritesDuringLoad_data()
{
    QTest::addColumn<bool>("commit");
    QTest::newRow("committed, still connected") << true;
    QTest::newRow("in an open transaction") << false;
}

void SharedServerTest::applicationWritesDuringLoad()
{
    QFETCH(bool, commit);
    Session application(*cluster, u"pendataan"_s);
    QVERIFY(cluster->holdLoads(true));
    ranupa::OperationJob job;
    // A load that is never seen is let through rather than held for ever.
    QTimer::singleShot(90'000, &job, [this] { cluster->holdLoads(false); });
    bool wrote = false;
    QString seen;
    const auto write = [&](const QString& line) {
        if (wrote || !line.contains(slowTableLine) || !loadIsHeld()) {
            return;
        }
        wrote = application
                    .run(u"BEGIN; INSERT INTO mata_pelajaran VALUES ('TAMU', 'Tamu'); CREATE "
                         u"TABLE tamu (id int); INSERT INTO tamu VALUES (1); "_s +
                         (commit ? u"COMMIT; "_s : QString()) +
                         u"SELECT 'tamu:' || count(*) FROM tamu;"_s)
                    .contains("tamu:1");
        seen = sql(u"SELECT count(*) FROM mata_pelajaran WHERE kode = 'TAMU'"_s);
        cluster->holdLoads(false);
    };
    const OperationOutcome outcome = ranupa::runToEnd(
        job, ranupa::RestoreRequest{.backupFile = goodBackup}, {.toolLine = write});
    QVERIFY(wrote);
    QCOMPARE(seen, commit ? u"1"_s : u"0"_s);
    QVERIFY2(outcome.status == OperationStatus::Succeeded, qPrintable(outcome.details));
    QCOMPARE(outcome.message, u"Restore database berhasil"_s);
    QCOMPARE(cluster->databaseFingerprint(), goodFingerprint);
    QCOMPARE(otherDatabases(), QString());
}

QTEST_GUILESS_MAIN(SharedServerTest)
#include "test_shared_server.moc"
