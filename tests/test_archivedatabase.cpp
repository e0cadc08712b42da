// What a restore reads from a backup's scripts (roles, CREATE DATABASE, the database's own
// settings), how it picks the new database's locale, and what it quotes of a failed tool.
#include "core/ops/load.h"
#include "core/ops/owndatabases.h"
#include "core/pg/archivedatabase.h"
#include "core/pg/newdatabase.h"
#include "core/pg/tools.h"

#include <QTest>

using namespace Qt::StringLiterals;
using ranupa::DatabaseLocale;

namespace {

// Session setup as pg_restore writes it at the head of each part of a script.
const QByteArray scriptHead = "SET statement_timeout = 0;\n"
                              "SET client_encoding = 'UTF8';\n"
                              "SET standard_conforming_strings = on;\n"
                              "SELECT pg_catalog.set_config('search_path', '', false);\n";

DatabaseLocale locale(const QString& encoding, const QString& collate, const QString& ctype,
                      const QString& provider = {}, const QString& icuLocale = {})
{
    return {.encoding = encoding,
            .collate = collate,
            .ctype = ctype,
            .provider = provider,
            .icuLocale = icuLocale};
}

DatabaseLocale libc(const QString& encoding, const QString& name)
{
    return locale(encoding, name, name, u"libc"_s);
}

} // namespace

class ArchiveDatabaseTest final : public QObject
{
    Q_OBJECT

private slots:
    void rolesNamedInScript();
    void createDatabaseIsRead_data();
    void createDatabaseIsRead();
    void settingsScriptAppliesToPendataan();
    void localeChoice_data();
    void localeChoice();
    void createStatementReachesPsqlWhole();
    void settingsScriptRefusesOtherStatements_data();
    void settingsScriptRefusesOtherStatements();
    void firstErrorsQuoteTheCause();
    void serverProbeAnswersAreRead();
};

// Every way a pg_dump script names a role, and text that only looks like it does.
void ArchiveDatabaseTest::rolesNamedInScript()
{
    const QByteArray script = scriptHead + R"sql(
CREATE DATABASE pendataan WITH TEMPLATE = template0 ENCODING = 'UTF8' LOCALE = 'C';
ALTER DATABASE pendataan OWNER TO pemilik_lama;
\connect pendataan
ALTER ROLE guru IN DATABASE pendataan SET search_path TO 'public, sekolah';
CREATE FUNCTION public.f("to" text) RETURNS integer
    LANGUAGE sql AS $$ select 1; GRANT ALL ON t TO dalam_fungsi; $$;
ALTER FUNCTION public.f("to" text) OWNER TO "Kepala Sekolah";
-- GRANT ALL ON t TO dalam_komentar;
/* ALTER TABLE t OWNER TO /* bersarang */ dalam_komentar_blok; */
COMMENT ON TABLE public.t IS 'ALTER TABLE t OWNER TO dalam_teks;';
ALTER TABLE public.t OWNER TO guru;
ALTER LARGE OBJECT 16456 OWNER TO operator_lo;
CREATE POLICY p ON public.nilai FOR SELECT TO "Kepala Sekolah", penilai USING ((kode <> 'TO x'::text));
REVOKE ALL ON TABLE public.t FROM PUBLIC;
GRANT UPDATE(nama) ON TABLE public.peserta_didik TO "Kepala Sekolah" WITH GRANT OPTION;
SET SESSION AUTHORIZATION "Kepala Sekolah";
GRANT UPDATE(nama) ON TABLE public.peserta_didik TO penerima;
RESET SESSION AUTHORIZATION;
ALTER DEFAULT PRIVILEGES FOR ROLE pembuat IN SCHEMA rapor GRANT INSERT ON TABLES  TO penambah;
ALTER DEFAULT PRIVILEGES FOR ROLE pembuat REVOKE ALL ON TABLES  FROM pencabut;
CREATE USER MAPPING FOR pemetaan SERVER srv;
CREATE USER MAPPING FOR public SERVER srv;
GRANT CONNECT ON DATABASE pendataan TO "O""Brien";
)sql";
    QCOMPARE(
        ranupa::rolesNamedInScript(script),
        (QStringList{u"guru"_s, u"Kepala Sekolah"_s, u"operator_lo"_s, u"penilai"_s, u"penerima"_s,
                     u"pembuat"_s, u"penambah"_s, u"pencabut"_s, u"pemetaan"_s, u"O\"Brien"_s}));
}

void ArchiveDatabaseTest::createDatabaseIsRead_data()
{
    QTest::addColumn<QByteArray>("statement");
    QTest::addColumn<QString>("name");
    QTest::addColumn<DatabaseLocale>("locale");

    QTest::newRow("15, libc") << "CREATE DATABASE pendataan WITH TEMPLATE = template0 ENCODING = "
                                 "'UTF8' LOCALE_PROVIDER = libc LOCALE = 'C';"_ba
                              << u"pendataan"_s << libc(u"UTF8"_s, u"C"_s);
    QTest::newRow("Windows, before 15")
        << "CREATE DATABASE \"Data Sekolah\" WITH TEMPLATE = template0 ENCODING = 'WIN1252' "
           "LC_COLLATE = 'Indonesian_Indonesia.1252' LC_CTYPE = 'English_United States.1252';"_ba
        << u"Data Sekolah"_s
        << locale(u"WIN1252"_s, u"Indonesian_Indonesia.1252"_s, u"English_United States.1252"_s);
    QTest::newRow("15, ICU")
        << "CREATE DATABASE pendataan WITH TEMPLATE = template0 ENCODING = 'UTF8' "
           "LOCALE_PROVIDER = icu LOCALE = 'en_US.UTF-8' ICU_LOCALE = 'id-ID';"_ba
        << u"pendataan"_s
        << locale(u"UTF8"_s, u"en_US.UTF-8"_s, u"en_US.UTF-8"_s, u"icu"_s, u"id-ID"_s);
    QTest::newRow("no encoding: the script's")
        << "CREATE DATABASE pendataan WITH TEMPLATE = template0 LOCALE = 'C';"_ba << u"pendataan"_s
        << locale(u"UTF8"_s, u"C"_s, u"C"_s);
}

void ArchiveDatabaseTest::createDatabaseIsRead()
{
    QFETCH(QByteArray, statement);
    QFETCH(QString, name);
    QFETCH(DatabaseLocale, locale);

    const auto database = ranupa::archiveDatabaseFromScript(scriptHead + statement);
    QVERIFY(database);
    QCOMPARE(database->name, name);
    QCOMPARE(database->locale, locale);
    QVERIFY(!ranupa::archiveDatabaseFromScript(scriptHead));
}

// pg_restore --create's script of the database's own entries, from a backup of another
// database: written anew for pendataan, without what would change another database or fail.
void ArchiveDatabaseTest::settingsScriptAppliesToPendataan()
{
    const QByteArray script = "\\restrict K1\n" + scriptHead + R"sql(
CREATE DATABASE sekolah_lain WITH TEMPLATE = template0 ENCODING = 'UTF8' LOCALE = 'C';
ALTER DATABASE sekolah_lain OWNER TO postgres;
\unrestrict K1
\connect sekolah_lain
\restrict K1
COMMENT ON DATABASE sekolah_lain IS 'Salinan dari DATABASE sekolah_lain';
SECURITY LABEL FOR selinux ON DATABASE sekolah_lain IS 'system_u:object_r:sepgsql_db_t:s0';
ALTER DATABASE sekolah_lain CONNECTION LIMIT = 25;
ALTER DATABASE sekolah_lain IS_TEMPLATE = true;
ALTER DATABASE sekolah_lain SET "DateStyle" TO 'ISO, DMY';
ALTER ROLE guru IN DATABASE sekolah_lain SET search_path TO 'public', E'"$user"\x41';
REVOKE CONNECT,TEMPORARY ON DATABASE sekolah_lain FROM PUBLIC;
GRANT CONNECT ON DATABASE sekolah_lain TO guru;
SET SESSION AUTHORIZATION guru;
GRANT CONNECT ON DATABASE sekolah_lain TO "tata usaha";
\unrestrict K1
)sql";
    const ranupa::DatabaseSettings settings = ranupa::databaseSettings(script);
    QCOMPARE(settings.refused, QString());
    QCOMPARE(settings.encoding, "UTF8");
    QCOMPARE(ranupa::settingsFor(settings, u"ranupa_helper_uji"_s),
             "COMMENT ON DATABASE \"ranupa_helper_uji\" IS 'Salinan dari DATABASE sekolah_lain';\n"
             "SECURITY LABEL FOR selinux ON DATABASE \"ranupa_helper_uji\" IS "
             "'system_u:object_r:sepgsql_db_t:s0';\n"
             "ALTER DATABASE \"ranupa_helper_uji\" CONNECTION LIMIT = 25;\n"
             "ALTER DATABASE \"ranupa_helper_uji\" IS_TEMPLATE = true;\n"
             "ALTER DATABASE \"ranupa_helper_uji\" SET \"DateStyle\" TO 'ISO, DMY';\n"
             "ALTER ROLE guru IN DATABASE \"ranupa_helper_uji\" SET search_path TO 'public', "
             "'\"$user\"A';\n"
             "REVOKE CONNECT, TEMPORARY ON DATABASE \"ranupa_helper_uji\" FROM PUBLIC;\n"
             "GRANT CONNECT ON DATABASE \"ranupa_helper_uji\" TO guru;\n"
             "SET SESSION AUTHORIZATION guru;\n"
             "GRANT CONNECT ON DATABASE \"ranupa_helper_uji\" TO \"tata usaha\";\n"
             "RESET SESSION AUTHORIZATION;\n");

    // Nothing but the session setup: nothing to run.
    QCOMPARE(ranupa::databaseSettings(scriptHead +
                                      "CREATE DATABASE pendataan WITH ENCODING = 'UTF8';\n"
                                      "ALTER DATABASE pendataan OWNER TO postgres;\n"
                                      "\\connect pendataan\n" +
                                      scriptHead)
                 .statements,
             QByteArray());
}

// The archive's text is never run: anything but a setting of the archive's own database refuses
// the restore, however it hides.
void ArchiveDatabaseTest::settingsScriptRefusesOtherStatements_data()
{
    QTest::addColumn<QByteArray>("entries");
    QTest::addColumn<QString>("refused");

    QTest::newRow("statement after a comment")
        << "COMMENT ON DATABASE pendataan IS 'x'; CREATE ROLE jahat SUPERUSER;"_ba
        << u"CREATE ROLE jahat SUPERUSER;"_s;
    QTest::newRow("program on the server")
        << "COPY (SELECT 1) TO PROGRAM 'id';"_ba << u"COPY (SELECT 1) TO PROGRAM 'id';"_s;
    QTest::newRow("backslash hidden by standard_conforming_strings")
        << "SET standard_conforming_strings = off;\n"
           "COMMENT ON DATABASE pendataan IS 'a\\';\n\\! touch /tmp/ranupa-jahat\n';"_ba
        << u"\\! touch /tmp/ranupa-jahat"_s;
    QTest::newRow("another database") << "ALTER DATABASE postgres SET work_mem TO '1MB';"_ba
                                      << u"ALTER DATABASE postgres SET work_mem TO '1MB';"_s;
    QTest::newRow("tablespace") << "ALTER DATABASE pendataan SET TABLESPACE lain;"_ba
                                << u"ALTER DATABASE pendataan SET TABLESPACE lain;"_s;
    QTest::newRow("expression in a grant")
        << "GRANT CONNECT ON DATABASE pendataan TO guru, (SELECT 1);"_ba
        << u"GRANT CONNECT ON DATABASE pendataan TO guru, (SELECT 1);"_s;
    QTest::newRow("grant on another database too")
        << "GRANT ALL ON DATABASE pendataan, postgres TO guru WITH GRANT OPTION;"_ba
        << u"GRANT ALL ON DATABASE pendataan, postgres TO guru WITH GRANT OPTION;"_s;
    // psql drops what follows a NUL on its line, which joins the next line to the statement.
    QTest::newRow("NUL byte") << "COMMENT ON DATABASE pendataan IS 'a\0';\n"_ba
                              << u"COMMENT ON DATABASE pendataan IS 'a\\x00';"_s;
    QTest::newRow("escaped NUL") << "COMMENT ON DATABASE pendataan IS E'a\\000';\n\\! id\n"_ba
                                 << u"COMMENT ON DATABASE pendataan IS E'a\\000';"_s;
    QTest::newRow("carriage return") << "COMMENT ON DATABASE pendataan IS 'a\rb';"_ba
                                     << u"COMMENT ON DATABASE pendataan IS 'a\\x0db';"_s;
    QTest::newRow("client-only encoding")
        << "SET client_encoding = 'SJIS';\nCOMMENT ON DATABASE pendataan IS 'x';"_ba
        << u"SET client_encoding = 'SJIS';"_s;
}

void ArchiveDatabaseTest::settingsScriptRefusesOtherStatements()
{
    QFETCH(QByteArray, entries);
    QFETCH(QString, refused);
    const ranupa::DatabaseSettings settings = ranupa::databaseSettings(
        scriptHead + "CREATE DATABASE pendataan WITH ENCODING = 'UTF8';\n" + entries);
    QCOMPARE(settings.refused, refused);
    QCOMPARE(settings.statements, QByteArray());
}

void ArchiveDatabaseTest::localeChoice_data()
{
    QTest::addColumn<DatabaseLocale>("archive");
    QTest::addColumn<ranupa::ServerLocaleFacts>("server");
    QTest::addColumn<std::optional<DatabaseLocale>>("expected");
    QTest::addColumn<bool>("noted");

    const QString indonesian = u"Indonesian_Indonesia.1252"_s;
    const DatabaseLocale windowsLatin = locale(u"WIN1252"_s, indonesian, indonesian);
    const DatabaseLocale windowsUtf8 = locale(u"UTF8"_s, indonesian, indonesian);
    const auto server = [](const DatabaseLocale& defaults, const QString& problem,
                           bool windows = false, int version = 150018) {
        return ranupa::ServerLocaleFacts{.version = version,
                                         .windows = windows,
                                         .defaults = defaults,
                                         .archiveLocaleProblem = problem};
    };
    const DatabaseLocale linuxUtf8 = libc(u"UTF8"_s, u"en_US.UTF-8"_s);
    const DatabaseLocale linuxC = libc(u"LATIN1"_s, u"C"_s);
    const QString lacks = u"could not create locale"_s;

    QTest::newRow("server has it")
        << windowsLatin << server(linuxUtf8, {}) << std::optional(windowsLatin) << false;
    QTest::newRow("lacks it, C fits any encoding")
        << windowsLatin << server(linuxC, lacks) << std::optional(libc(u"WIN1252"_s, u"C"_s))
        << true;
    QTest::newRow("lacks it, same encoding")
        << windowsUtf8 << server(linuxUtf8, lacks) << std::optional(linuxUtf8) << true;
    QTest::newRow("lacks it, encodings differ")
        << windowsLatin << server(linuxUtf8, lacks) << std::optional<DatabaseLocale>() << false;
    const QString english = u"English_United States.1252"_s;
    QTest::newRow("Windows takes UTF8 with any locale")
        << windowsUtf8 << server(libc(u"WIN1252"_s, english), lacks, true)
        << std::optional(libc(u"UTF8"_s, english)) << true;
    QTest::newRow("ICU on a server before 15")
        << locale(u"UTF8"_s, u"C"_s, u"C"_s, u"icu"_s, u"id-ID"_s)
        << server(locale(u"LATIN1"_s, u"C"_s, u"C"_s), {}, false, 140011)
        << std::optional(locale(u"UTF8"_s, u"C"_s, u"C"_s)) << true;
}

void ArchiveDatabaseTest::localeChoice()
{
    QFETCH(DatabaseLocale, archive);
    QFETCH(ranupa::ServerLocaleFacts, server);
    QFETCH(std::optional<DatabaseLocale>, expected);
    QFETCH(bool, noted);

    const ranupa::LocaleChoice choice = ranupa::chooseDatabaseLocale(archive, server);
    QCOMPARE(choice.locale, expected);
    QCOMPARE(!choice.note.isEmpty(), noted);
    // A refusal says why and names both sides.
    QCOMPARE(choice.problem.isEmpty(), expected.has_value());
    if (!expected) {
        QVERIFY(choice.problem.contains(archive.ctype));
        QVERIFY(choice.problem.contains(server.defaults.encoding));
    }
}

// The locale comes from the backup file: whatever it holds, the statement creates exactly the
// database named.
void ArchiveDatabaseTest::createStatementReachesPsqlWhole()
{
    const DatabaseLocale awkward = libc(u"UTF8"_s, u"Norwegian (Bokm\u00e5l)_O'Neil\"s \\x.1252"_s);
    const QString locale = u"E'Norwegian (Bokm\u00e5l)_O''Neil\"s \\\\x.1252'"_s;
    QCOMPARE(
        ranupa::createUnfinishedDatabase(u"baru"_s, ranupa::createDatabaseOptions(awkward, 150018)),
        u"CREATE DATABASE baru WITH OWNER=postgres TEMPLATE=template0 ENCODING='UTF8' "
        u"LC_COLLATE=%1 LC_CTYPE=%1 LOCALE_PROVIDER=libc TABLESPACE=pg_default "
        u"CONNECTION LIMIT=-1 ALLOW_CONNECTIONS=false"_s.arg(locale));

    // Servers before 15 know no LOCALE_PROVIDER.
    QCOMPARE(ranupa::createDatabaseOptions(libc(u"LATIN1"_s, u"C"_s), 140011),
             u"OWNER=postgres TEMPLATE=template0 ENCODING='LATIN1' LC_COLLATE='C' LC_CTYPE='C' "
             u"TABLESPACE=pg_default CONNECTION LIMIT=-1"_s);
}

void ArchiveDatabaseTest::firstErrorsQuoteTheCause()
{
    ranupa::ToolResult result;
    result.started = true;
    result.exitCode = 1;
    result.rawOutput = "pg_restore: connecting to database for restore\n"
                       "pg_restore: creating TABLE \"public.a\"\n"
                       "pg_restore: while PROCESSING TOC:\n"
                       "pg_restore: from TOC entry 214; 1259 16577 TABLE a hilang\n"
                       "pg_restore: error: could not execute query: ERROR:  role \"hilang\" does "
                       "not exist\n"
                       "Command was: ALTER TABLE public.a OWNER TO hilang;\n"
                       "\n"
                       "pg_restore: processing data for table \"public.a\"\n"
                       "pg_restore: error: COPY failed for table \"b\": ERROR:  value too long\n"
                       "DETAIL:  Failing row contains (1).\n"
                       "pg_restore: creating INDEX \"public.b_idx\"\n"
                       "pg_restore: error: could not execute query: ERROR:  third\n"
                       "pg_restore: error: could not execute query: ERROR:  fourth\n"
                       "pg_restore: warning: errors ignored on restore: 4\n";
    QCOMPARE(ranupa::firstToolErrors(result),
             u"pg_restore: from TOC entry 214; 1259 16577 TABLE a hilang\n"
             u"pg_restore: error: could not execute query: ERROR:  role \"hilang\" does not "
             u"exist\n"
             u"Command was: ALTER TABLE public.a OWNER TO hilang;\n\n"
             u"pg_restore: error: COPY failed for table \"b\": ERROR:  value too long\n"
             u"DETAIL:  Failing row contains (1).\n\n"
             u"pg_restore: error: could not execute query: ERROR:  third"_s);

    result.rawOutput = "pg_restore: creating TABLE \"public.a\"\n"
                       "pg_restore: warning: errors ignored on restore: 1\n";
    QCOMPARE(ranupa::firstToolErrors(result), QString());
}

void ArchiveDatabaseTest::serverProbeAnswersAreRead()
{
    const QStringList roles{u"guru"_s, u"Kepala Sekolah"_s, u"penilai"_s};
    const QByteArray answer =
        "150018,f,LATIN1,C,C,c,,\"could not create locale \"\"xx\"\": No such file\",2 3\n";
    const auto probe = ranupa::parseServerProbe(ranupa::csvRows(answer), roles);
    QVERIFY(probe);
    QCOMPARE(probe->facts.version, 150018);
    QCOMPARE(probe->facts.defaults, libc(u"LATIN1"_s, u"C"_s));
    QCOMPARE(probe->missingRoles, (QStringList{u"Kepala Sekolah"_s, u"penilai"_s}));
    QCOMPARE(probe->facts.archiveLocaleProblem, u"could not create locale \"xx\": No such file"_s);

    const auto available =
        ranupa::parseServerProbe(ranupa::csvRows("150018,f,LATIN1,C,C,c,,ok,\n"), roles);
    QVERIFY(available && available->missingRoles.isEmpty() &&
            available->facts.archiveLocaleProblem.isEmpty());
    // Cut short, it proves nothing: no answer at all rather than a wrong one.
    QVERIFY(!ranupa::parseServerProbe(ranupa::csvRows(answer.left(answer.indexOf(",C"))), roles));
}

QTEST_GUILESS_MAIN(ArchiveDatabaseTest)
#include "test_archivedatabase.moc"
