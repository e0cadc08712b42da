// The order backups are shown and kept in, from the time in their names.
#include "core/model/wording.h"
#include "core/ops/retention.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class RetentionTest final : public QObject
{
    Q_OBJECT

private slots:
    void newestFirst_data();
    void newestFirst();
    void listingDescribesEachBackup();
    void keepNeverCostsTheBackupJustWritten();
};

void RetentionTest::newestFirst_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("expected");
    // Sorted as text, 15 November 2026 would come first.
    QTest::newRow("day, month, year")
        << QStringList{u"ranupaku02122026080000.dbk"_s, u"ranupaku15112026080000.dbk"_s,
                       u"ranupaku01012027000000.dbk"_s, u"ranupaku08122026080000.dbk"_s}
        << QStringList{u"ranupaku01012027000000.dbk"_s, u"ranupaku08122026080000.dbk"_s,
                       u"ranupaku02122026080000.dbk"_s, u"ranupaku15112026080000.dbk"_s};
    // Within one second by name, so that every listing agrees whatever order it found them in.
    QTest::newRow("safety backups among regular ones")
        << QStringList{u"ranupaku07122026170000.dbk"_s,
                       u"ranupaku08122026091500-sebelum-restore.dbk"_s,
                       u"ranupaku07122026170000-sebelum-restore.dbk"_s,
                       u"ranupaku08122026170000.dbk"_s}
        << QStringList{
               u"ranupaku08122026170000.dbk"_s, u"ranupaku08122026091500-sebelum-restore.dbk"_s,
               u"ranupaku07122026170000.dbk"_s, u"ranupaku07122026170000-sebelum-restore.dbk"_s};
    QTest::newRow("not backups") << QStringList{u"catatan.txt"_s,
                                                u"ranupaku0812202608000.dbk"_s,
                                                u"ranupaku08122026080000-a1b2c3.part"_s,
                                                u"ranupaku08122026080000-sebelum-restore.dbk.bak"_s,
                                                u"ranupaku08122026080000-sebelum.dbk"_s,
                                                u"ranupaku01012026080000.dbk"_s}
                                 << QStringList{u"ranupaku01012026080000.dbk"_s};
}

void RetentionTest::newestFirst()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, expected);
    QCOMPARE(ranupa::backupsNewestFirst(names), expected);
    std::reverse(names.begin(), names.end());
    QCOMPARE(ranupa::backupsNewestFirst(names), expected);
}

void RetentionTest::listingDescribesEachBackup()
{
    QTemporaryDir dir;
    for (const auto& [name, size] : {std::pair{u"ranupaku15112026080000.dbk"_s, 10},
                                     {u"ranupaku01012099080000.dbk"_s, 20},
                                     {u"ranupaku08122026091500-sebelum-restore.dbk"_s, 1536},
                                     {u"catatan.txt"_s, 5}}) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(size));
    }
    QVERIFY(QDir(dir.path()).mkdir(u"ranupaku01012026080000.dbk"_s)); // a folder, not a backup

    const QDateTime now(QDate(2026, 12, 8), QTime(17, 0, 30));
    QStringList lines;
    for (const ranupa::BackupFile& backup : ranupa::listBackups(dir.path())) {
        lines << ranupa::describeBackup(backup, now);
    }
    using ranupa::wording::size;
    QCOMPARE(lines, (QStringList{
                        u"Kamis, 1 Januari 2099 pukul 08.00 | waktu di nama file ada di masa "
                        u"depan | "_s +
                            size(20) + u" | backup biasa | ranupaku01012099080000.dbk"_s,
                        u"Selasa, 8 Desember 2026 pukul 09.15 | 7 jam yang lalu | "_s + size(1536) +
                            u" | backup pengaman sebelum restore | "
                            u"ranupaku08122026091500-sebelum-restore.dbk"_s,
                        u"Minggu, 15 November 2026 pukul 08.00 | 23 hari yang lalu | "_s +
                            size(10) + u" | backup biasa | ranupaku15112026080000.dbk"_s}));
}

void RetentionTest::keepNeverCostsTheBackupJustWritten()
{
    // After the clock went back, older backups may carry later times than the new one. Safety
    // backups are never the retention's to remove.
    const QStringList names = {u"ranupaku01012030080000.dbk"_s, u"ranupaku02012030080000.dbk"_s,
                               u"ranupaku01012026080000.dbk"_s, u"catatan.txt"_s,
                               u"ranupaku01012020080000-sebelum-restore.dbk"_s};
    const QString justWritten = u"ranupaku01012026080000.dbk"_s;
    QCOMPARE(ranupa::backupsToRemove(names, 2, justWritten),
             QStringList{u"ranupaku01012030080000.dbk"_s});
    QCOMPARE(ranupa::backupsToRemove(names, 1, justWritten),
             (QStringList{u"ranupaku02012030080000.dbk"_s, u"ranupaku01012030080000.dbk"_s}));
}

QTEST_GUILESS_MAIN(RetentionTest)
#include "test_retention.moc"
