// Reading an archive's table of contents as pg_restore --list prints it.
#include "core/pg/archive.h"

#include <QTest>
#include <QTimeZone>

using namespace Qt::StringLiterals;

class ArchiveTocTest final : public QObject
{
    Q_OBJECT

private slots:
    void headerAndTrickyEntries();
    void textWithoutHeaderIsNoArchive();
};

void ArchiveTocTest::headerAndTrickyEntries()
{
    // Lines as pg_restore 15 prints them for a tar archive, with --create, CR LF on one line.
    const QString list = uR"(;
; Archive created at 2026-12-07 23:11:56 UTC
;     dbname: pendataan
;     TOC Entries: 43
;     Compression: 0
;     Dump Version: 1.14-0
;     Format: TAR
;     Dumped from database version: 15.18 (Debian 15.18-0+deb12u1)
;     Dumped by pg_dump version: 15.18 (Debian 15.18-0+deb12u1)
;
; Selected TOC Entries:
;
3400; 1262 16384 DATABASE - pendataan postgres
3401; 0 0 COMMENT - DATABASE pendataan postgres
3402; 0 0 DATABASE PROPERTIES - pendataan postgres
3404; 0 0 SEQUENCE OWNED BY public rombel_rombel_id_seq postgres
230; 1255 16500 FUNCTION public hitung(integer, text) guru
3391; 0 16432 TABLE DATA public mata_pelajaran postgres)"_s
                         u"\r\n"_s
                         uR"(3394; 0 0 BLOBS - BLOBS 
3410; 0 0 ACL - SCHEMA public pg_database_owner
)"_s;
    const std::optional<ranupa::ArchiveToc> toc = ranupa::parseArchiveList(list);
    QVERIFY(toc);
    QCOMPARE(toc->created, QDateTime(QDate(2026, 12, 7), QTime(23, 11, 56), QTimeZone::utc()));
    QCOMPARE(toc->databaseName, u"pendataan"_s);
    QCOMPARE(toc->serverVersion, u"15.18 (Debian 15.18-0+deb12u1)"_s);
    QCOMPARE(toc->entries.size(), 8);

    const auto check = [&](int index, const QString& type, const QString& schema,
                           const QString& name, const QString& owner) {
        const ranupa::ArchiveTocEntry& e = toc->entries.at(index);
        QCOMPARE(e.type, type);
        QCOMPARE(e.schema, schema);
        QCOMPARE(e.name, name);
        QCOMPARE(e.owner, owner);
    };
    check(0, u"DATABASE"_s, u"-"_s, u"pendataan"_s, u"postgres"_s);
    check(1, u"COMMENT"_s, u"-"_s, u"DATABASE pendataan"_s, u"postgres"_s);
    check(2, u"DATABASE PROPERTIES"_s, u"-"_s, u"pendataan"_s, u"postgres"_s);
    check(3, u"SEQUENCE OWNED BY"_s, u"public"_s, u"rombel_rombel_id_seq"_s, u"postgres"_s);
    check(4, u"FUNCTION"_s, u"public"_s, u"hitung(integer, text)"_s, u"guru"_s);
    check(5, u"TABLE DATA"_s, u"public"_s, u"mata_pelajaran"_s, u"postgres"_s);
    check(6, u"BLOBS"_s, u"-"_s, u"BLOBS"_s, QString());
    check(7, u"ACL"_s, u"-"_s, u"SCHEMA public"_s, u"pg_database_owner"_s);
    QCOMPARE(toc->entries.at(5).dumpId, 3391);
    QCOMPARE(toc->entries.at(5).objectOid, 16432u);
    QCOMPARE(toc->entriesOfType(u"TABLE DATA").size(), 1);
}

void ArchiveTocTest::textWithoutHeaderIsNoArchive()
{
    QVERIFY(!ranupa::parseArchiveList(u"pg_restore: error: input file is too short"_s));
    QVERIFY(!ranupa::parseArchiveList(QString()));
}

QTEST_GUILESS_MAIN(ArchiveTocTest)
#include "test_archivetoc.moc"
