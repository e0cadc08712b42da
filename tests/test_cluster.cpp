// The test clusters themselves: the demo database and installation directory are there, the
// fingerprint that other tests compare database states with sees every kind of change, and the
// password cluster really wants its password.
#include "testcluster.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>

using namespace Qt::StringLiterals;

class TestClusterFixture final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void demoInstallationIsThere();
    void emptyAnswerIsNotFailure();
    void fingerprintSeesChange_data();
    void fingerprintSeesChange();
    void passwordClusterWantsPassword();

private:
    std::optional<TestCluster> trust;
    std::optional<TestCluster> password;
};

void TestClusterFixture::initTestCase()
{
    trust = TestCluster::fromEnvironment("RANUPA_CLUSTER_DIR");
    password = TestCluster::fromEnvironment("RANUPA_PASSWORD_CLUSTER_DIR");
    QVERIFY(trust);
    QVERIFY(password);
}

void TestClusterFixture::demoInstallationIsThere()
{
    QCOMPARE(trust->psql(u"SELECT count(*) FROM peserta_didik"_s), u"3000"_s);
    QCOMPARE(trust->psql(u"SELECT count(*) FROM pg_largeobject_metadata"_s), u"1"_s);
    QCOMPARE(trust->psql(u"SELECT count(*) > 0 FROM sekolah JOIN pg_largeobject_metadata AS m "
                         "ON m.oid = sekolah.logo"_s),
             u"t"_s);

    QFile ini(trust->installDir + u"/config/install.ini"_s);
    QVERIFY(ini.open(QIODevice::ReadOnly));
    QVERIFY(ini.readAll().contains("\r\nDefDBPort=" + trust->port.toLatin1() + "\r\n"));
    for (const auto& tool : {u"pg_dump"_s, u"psql"_s, u"pg_restore"_s})
        QVERIFY(QFileInfo(trust->installDir + u"/pgsql/bin/"_s + tool).isExecutable());
}

void TestClusterFixture::emptyAnswerIsNotFailure()
{
    const QString answer = trust->psql(u"SET search_path = public"_s);
    QVERIFY(!answer.isNull());
    QVERIFY(answer.isEmpty());
}

void TestClusterFixture::fingerprintSeesChange_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("undo");
    QTest::newRow("row") << u"UPDATE nilai SET nilai_angka = nilai_angka + 1 "
                            "WHERE peserta_didik_id = 1 AND kode_mapel = 'MTK' AND semester = 1"_s
                         << u"UPDATE nilai SET nilai_angka = nilai_angka - 1 "
                            "WHERE peserta_didik_id = 1 AND kode_mapel = 'MTK' AND semester = 1"_s;
    QTest::newRow("text value")
        << u"UPDATE mata_pelajaran SET nama = nama || '!' WHERE kode = 'IPA'"_s
        << u"UPDATE mata_pelajaran SET nama = rtrim(nama, '!') WHERE kode = 'IPA'"_s;
    QTest::newRow("sequence")
        << u"SELECT setval('nomor_induk_seq', last_value + 5) FROM nomor_induk_seq"_s
        << u"SELECT setval('nomor_induk_seq', last_value - 5) FROM nomor_induk_seq"_s;
    QTest::newRow("large object")
        << u"SELECT lo_put(logo, 0, '\\x00') FROM sekolah WHERE logo IS NOT NULL"_s
        << u"SELECT lo_put(logo, 0, '\\x89') FROM sekolah WHERE logo IS NOT NULL"_s;
    QTest::newRow("index") << u"DROP INDEX peserta_didik_nama_idx"_s
                           << u"CREATE INDEX peserta_didik_nama_idx ON peserta_didik (nama)"_s;
    QTest::newRow("column default")
        << u"ALTER TABLE peserta_didik ALTER COLUMN aktif SET DEFAULT false"_s
        << u"ALTER TABLE peserta_didik ALTER COLUMN aktif SET DEFAULT true"_s;
}

void TestClusterFixture::fingerprintSeesChange()
{
    QFETCH(QString, change);
    QFETCH(QString, undo);
    const QString before = trust->databaseFingerprint();
    QVERIFY(!before.isEmpty());
    QCOMPARE(trust->databaseFingerprint(), before);

    QVERIFY(trust->exec(change));
    const QString changed = trust->databaseFingerprint();
    QVERIFY(trust->exec(undo));
    QVERIFY(!changed.isEmpty());
    QVERIFY(changed != before);
    QCOMPARE(trust->databaseFingerprint(), before);
}

void TestClusterFixture::passwordClusterWantsPassword()
{
    QVERIFY(!password->password.isEmpty());
    QCOMPARE(password->psql(u"SELECT count(*) FROM sekolah"_s), u"24"_s);

    TestCluster withoutPassword = *password;
    withoutPassword.password.clear();
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"psql failed: .*password"_s));
    QVERIFY(withoutPassword.psql(u"SELECT 1"_s).isNull());
}

QTEST_GUILESS_MAIN(TestClusterFixture)
#include "test_cluster.moc"
