// A restore brings back the database itself, not only what is inside it: its encoding and
// locale, settings, role settings, comment and privileges; and it refuses, before touching
// anything, backups of another database, backups that name roles the server lacks and backups
// crafted to smuggle statements in. Against the real throwaway clusters.
#include "core/ops/job.h"
#include "core/ops/load.h"
#include "core/pg/newdatabase.h"
#include "core/pg/serversession.h"
#include "testcluster.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using ranupa::OperationOutcome;
using ranupa::OperationStatus;
using ranupa::runBackup;
using ranupa::runRestore;

namespace {

// The database as the server keeps it apart from its contents, and who may do what inside it.
QString databaseState(const TestCluster& cluster)
{
    const QString database = cluster.psql(uR"(
SELECT string_agg(line, E'\n' ORDER BY n, line) FROM (
    SELECT 0, concat_ws(' | ', pg_encoding_to_char(d.encoding), d.datcollate, d.datctype,
        d.datlocprovider, d.datconnlimit, d.datistemplate, pg_get_userbyid(d.datdba),
        (SELECT string_agg(a::text, ',' ORDER BY a::text) FROM unnest(d.datacl) AS a),
        shobj_description(d.oid, 'pg_database'))
    FROM pg_database AS d WHERE d.datname = 'pendataan'
    UNION ALL
    SELECT 1, 'setting ' || coalesce(r.rolname, '*') || ' ' || s.setconfig::text
    FROM pg_db_role_setting AS s JOIN pg_database AS d ON d.oid = s.setdatabase
        LEFT JOIN pg_roles AS r ON r.oid = s.setrole
    WHERE d.datname = 'pendataan') AS l(n, line))"_s,
                                          u"postgres"_s);
    const QString inside = cluster.psql(uR"(
SELECT string_agg(line, E'\n' ORDER BY line) FROM (
    SELECT 'table ' || relname || ' ' || pg_get_userbyid(relowner) || ' '
            || coalesce(relacl::text, '')
        FROM pg_class WHERE relnamespace = 'public'::regnamespace AND relkind = 'r'
    UNION ALL SELECT 'policy ' || policyname || ' ' || roles::text FROM pg_policies
    UNION ALL SELECT 'default acl ' || defaclacl::text FROM pg_default_acl) AS l(line))"_s);
    return database + u'\n' + inside;
}

// A copy of the backup `source` with `from` replaced by `to` of the same length, so that the tar
// and its table of contents stay whole; "" when `source` lacks `from`.
QString patchedCopy(const QString& source, const QString& target, const QByteArray& from,
                    const QByteArray& to)
{
    Q_ASSERT(from.size() == to.size());
    QByteArray archive = readFile(source);
    if (!archive.contains(from)) {
        return {};
    }
    return writeFile(target, archive.replace(from, to)) ? target : QString();
}

const QString curlyApostrophe = u"SD Nusa\u2019s Harapan"_s; // U+2019 is not in Latin-1

} // namespace

class RestoreDatabaseTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();

    void databasePropertiesComeBack_data();
    void databasePropertiesComeBack();
    void smuggledStatementsTouchNothing_data();
    void smuggledStatementsTouchNothing();
    void backupRefusesWhatRestoreWould();
    void trialAppliesTheSettings();
    void templateOneDoesNotLeak();
    void otherDatabaseIsRefusedUnlessAccepted();
    void missingRoleIsRefused();
    void latin1ServerTakesUtf8Backup();
    void missingLocaleFallsBackToServerDefault();
    void serverProbeFindsLocalesAndRoles();
    void failedLoadQuotesFirstErrors();

private:
    QString backupInto(const QString& name) const;
    // A restore of `file` is refused for `cause` before it changes anything; the details quote
    // `quoted`.
    void expectRefused(const QString& file, ranupa::FailureCause cause,
                       const QString& quoted) const;

    std::optional<TestCluster> cluster;
    std::optional<TestCluster> latin1;
    QTemporaryDir work;
    QString originalBackup;
    QString originalFingerprint;
    QString originalState;
};

QString RestoreDatabaseTest::backupInto(const QString& name) const
{
    const QString dir = work.filePath(name);
    if (!QDir().mkpath(dir)) {
        return {};
    }
    const OperationOutcome outcome = runBackup(dir);
    return outcome.status == OperationStatus::Succeeded ? outcome.filePath : QString();
}

void RestoreDatabaseTest::expectRefused(const QString& file, ranupa::FailureCause cause,
                                        const QString& quoted) const
{
    const QString oid = cluster->databaseOid();
    const OperationOutcome outcome = runRestore(file);
    QCOMPARE(outcome.status, OperationStatus::Failed);
    QVERIFY2(outcome.details.contains(quoted) && outcome.details.contains(u"tidak diubah"_s),
             qPrintable(outcome.details));
    QCOMPARE(outcome.cause, cause);
    QVERIFY(outcome.pendataanUnchanged);
    QCOMPARE(cluster->databaseOid(), oid);
    QCOMPARE(cluster->databaseFingerprint(), originalFingerprint);
}

void RestoreDatabaseTest::initTestCase()
{
    cluster = TestCluster::fromEnvironment("RANUPA_CLUSTER_DIR");
    latin1 = TestCluster::fromEnvironment("RANUPA_LATIN1_CLUSTER_DIR");
    if (!cluster || !latin1) {
        QSKIP("no throwaway clusters: run through ctest, which starts them");
    }
    QVERIFY(work.isValid());
    QVERIFY(QDir::setCurrent(cluster->installDir));
    originalFingerprint = cluster->databaseFingerprint();
    originalState = databaseState(*cluster);
    originalBackup = backupInto(u"asli"_s);
    QVERIFY(!originalBackup.isEmpty());
    QVERIFY(cluster->exec(u"CREATE ROLE ranupa_guru; CREATE ROLE ranupa_operator; "
                          u"CREATE ROLE \"Guru Kelas\""_s,
                          u"postgres"_s));
}

// Every test leaves pendataan as it found it.
void RestoreDatabaseTest::cleanup()
{
    QDir::setCurrent(cluster->installDir);
    cluster->psql(u"drop table if exists ranupa_bocor"_s, u"template1"_s);
    if (cluster->databaseFingerprint() != originalFingerprint ||
        databaseState(*cluster) != originalState) {
        QCOMPARE(runRestore(originalBackup).status, OperationStatus::Succeeded);
    }
}

void RestoreDatabaseTest::cleanupTestCase()
{
    if (cluster) {
        cluster->psql(u"drop role if exists ranupa_guru; drop role if exists ranupa_operator; "
                      u"drop role if exists ranupa_hilang; drop role if exists \"Guru Kelas\"; "
                      u"drop role if exists ranupa_jahat"_s,
                      u"postgres"_s);
    }
}

void RestoreDatabaseTest::databasePropertiesComeBack_data()
{
    QTest::addColumn<QString>("onDatabase"); // run in postgres
    QTest::addColumn<QString>("inside");     // run in pendataan
    QTest::newRow("settings and role settings")
        << uR"(ALTER DATABASE pendataan SET "DateStyle" TO 'ISO, DMY';
ALTER DATABASE pendataan SET "TimeZone" TO 'Asia/Jakarta';
ALTER DATABASE pendataan SET search_path TO public, "Rapor ""Lama""", "$user";
ALTER ROLE "Guru Kelas" IN DATABASE pendataan SET work_mem TO '8MB';)"_s
        << QString();
    QTest::newRow("comment") << u"COMMENT ON DATABASE pendataan IS E'Data sekolah ''utama''\n"
                                u"Nusa\u2019s \\\\ \\t ok'"_s
                             << QString();
    QTest::newRow("connection limit and template")
        << u"ALTER DATABASE pendataan CONNECTION LIMIT 25; "
           u"ALTER DATABASE pendataan IS_TEMPLATE true"_s
        << QString();
    QTest::newRow("privileges, with grant option and by another grantor")
        << uR"(REVOKE CONNECT ON DATABASE pendataan FROM PUBLIC;
GRANT CONNECT, TEMPORARY ON DATABASE pendataan TO ranupa_guru;
GRANT CREATE ON DATABASE pendataan TO ranupa_operator WITH GRANT OPTION;
SET ROLE ranupa_operator; GRANT CREATE ON DATABASE pendataan TO "Guru Kelas"; RESET ROLE;)"_s
        << uR"(CREATE TABLE catatan_guru (isi text); ALTER TABLE catatan_guru OWNER TO ranupa_guru;
GRANT SELECT ON catatan_guru TO ranupa_operator;
CREATE POLICY baca_nilai ON nilai FOR SELECT TO ranupa_operator USING (nilai_angka >= 0);
ALTER DEFAULT PRIVILEGES FOR ROLE ranupa_guru GRANT SELECT ON TABLES TO ranupa_operator;)"_s;
    // The previous owner keeps the database, and so its right to connect.
    QTest::newRow("owner") << u"ALTER DATABASE pendataan OWNER TO ranupa_guru; "
                              u"REVOKE CONNECT ON DATABASE pendataan FROM PUBLIC"_s
                           << QString();
}

// Everything pg_dump writes about the database itself comes back as it was, from the backup the
// program writes; between backup and restore the database is put back as it was before.
void RestoreDatabaseTest::databasePropertiesComeBack()
{
    QFETCH(QString, onDatabase);
    QFETCH(QString, inside);
    QVERIFY(cluster->exec(onDatabase, u"postgres"_s));
    QVERIFY(inside.isEmpty() || cluster->exec(inside));
    const QString state = databaseState(*cluster);
    QVERIFY(state != originalState);
    const QString fingerprint = cluster->databaseFingerprint();
    const QString backup = backupInto(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(!backup.isEmpty());

    QCOMPARE(runRestore(originalBackup).status, OperationStatus::Succeeded);
    QCOMPARE(databaseState(*cluster), originalState);
    const OperationOutcome outcome = runRestore(backup);
    QCOMPARE(outcome.status, OperationStatus::Succeeded);
    QCOMPARE(databaseState(*cluster), state);
    QCOMPARE(cluster->databaseFingerprint(), fingerprint);
}

void RestoreDatabaseTest::smuggledStatementsTouchNothing_data()
{
    // The backup is made after `entry` ran with `from` for its %1; its bytes are then patched to
    // hold `to` (%1: a file that must not appear) in place of `from`, padded to the same length so
    // that the lengths in toc.dat's entries and the tar headers stay right. The details must
    // quote `quoted`.
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to");
    QTest::addColumn<QString>("quoted");
    const QString comment = u"COMMENT ON DATABASE pendataan IS %1"_s;
    const QByteArray placeholder = "'" + QByteArray(200, 'X') + "'";
    const QByteArray statements =
        "'a'; CREATE ROLE ranupa_jahat SUPERUSER; COPY (SELECT 1) TO PROGRAM 'touch %1'; --";
    const QString created = u"CREATE ROLE ranupa_jahat"_s;
    QTest::newRow("comment") << comment << placeholder << statements << created;
    QTest::newRow("setting") << u"ALTER DATABASE pendataan SET application_name = %1"_s
                             << placeholder << statements << created;
    QTest::newRow("role setting")
        << u"ALTER ROLE postgres IN DATABASE pendataan SET application_name = %1"_s << placeholder
        << statements << created;
    QTest::newRow("psql command in the comment")
        << comment << placeholder << "'a';\n\\! touch %1\n--"_ba << u"\\! touch"_s;
    QTest::newRow("NUL byte, then a shell command")
        << comment << placeholder << "E'a\\000 ';\n\\! touch %1\n"_ba << QString();
    // pg_restore cuts a statement at a NUL of the table of contents: the quote is never closed.
    QTest::newRow("NUL in the table of contents")
        << comment << placeholder << "'a\0';\nGRANT ALL ON DATABASE postgres TO PUBLIC;"_ba
        << QString();
    QTest::newRow("grant on another database")
        << comment << placeholder << "'a';\nGRANT ALL ON DATABASE pendataan, postgres TO PUBLIC;"_ba
        << QString();
    // The encoding a script of the database's own entries is read in.
    QTest::newRow("client-only encoding")
        << comment.arg(u"'x'"_s) << "SET client_encoding = 'UTF8';"_ba
        << "SET client_encoding = 'SJIS';"_ba << QString();
}

// Archives crafted from a real backup: the restore refuses them before it touches anything, and
// nothing of them runs.
void RestoreDatabaseTest::smuggledStatementsTouchNothing()
{
    QFETCH(QString, entry);
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QFETCH(QString, quoted);
    const QString touched = u"/tmp/ranupa-jahat-%1"_s.arg(QCoreApplication::applicationPid());
    QFile::remove(touched);
    QVERIFY(cluster->exec(entry.replace(u"%1"_s, QString::fromLatin1(from))));
    const QByteArray patch = to.replace("%1", touched.toUtf8()).leftJustified(from.size(), ' ');
    QCOMPARE(patch.size(), from.size());
    const QString crafted = patchedCopy(backupInto(QString::fromLatin1(QTest::currentDataTag())),
                                        work.filePath(u"tertolak.dbk"_s), from, patch);
    QVERIFY(!crafted.isEmpty());
    const QString postgresAcl =
        cluster->psql(u"select datacl::text from pg_database where datname = 'postgres'"_s);
    const QString state = databaseState(*cluster);

    expectRefused(crafted, ranupa::FailureCause::UnsafeBackup, quoted);
    QCOMPARE(databaseState(*cluster), state);
    QCOMPARE(cluster->psql(u"select datacl::text from pg_database where datname = 'postgres'"_s),
             postgresAcl);
    QCOMPARE(cluster->psql(u"SELECT count(*) FROM pg_roles WHERE rolname = 'ranupa_jahat'"_s),
             u"0"_s);
    QVERIFY(!QFile::exists(touched));
    QCOMPARE(cluster->ownDatabases(), QString());
}

// A database whose comment holds a control character: pg_dump writes it as it is, and a restore
// would refuse it, so the backup fails on the day it is made and keeps no file.
void RestoreDatabaseTest::backupRefusesWhatRestoreWould()
{
    QVERIFY(
        cluster->exec(u"COMMENT ON DATABASE pendataan IS E'Data\\x07sekolah'"_s, u"postgres"_s));
    const QString dir = madeFolder(work.filePath(u"kontrol"_s));
    const OperationOutcome outcome = runBackup(dir);
    QCOMPARE(outcome.status, OperationStatus::Failed);
    QCOMPARE(outcome.message, u"Gagal melakukan backup"_s);
    QCOMPARE(outcome.cause, ranupa::FailureCause::UnrestorableBackup);
    QVERIFY2(outcome.details.contains(u"Data\\x07sekolah"_s), qPrintable(outcome.details));
    QCOMPARE(filesIn(dir), QStringList());
}

// A setting the server does not know fails the trial restore, not the swap of a later restore.
void RestoreDatabaseTest::trialAppliesTheSettings()
{
    QVERIFY(cluster->exec(u"ALTER DATABASE pendataan SET work_mem TO '8MB'"_s, u"postgres"_s));
    const QString crafted = patchedCopy(backupInto(u"asing"_s), work.filePath(u"asing.dbk"_s),
                                        "SET work_mem TO", "SET work_meh TO");
    QVERIFY(!crafted.isEmpty());
    const OperationOutcome outcome = ranupa::runVerify(crafted);
    QCOMPARE(outcome.status, OperationStatus::Failed);
    QVERIFY2(outcome.details.contains(u"work_meh"_s), qPrintable(outcome.details));
    QCOMPARE(cluster->ownDatabases(), QString());
}

void RestoreDatabaseTest::templateOneDoesNotLeak()
{
    QVERIFY(cluster->exec(u"create table ranupa_bocor (x int)"_s, u"template1"_s));
    QCOMPARE(runRestore(originalBackup).status, OperationStatus::Succeeded);
    QCOMPARE(cluster->psql(u"select to_regclass('public.ranupa_bocor') is null"_s), u"t"_s);
    QCOMPARE(cluster->databaseFingerprint(), originalFingerprint);
}

void RestoreDatabaseTest::otherDatabaseIsRefusedUnlessAccepted()
{
    const QString file = work.filePath(u"sekolah_lain.dbk"_s);
    QVERIFY(cluster->dumpOtherDatabase(
        u"sekolah_lain"_s, u"create table satu (x int); insert into satu values (42)"_s, file));

    expectRefused(file, ranupa::FailureCause::ForeignBackup, u"\"sekolah_lain\""_s);

    const OperationOutcome accepted = ranupa::runOperation(
        ranupa::RestoreRequest{.backupFile = file, .acceptOtherDatabase = true});
    QCOMPARE(accepted.status, OperationStatus::Succeeded);
    QCOMPARE(cluster->psql(u"select x from satu"_s), u"42"_s);
}

void RestoreDatabaseTest::missingRoleIsRefused()
{
    QVERIFY(cluster->exec(u"create role ranupa_hilang"_s, u"postgres"_s));
    QVERIFY(cluster->exec(u"create table milik_hilang (x int); "
                          u"alter table milik_hilang owner to ranupa_hilang; "
                          u"grant select on sekolah to ranupa_hilang"_s));
    const QString backup = backupInto(u"peran"_s);
    QVERIFY(!backup.isEmpty());
    QVERIFY(cluster->exec(u"drop table milik_hilang; revoke all on sekolah from ranupa_hilang"_s));
    QVERIFY(cluster->exec(u"drop role ranupa_hilang"_s, u"postgres"_s));

    expectRefused(backup, ranupa::FailureCause::MissingRole, u"CREATE ROLE \"ranupa_hilang\";"_s);
}

// The new database takes the backup's UTF8, not the LATIN1 of the server's template1, so a
// character Latin-1 lacks costs no row.
void RestoreDatabaseTest::latin1ServerTakesUtf8Backup()
{
    QVERIFY(cluster->exec(
        u"update sekolah set nama = '%1' where sekolah_id = 1"_s.arg(curlyApostrophe)));
    const QString fingerprint = cluster->databaseFingerprint();
    const QString backup = backupInto(u"utf8"_s);
    QVERIFY(!backup.isEmpty());

    const CurrentDirectory inLatin1(latin1->installDir);
    const OperationOutcome outcome = runRestore(backup);
    QCOMPARE(outcome.status, OperationStatus::Succeeded);
    QCOMPARE(latin1->psql(u"select pg_encoding_to_char(encoding) || ' ' || datcollate from "
                          u"pg_database where datname in ('template1', 'pendataan') order by "
                          u"datname"_s,
                          u"postgres"_s),
             u"UTF8 C\nLATIN1 C"_s);
    QCOMPARE(latin1->databaseFingerprint(), fingerprint);
    QCOMPARE(latin1->psql(u"select nama from sekolah where sekolah_id = 1"_s), curlyApostrophe);
}

// A backup from a server whose locale this one lacks: the server's own locale is used, the
// backup's encoding kept, and the operator told.
void RestoreDatabaseTest::missingLocaleFallsBackToServerDefault()
{
    // Same length, so the archive stays intact: the table of contents (and the tar's
    // restore.sql) are plain text.
    QByteArray archive = readFile(originalBackup);
    const QByteArray from = "LOCALE = 'C';";
    QVERIFY(archive.contains(from));
    archive.replace(from, "LOCALE = 'X';");
    const QString file = work.filePath(u"lokal-lain.dbk"_s);
    QVERIFY(writeFile(file, archive));

    const OperationOutcome outcome = runRestore(file);
    QCOMPARE(outcome.status, OperationStatus::Succeeded);
    QVERIFY2(outcome.details.contains(u"\"X\""_s), qPrintable(outcome.details));
    QCOMPARE(cluster->psql(u"select datcollate || ' ' || datctype from pg_database "
                           u"where datname = 'pendataan'"_s,
                           u"postgres"_s),
             u"C C"_s);
    QCOMPARE(cluster->databaseFingerprint(), originalFingerprint);
}

// The probe runs on the real server and answers both ways.
void RestoreDatabaseTest::serverProbeFindsLocalesAndRoles()
{
    const QStringList roles{u"postgres"_s, u"ranupa tidak ada"_s};
    const auto probe = [&](const QString& locale) {
        const ranupa::DatabaseLocale archive{.encoding = u"UTF8"_s,
                                             .collate = locale,
                                             .ctype = locale,
                                             .provider = u"libc"_s,
                                             .icuLocale = {}};
        ranupa::ServerSession session;
        std::optional<ranupa::Failure> failure = session.start(cluster->port, cluster->installDir);
        ranupa::Result<ranupa::Rows> answer = ranupa::Rows();
        for (const QString& statement : ranupa::serverProbeStatements(archive, roles)) {
            answer = failure ? *failure : session.query({}, statement);
            failure = answer ? std::nullopt : std::optional(answer.failure());
        }
        return failure ? std::nullopt : ranupa::parseServerProbe(*answer, roles);
    };
    const auto lacking = probe(u"xx_YY'; drop database pendataan; --"_s);
    QVERIFY(lacking);
    QVERIFY(!lacking->facts.archiveLocaleProblem.isEmpty());
    QCOMPARE(lacking->missingRoles, QStringList{u"ranupa tidak ada"_s});
    QCOMPARE(lacking->facts.defaults.encoding, u"UTF8"_s);
    QVERIFY(lacking->facts.version >= 150000);
    QVERIFY(!cluster->databaseOid().isEmpty());

    const auto present = probe(u"C"_s);
    QVERIFY(present);
    QCOMPARE(present->facts.archiveLocaleProblem, QString());
}

// A check that held when the row was written but not in pg_restore's session: the load fails
// for real, and the details open with the cause, not with the last lines of verbose progress.
void RestoreDatabaseTest::failedLoadQuotesFirstErrors()
{
    QVERIFY(cluster->exec(u"create table syarat (x int check "
                          u"(coalesce(current_setting('ranupa.izin', true), '') = 'ya')); "
                          u"set ranupa.izin = 'ya'; insert into syarat values (1)"_s));
    const QString backup = backupInto(u"syarat"_s);
    QVERIFY(!backup.isEmpty());

    const OperationOutcome outcome = runRestore(backup);
    QCOMPARE(outcome.status, OperationStatus::Failed);
    const qsizetype quote = outcome.details.indexOf(u"Kesalahan pertama:"_s);
    QVERIFY2(quote > 0, qPrintable(outcome.details));
    const QString firstError = outcome.details.mid(quote).section(u'\n', 1, 3);
    QVERIFY2(firstError.contains(u"syarat"_s) && firstError.contains(u"ERROR"_s),
             qPrintable(outcome.details));
}

QTEST_GUILESS_MAIN(RestoreDatabaseTest)
#include "test_restore_database.moc"
