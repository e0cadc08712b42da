// What others on a shared server put in the way of a restore: logical replication and prepared
// transactions in pendataan, a lock on it held from another database, the program's own server
// session ended, and client surroundings the program cannot work with. Each fails with a cause
// of its own and leaves pendataan as it was. Against the shared-server cluster.
#include "core/backup.h"
#include "core/restore.h"
#include "testcluster.h"

#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using ranupa::FailureCause;
using ranupa::OperationOutcome;
using ranupa::OperationStatus;

class ServerObstaclesTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void pendataanThatCannotBeReplaced_data();
    void pendataanThatCannotBeReplaced();
    void swapGivesUpLockHeldElsewhere();
    void lockSessionEndedBySomeoneElse();
    void surroundingsTheProgramCannotUse_data();
    void surroundingsTheProgramCannotUse();

private:
    QString sql(const QString& statements, const QString& database = u"postgres"_s) const
    {
        return cluster->psql(statements, database);
    }
    QString oid() const
    {
        return sql(u"SELECT oid FROM pg_database WHERE datname = 'pendataan'"_s);
    }
    // A failed restore that left pendataan itself, not a copy, and nothing beside it.
    void expectUntouched(const OperationOutcome& outcome, FailureCause cause) const
    {
        QCOMPARE(outcome.status, OperationStatus::Failed);
        QCOMPARE(outcome.cause, cause);
        QVERIFY(outcome.pendataanUnchanged);
        QCOMPARE(oid(), pendataanOid);
        QCOMPARE(sql(u"SELECT string_agg(datname, ' ') FROM pg_database WHERE datname NOT IN "
                     u"('pendataan', 'postgres', 'template0', 'template1')"_s),
                 QString());
    }

    std::optional<TestCluster> cluster;
    QString executable;
    QTemporaryDir work;
    QString goodBackup;
    QString pendataanOid;
};

void ServerObstaclesTest::initTestCase()
{
    cluster = TestCluster::fromEnvironment("RANUPA_SHARED_CLUSTER_DIR");
    QVERIFY2(cluster, "the shared-server cluster is not running");
    executable = qEnvironmentVariable("RANUPA_EXECUTABLE");
    QVERIFY(QDir::setCurrent(cluster->installDir));
    const OperationOutcome backup = ranupa::runBackup(work.path());
    QCOMPARE(backup.status, OperationStatus::Succeeded);
    goodBackup = backup.filePath;
    pendataanOid = oid();
}

void ServerObstaclesTest::cleanup()
{
    sql(u"DROP SUBSCRIPTION IF EXISTS ranupa_uji_langganan"_s, u"pendataan"_s);
    sql(u"SELECT pg_drop_replication_slot(slot_name) FROM pg_replication_slots WHERE slot_name "
        u"= 'ranupa_uji_slot'"_s);
    if (sql(u"SELECT count(*) FROM pg_prepared_xacts"_s) != u"0"_s) {
        sql(u"ROLLBACK PREPARED 'ranupa_uji_siap'"_s, u"pendataan"_s);
    }
    pendataanOid = oid();
}

void ServerObstaclesTest::pendataanThatCannotBeReplaced_data()
{
    QTest::addColumn<QString>("setup"); // run in pendataan
    QTest::addColumn<QString>("named"); // what the details must name
    QTest::addColumn<FailureCause>("cause");
    QTest::newRow("subscription")
        << u"CREATE SUBSCRIPTION ranupa_uji_langganan CONNECTION 'dbname=tidak_ada' PUBLICATION "
           u"p WITH (connect = false, slot_name = NONE)"_s
        << u"ranupa_uji_langganan"_s << FailureCause::ReplicationInUse;
    QTest::newRow("inactive logical replication slot")
        << u"SELECT pg_create_logical_replication_slot('ranupa_uji_slot', 'test_decoding')"_s
        << u"ranupa_uji_slot"_s << FailureCause::ReplicationInUse;
    QTest::newRow("prepared transaction")
        << u"BEGIN; PREPARE TRANSACTION 'ranupa_uji_siap'"_s << u"ranupa_uji_siap"_s
        << FailureCause::PreparedTransaction;
}

void ServerObstaclesTest::pendataanThatCannotBeReplaced()
{
    QFETCH(QString, setup);
    QFETCH(QString, named);
    QFETCH(FailureCause, cause);
    QVERIFY(!sql(setup, u"pendataan"_s).isNull());

    const OperationOutcome restore = ranupa::runRestore(goodBackup);
    expectUntouched(restore, cause);
    QVERIFY2(restore.details.contains(named), qPrintable(restore.details));
    // A backup reads pendataan only: it goes on.
    QCOMPARE(ranupa::runBackup(work.path()).status, OperationStatus::Succeeded);
}

void ServerObstaclesTest::swapGivesUpLockHeldElsewhere()
{
    // Its open transaction changed pendataan's row from another database: ending the
    // connections to pendataan does not end it.
    Session holder(*cluster, u"postgres"_s, u"ranupa-uji-penahan"_s);
    QVERIFY(!holder.run(u"BEGIN; GRANT CONNECT ON DATABASE pendataan TO PUBLIC;"_s).isEmpty());
    QStringList shown;
    const OperationOutcome restore =
        ranupa::runRestore(goodBackup, {.toolLine = [&](const QString& line) {
                               shown << line;
                           }});
    holder.run(u"ROLLBACK;"_s);

    expectUntouched(restore, FailureCause::DatabaseLocked);
    QVERIFY2(restore.details.contains(u"aplikasi ranupa-uji-penahan"_s),
             qPrintable(restore.details));
    QVERIFY2(!shown.filter(u"ranupa-uji-penahan"_s).isEmpty(), qPrintable(shown.join(u'\n')));
}

void ServerObstaclesTest::lockSessionEndedBySomeoneElse()
{
    ranupa::RestoreJob job;
    job.setAskBeforeReplacing(true);
    bool ended = false;
    connect(&job, &ranupa::RestoreJob::confirmationNeeded, &job, [&] {
        const QString held = u"SELECT count(*) FROM pg_locks WHERE locktype = 'advisory'"_s;
        sql(u"SELECT pg_terminate_backend(pid) FROM pg_locks WHERE locktype = 'advisory'"_s);
        QTRY_COMPARE_WITH_TIMEOUT(sql(held), u"0"_s, 10'000);
        ended = true;
        job.proceed();
    });
    const OperationOutcome restore = ranupa::runToEnd(job, goodBackup, {});
    QVERIFY(ended);
    expectUntouched(restore, FailureCause::LockLost);
}

void ServerObstaclesTest::surroundingsTheProgramCannotUse_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("variable");
    QTest::addColumn<QString>("value");
    QTest::addColumn<FailureCause>("cause");
    QTest::newRow("SSL required of a server without it")
        << QStringList{u"--backup"_s, work.path()} << u"PGSSLMODE"_s << u"require"_s
        << FailureCause::SslRequired;
    QTest::newRow("temp folder missing")
        << QStringList{u"--restore"_s, goodBackup, u"--yes"_s} << u"TMPDIR"_s
        << work.filePath(u"tidak-ada"_s) << FailureCause::TempFolderUnusable;
    QTest::newRow("temp folder a file") << QStringList{u"--verify"_s, goodBackup} << u"TMPDIR"_s
                                        << goodBackup << FailureCause::TempFolderUnusable;
}

void ServerObstaclesTest::surroundingsTheProgramCannotUse()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, variable);
    QFETCH(QString, value);
    QFETCH(FailureCause, cause);
    QProcessEnvironment environment = cluster->clientEnvironment();
    environment.insert(variable, value);
    QProcess program;
    program.setProcessEnvironment(environment);
    program.setStandardInputFile(QProcess::nullDevice());
    program.start(executable, arguments);
    QVERIFY(program.waitForFinished(120'000));
    const QString err = QString::fromLocal8Bit(program.readAllStandardError());
    QCOMPARE(program.exitCode(), 1);
    QVERIFY2(err.contains(ranupa::causeText(cause)), qPrintable(err));
    QCOMPARE(oid(), pendataanOid);
}

QTEST_GUILESS_MAIN(ServerObstaclesTest)
#include "test_server_obstacles.moc"
