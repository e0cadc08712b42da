// The order backups are shown and kept in, from the time in their names.
#include "core/retention.h"
#include "core/wording.h"

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
    // Sorted as text, 15 November would come first.
    QTest::newRow("day before month")
        << QStringList{u"ranupaku02122026080000.dbk"_s, u"ranupaku15112026080000.dbk"_s,
                       u"ranupaku08122026080000.dbk"_s}
        << QStringList{u"ranupaku08122026080000.dbk"_s, u"ranupaku02122026080000.dbk"_s,
                       u"ranupaku15112026080000.dbk"_s};
    QTest::newRow("across a year")
        << QStringList{u"ranupaku31122025235959.dbk"_s, u"ranupaku01012026000000.dbk"_s}
        << QStringList{u"ranupaku01012026000000.dbk"_s, u"ranupaku31122025235959.dbk"_s};
    QTest::newRow("safety backups among regular ones")
        << QStringList{u"ranupaku07122026170000.dbk"_s,
                       u"ranupaku08122026091500-sebelum-restore.dbk"_s,
                       u"ranupaku08122026170000.dbk"_s}
        << QStringList{u"ranupaku08122026170000.dbk"_s,
                       u"ranupaku08122026091500-sebelum-restore.dbk"_s,
                       u"ranupaku07122026170000.dbk"_s};
    // Whatever the order they were found in, the windows and the command line agree.
    QTest::newRow("one second, both kinds")
        << QStringList{u"ranupaku08122026170000-sebelum-restore.dbk"_s,
                       u"ranupaku08122026170000.dbk"_s}
        << QStringList{u"ranupaku08122026170000.dbk"_s,
                       u"ranupaku08122026170000-sebelum-restore.dbk"_s};
    QTest::newRow("not backups") << QStringList{u"catatan.txt"_s,
                                                u"ranupaku0812202608000.dbk"_s,
                                                u"RANUPAKU08122026080000.dbk"_s,
                                                u"ranupaku32132026080000.dbk"_s,
                                                u"ranupaku08122026080000-a1b2c3.part"_s,
                                                u"ranupaku08122026080000-sebelum-restore.dbk.bak"_s,
                                                u"ranupaku08122026080000-sebelum.dbk"_s,
                                                u"salinan ranupaku08122026080000.dbk"_s,
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
    const QList<std::pair<QString, int>> files = {
        {u"ranupaku15112026080000.dbk"_s, 10},
        {u"ranupaku08122026091500-sebelum-restore.dbk"_s, 1536},
        {u"catatan.txt"_s, 5},
        {u"ranupaku08122026170000.dbk"_s, 3 << 20},
    };
    for (const auto& [name, size] : files) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(size));
    }
    QVERIFY(QDir(dir.path()).mkdir(u"ranupaku01012026080000.dbk"_s)); // a folder, not a backup

    const QDateTime now(QDate(2026, 12, 8), QTime(17, 0, 30));
    QStringList lines;
    for (const ranupa::BackupFile& backup : ranupa::listBackups(dir.path())) {
        QCOMPARE(backup.path, dir.filePath(QFileInfo(backup.path).fileName()));
        lines << ranupa::describeBackup(backup, now);
    }
    using ranupa::wording::size;
    QCOMPARE(lines, (QStringList{
                        u"Selasa, 8 Desember 2026 pukul 17.00 | baru saja | "_s + size(3 << 20) +
                            u" | backup biasa | ranupaku08122026170000.dbk"_s,
                        u"Selasa, 8 Desember 2026 pukul 09.15 | 7 jam yang lalu | "_s + size(1536) +
                            u" | backup pengaman sebelum restore | "
                            u"ranupaku08122026091500-sebelum-restore.dbk"_s,
                        u"Minggu, 15 November 2026 pukul 08.00 | 23 hari yang lalu | "_s +
                            size(10) + u" | backup biasa | ranupaku15112026080000.dbk"_s,
                    }));
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
