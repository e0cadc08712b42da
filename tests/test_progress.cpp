// What the progress of a backup or restore counts, from the tools' own lines.
#include "core/progress.h"

#include <QTest>

using namespace Qt::StringLiterals;
using ranupa::ProgressCounter;
using ranupa::ProgressMeasure;

class ProgressTest final : public QObject
{
    Q_OBJECT

private slots:
    void dumpCountsATableOnceItIsDone();
    void restoreCountsEveryLoadedEntryAndNothingElse();
    void tableCountIsReadFromPsqlsAnswer();
    void textsForTheOperator();
};

// pg_dump names a table when it begins on it: it is done only when pg_dump goes on to anything
// else, or ends well.
void ProgressTest::dumpCountsATableOnceItIsDone()
{
    ProgressCounter tables(ProgressMeasure::Unit::Tables, 3);
    QVERIFY(!tables.take(u"pg_dump: reading user-defined tables"_s));
    QVERIFY(!tables.take(u"pg_dump: dumping contents of table \"public.nilai\""_s));
    QCOMPARE(tables.measure().done, 0);
    QVERIFY(tables.take(u"pg_dump: dumping contents of table \"public.rombel\""_s));
    QVERIFY(tables.take(u"pg_dump: saving large objects"_s));
    QVERIFY(!tables.take(u"pg_dump: creating TABLE \"public.nilai\""_s));
    QCOMPARE(tables.measure().done, 2);
    tables.finishLast(); // nothing was running: nothing more is done
    QCOMPARE(tables.measure().done, 2);

    // A table created after the count: the total grows rather than the bar running past it.
    ProgressCounter short_(ProgressMeasure::Unit::Tables, 1);
    short_.take(u"pg_dump: dumping contents of table \"public.a\""_s);
    short_.take(u"pg_dump: dumping contents of table \"public.b\""_s);
    short_.finishLast();
    QCOMPARE(short_.measure().done, 2);
    QCOMPARE(short_.measure().total, 2);
}

void ProgressTest::restoreCountsEveryLoadedEntryAndNothingElse()
{
    ProgressCounter items(ProgressMeasure::Unit::Items, 40);
    const QStringList lines{
        u"pg_restore: connecting to database for restore"_s,
        u"pg_restore: creating TABLE \"public.nilai\""_s,
        u"pg_restore: processing data for table \"public.nilai\""_s,
        u"pg_restore: executing SEQUENCE SET nilai_id_seq"_s,
        u"pg_restore: processing BLOBS"_s,
        u"pg_restore: restoring large object with OID 16456"_s,
        u"pg_restore: restored 1 large object"_s,
        u"pg_restore: while PROCESSING TOC:"_s,
        u"pg_restore: from TOC entry 3235; 2606 16438 CONSTRAINT public nilai nilai_pkey"_s,
        u"pg_restore: error: could not execute query: ERROR:  creating index failed"_s,
        u"Command was: ALTER TABLE ONLY public.nilai"_s,
    };
    for (const QString& line : lines) {
        items.take(line);
    }
    QCOMPARE(items.measure().done, 4);
    QCOMPARE(items.measure().total, 40);
}

void ProgressTest::tableCountIsReadFromPsqlsAnswer()
{
    QCOMPARE(
        ranupa::tableCountFromOutput(u" ?column? \n----------\n tabel:12\n(1 row)\n\n"_s.replace(
            u"tabel:"_s, ranupa::tableCountMarker())),
        12);
    QCOMPARE(ranupa::tableCountFromOutput(u"psql: error: connection refused"_s), -1);
    QCOMPARE(ranupa::tableCountFromOutput(ranupa::tableCountMarker() + u"x"_s), -1);
}

void ProgressTest::textsForTheOperator()
{
    ProgressMeasure dump{ProgressMeasure::Unit::Tables, 3, 5, 13'002'342};
    QCOMPARE(ranupa::progressText(dump), u"3 dari 5 tabel selesai, 12,4 MB ditulis"_s);
    dump.total = 0;
    QCOMPARE(ranupa::progressText(dump), u"3 tabel selesai, 12,4 MB ditulis"_s);
    const ProgressMeasure load{ProgressMeasure::Unit::Items, 7, 37, -1};
    QCOMPARE(ranupa::progressText(load), u"7 dari 37 objek database selesai"_s);

    QCOMPARE(ranupa::elapsedText(7'900), u"0:07"_s);
    QCOMPARE(ranupa::elapsedText(765'000), u"12:45"_s);
    QCOMPARE(ranupa::elapsedText(3'723'000), u"1:02:03"_s);
}

QTEST_GUILESS_MAIN(ProgressTest)
#include "test_progress.moc"
