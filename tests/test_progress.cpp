// What the progress of a backup or restore counts, from the tools' own lines and what the server
// says of pg_dump's session.
#include "core/model/progress.h"
#include "core/pg/tools.h"

#include <QTest>

using namespace Qt::StringLiterals;
using ranupa::DumpProgress;
using ranupa::ProgressMeasure;
using ranupa::StepKind;
using ranupa::StepPlan;

namespace {

QString dumping(const QString& table)
{
    return u"pg_dump: dumping contents of table \"%1\""_s.arg(table);
}

// The one row of the server's answer about pg_dump's session, as psql writes it.
QStringList serverRow(QByteArrayView csv)
{
    return ranupa::csvRows(csv).value(0);
}

// Two tables: one whose rows the server has counted, one it never has.
ranupa::DumpTables twoTables()
{
    return {{16412, {.name = u"public.nilai"_s, .rows = 1000, .bytes = 81920}},
            {16432, {.name = u"public.foto"_s, .rows = -1, .bytes = 40000}}};
}

} // namespace

class ProgressTest final : public QObject
{
    Q_OBJECT

private slots:
    void dumpCountsATableOnceItIsDone();
    void serverMovesTheBarWithinTheTableBeingCopied();
    void restoreCountsEveryLoadedEntryAndNothingElse();
    void tablesAreReadFromPsqlsAnswer();
    void texts_data();
    void texts();
    void elapsedTimes();
    void oneBarOverTheSteps_data();
    void oneBarOverTheSteps();
};

// pg_dump names a table when it begins on it: it is done only when pg_dump goes on to anything
// else, or ends well.
void ProgressTest::dumpCountsATableOnceItIsDone()
{
    DumpProgress tables;
    tables.setTables(twoTables());
    QVERIFY(!tables.take(u"pg_dump: reading user-defined tables"_s));
    QVERIFY(!tables.take(dumping(u"public.nilai"_s)));
    QCOMPARE(tables.measure().done, 0);
    QVERIFY(tables.take(dumping(u"public.foto"_s)));
    QVERIFY(tables.take(u"pg_dump: saving large objects"_s));
    QVERIFY(!tables.take(u"pg_dump: creating TABLE \"public.nilai\""_s));
    QCOMPARE(tables.measure().done, 2);
    QCOMPARE(tables.measure().percent(), 100);
    tables.finish(); // nothing was running: nothing more is done
    QCOMPARE(tables.measure().done, 2);

    // A table created after the list: the total grows rather than the bar running past it, also
    // when the list comes in while pg_dump is under way already.
    for (const bool late : {false, true}) {
        DumpProgress short_;
        const ranupa::DumpTables list{{1, {.name = u"public.a"_s}}};
        short_.setTables(late ? ranupa::DumpTables() : list);
        short_.take(dumping(u"public.a"_s));
        short_.take(dumping(u"public.b"_s));
        QCOMPARE(short_.measure().isDeterminate(), !late);
        short_.setTables(list);
        QCOMPARE(short_.measure().percent(), 50);
        short_.finish();
        QCOMPARE(short_.measure().done, 2);
        QCOMPARE(short_.measure().total, 2);
    }
}

void ProgressTest::serverMovesTheBarWithinTheTableBeingCopied()
{
    DumpProgress dump;
    dump.setTables(twoTables());
    dump.take(dumping(u"public.nilai"_s));
    dump.takeServerRow(serverRow("f,16412,250,20000,0"));
    QCOMPARE(dump.measure().percent(), 12); // a quarter of the first of two tables
    QCOMPARE(dump.measure().table, u"public.nilai"_s);
    // The server ahead of the lines read, or an answer that came late: the bar never goes back.
    dump.takeServerRow(serverRow("f,16432,10,9000,0"));
    dump.takeServerRow(serverRow("f,16412,100,8000,0"));
    QCOMPARE(dump.measure().percent(), 12);
    // More rows than the estimate: the table is never done before pg_dump says so.
    dump.takeServerRow(serverRow("f,16412,5000,400000,0"));
    QCOMPARE(dump.measure().percent(), 49);

    // Without an estimate of the rows, the bytes against the table's size.
    dump.take(dumping(u"public.foto"_s));
    QCOMPARE(dump.measure().percent(), 50);
    dump.takeServerRow(serverRow("f,16432,7,30000,0"));
    QCOMPARE(dump.measure().percent(), 87);

    dump.takeServerRow(serverRow("t,0,0,0,16412"));
    QVERIFY(dump.measure().waiting);
    QCOMPARE(dump.measure().table, u"public.nilai"_s);
    QCOMPARE(dump.measure().percent(), 87);
    dump.takeServerRow({}); // the session has ended
    QVERIFY(!dump.measure().waiting);
}

void ProgressTest::restoreCountsEveryLoadedEntryAndNothingElse()
{
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
    QCOMPARE(std::count_if(lines.cbegin(), lines.cend(),
                           [](const QString& line) { return ranupa::restoresItem(line); }),
             4);
}

void ProgressTest::tablesAreReadFromPsqlsAnswer()
{
    // In CSV as psql writes it: a name may hold commas, quotes and line ends.
    const ranupa::DumpTables tables = ranupa::dumpTables(ranupa::csvRows(
        "16412,3000,245760,public.peserta_didik\r\n16432,-1,0,\"data,\"\"x\"\".tabel\naneh\"\n"));
    QCOMPARE(tables.size(), 2);
    QCOMPARE(tables.value(16412).name, u"public.peserta_didik"_s);
    QCOMPARE(tables.value(16412).rows, 3000);
    QCOMPARE(tables.value(16412).bytes, 245760);
    QCOMPARE(tables.value(16432).name, u"data,\"x\".tabel\naneh"_s);
    QCOMPARE(tables.value(16432).rows, -1);
    QVERIFY(ranupa::dumpTables(ranupa::csvRows("psql: error: connection refused")).isEmpty());
}

void ProgressTest::texts_data()
{
    QTest::addColumn<ProgressMeasure>("measure");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("percent");

    constexpr auto tables = ProgressMeasure::Unit::Tables;
    const QString nilai = u"public.nilai"_s;
    QTest::newRow("tables") << ProgressMeasure{.unit = tables,
                                               .done = 3,
                                               .total = 5,
                                               .bytesWritten = 13'002'342}
                            << u"3 dari 5 tabel selesai, 12,4 MB ditulis"_s << 60;
    QTest::newRow("within a table")
        << ProgressMeasure{.unit = tables,
                           .done = 3,
                           .total = 5,
                           .partOfNext = 0.4,
                           .table = nilai,
                           .bytesWritten = 13'002'342}
        << u"3 dari 5 tabel selesai (public.nilai: 40%)"_s << 68; // the file grows after it
    QTest::newRow("waiting")
        << ProgressMeasure{.unit = tables, .done = 3, .total = 5, .table = nilai, .waiting = true}
        << u"Menunggu tabel public.nilai yang sedang dikunci pengguna lain"_s << 60;
    QTest::newRow("no total") << ProgressMeasure{.unit = tables,
                                                 .done = 3,
                                                 .bytesWritten = 13'002'342}
                              << u"3 tabel selesai, 12,4 MB ditulis"_s << -1;
    QTest::newRow("load") << ProgressMeasure{.done = 3 << 20, .total = 12 << 20, .itemsLoaded = 7}
                          << u"3,0 MB dari 12,0 MB dibaca, 7 objek database selesai"_s << 25;
}

void ProgressTest::texts()
{
    QFETCH(ProgressMeasure, measure);
    QFETCH(QString, text);
    QFETCH(int, percent);
    QCOMPARE(ranupa::progressText(measure), text);
    QCOMPARE(measure.percent(), percent);
}

void ProgressTest::elapsedTimes()
{
    QCOMPARE(ranupa::elapsedText(7'900), u"0:07"_s);
    QCOMPARE(ranupa::elapsedText(765'000), u"12:45"_s);
    QCOMPARE(ranupa::elapsedText(3'723'000), u"1:02:03"_s);
}

void ProgressTest::oneBarOverTheSteps_data()
{
    QTest::addColumn<StepPlan>("plan");
    QTest::addColumn<QList<StepKind>>("steps"); // as they begin
    QTest::addColumn<QList<int>>("measured");   // each step's own percent, in turn
    QTest::addColumn<QList<int>>("starts");     // where the bar is as each step begins

    constexpr qint64 mb = 1 << 20;
    const QList<int> steadily{0, 25, 50, 75, 100};
    const QList restore{StepKind::SafetyBackup, StepKind::Load, StepKind::Swap};
    const auto restorePlan = [](qint64 databaseBytes) {
        return StepPlan()
            .sized(StepKind::SafetyBackup, u"backup pengaman"_s, databaseBytes)
            .sized(StepKind::Load, u"memuat"_s, 100 * mb)
            .fixed(StepKind::Swap, u"mengganti"_s, 5);
    };
    QTest::newRow("restore with a safety backup")
        << restorePlan(300 * mb) << restore << steadily << QList{0, 71, 95};
    QTest::newRow("database size unknown: an average share")
        << restorePlan(0) << restore << steadily << QList{0, 47, 95};
    QTest::newRow("restore without one")
        << StepPlan()
               .sized(StepKind::Load, u"memuat"_s, 100 * mb)
               .fixed(StepKind::Swap, u"mengganti"_s, 5)
        << QList{StepKind::Load, StepKind::Swap} << steadily << QList{0, 95};
    QTest::newRow("a measure that falls back, a step not planned")
        << StepPlan()
               .sized(StepKind::Backup, u"menulis"_s, 100 * mb)
               .sized(StepKind::Load, u"memuat"_s, 100 * mb)
               .fixed(StepKind::Compare, u"membandingkan"_s, 10)
        << QList{StepKind::Backup, StepKind::Examine, StepKind::Load, StepKind::Compare}
        << QList{0, 60, 50, 100} << QList{0, 45, 45, 90};
    QTest::newRow("fixed shares alone")
        << StepPlan()
               .fixed(StepKind::Examine, u"memeriksa"_s, 5)
               .fixed(StepKind::Compare, u"membandingkan"_s, 15)
        << QList{StepKind::Examine, StepKind::Compare} << steadily << QList{0, 25};
    QTest::newRow("a lone step") << StepPlan().sized(StepKind::Backup, u"menulis"_s, 0)
                                 << QList{StepKind::Backup} << steadily << QList{0};
}

// Over a whole operation the bar never goes back and moves on from step to step, each numbered
// in its plan; it reaches 100 only once the plan is finished.
void ProgressTest::oneBarOverTheSteps()
{
    QFETCH(StepPlan, plan);
    QFETCH(QList<StepKind>, steps);
    QFETCH(QList<int>, measured);
    QFETCH(QList<int>, starts);
    ranupa::PlanProgress bar;
    QVERIFY(!bar.begin(steps[0])); // no plan yet
    bar.setPlan(plan);
    int shown = 0;
    QString title;
    for (qsizetype i = 0; i < steps.size(); ++i) {
        if (const std::optional<ranupa::PlanPosition> start = bar.begin(steps[i])) {
            shown = start->percent;
            title = start->title;
        }
        QCOMPARE(shown, starts[i]);
        const std::optional<qsizetype> index = plan.indexOf(steps[i]);
        if (index && plan.count() > 1) {
            QVERIFY2(title.startsWith(u"Langkah %1 dari %2: "_s.arg(*index + 1).arg(plan.count())),
                     qPrintable(title));
        }
        for (const int percent : measured) {
            if (const auto position = bar.take({.done = percent, .total = 100})) {
                QVERIFY2(position->percent >= shown && position->percent < 100,
                         qPrintable(QString::number(position->percent)));
                shown = position->percent;
            }
        }
    }
    QVERIFY(title.isEmpty() == (plan.count() == 1));
    QCOMPARE(bar.finish()->percent, 100);
}

QTEST_GUILESS_MAIN(ProgressTest)
#include "test_progress.moc"
