// The real psql against a server that demands a password: with nothing to read a password from,
// the run must fail at once instead of waiting for input that never comes.

#include "core/pg/toolrunner.h"
#include "core/pg/tools.h"
#include "testcluster.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTest>

using namespace Qt::StringLiterals;

class TestToolRunnerDb final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void psqlWithoutPasswordFailsAtOnce();
    void psqlWithPasswordSucceeds();

private:
    // The form the program uses: relative program path, from the installation folder.
    ranupa::ToolCommand selectOneCommandLine() const
    {
        return ranupa::tools::psql(cluster->port, {}, {u"select 1"_s});
    }

    std::optional<TestCluster> cluster;
    QString previousDir;
};

void TestToolRunnerDb::initTestCase()
{
    cluster = TestCluster::fromEnvironment("RANUPA_PASSWORD_CLUSTER_DIR");
    QVERIFY(cluster);
    QVERIFY2(!cluster->password.isEmpty(), "the cluster must demand a password");
    previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(cluster->installDir));
    // The child inherits this process's environment: no stored password anywhere, and the
    // socket directory when the cluster's is not libpq's default.
    qunsetenv("PGPASSWORD");
    qputenv("PGPASSFILE", "/nonexistent/pgpass");
    if (cluster->socketDir != u"/var/run/postgresql"_s)
        qputenv("PGHOST", QFile::encodeName(cluster->socketDir));
}

void TestToolRunnerDb::cleanupTestCase()
{
    if (!previousDir.isEmpty())
        QDir::setCurrent(previousDir);
}

void TestToolRunnerDb::psqlWithoutPasswordFailsAtOnce()
{
    QElapsedTimer timer;
    timer.start();
    const ranupa::ToolResult result = ranupa::runTool(selectOneCommandLine());
    const qint64 elapsed = timer.elapsed();
    QVERIFY2(result.started, qPrintable(result.errorString));
    QVERIFY(!result.succeeded());
    QVERIFY(result.exitCode != 0);
    QVERIFY2(result.output().contains(u"password"_s), qPrintable(result.output()));
    QVERIFY2(elapsed < 60000, qPrintable(u"took %1 ms"_s.arg(elapsed))); // not for ever
}

void TestToolRunnerDb::psqlWithPasswordSucceeds()
{
    // The same command line reaches the server and works once a password is at hand, so the
    // failure above is the missing password and not an unreachable server.
    qputenv("PGPASSWORD", cluster->password.toUtf8());
    auto restore = qScopeGuard([] { qunsetenv("PGPASSWORD"); });
    const ranupa::ToolResult result = ranupa::runTool(selectOneCommandLine());
    QVERIFY2(result.succeeded(), qPrintable(result.output() + result.errorString));
    QCOMPARE(result.output().trimmed(), u"1"_s);
}

QTEST_GUILESS_MAIN(TestToolRunnerDb)
#include "test_toolrunner_db.moc"
