// The backup file check: the program's own tar walk on small archives made here, and the whole
// check (walk, then pg_restore --list) with Debian's pg_restore in a scratch installation.
#include "archivetesting.h"
#include "core/ops/load.h"
#include "support.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

constexpr int block = 512;

void putOctal(QByteArray& header, int offset, int width, quint64 value)
{
    // width - 1 digits and a NUL, as POSIX tar writes its numeric fields.
    const QByteArray digits = QByteArray::number(value, 8).rightJustified(width - 1, '0');
    header.replace(offset, width, digits + '\0');
}

QByteArray withChecksum(QByteArray header)
{
    header.replace(148, 8, QByteArray(8, ' '));
    quint64 sum = 0;
    for (char c : std::as_const(header)) {
        sum += static_cast<unsigned char>(c);
    }
    header.replace(148, 8, QByteArray::number(sum, 8).rightJustified(6, '0') + '\0' + ' ');
    return header;
}

enum class SizeStyle
{
    Octal,
    Base256,
};

QByteArray tarHeader(const QByteArray& name, quint64 size, char type = '0',
                     SizeStyle style = SizeStyle::Octal, const QByteArray& magic = "ustar\0"_ba)
{
    QByteArray header(block, '\0');
    header.replace(0, name.size(), name);
    putOctal(header, 100, 8, 0600);
    putOctal(header, 108, 8, 0);
    putOctal(header, 116, 8, 0);
    if (style == SizeStyle::Octal) {
        putOctal(header, 124, 12, size);
    } else {
        header[124] = char(0x80);
        for (int i = 0; i < 8; ++i) {
            header[135 - i] = char((size >> (8 * i)) & 0xff);
        }
    }
    putOctal(header, 136, 12, 0);
    header[156] = type;
    header.replace(257, magic.size(), magic);
    if (magic == "ustar\0"_ba) {
        header.replace(263, 2, "00");
    }
    return withChecksum(header);
}

QByteArray padded(QByteArray data)
{
    data.append(QByteArray((block - data.size() % block) % block, '\0'));
    return data;
}

QByteArray member(const QByteArray& name, const QByteArray& data, char type = '0',
                  SizeStyle style = SizeStyle::Octal)
{
    return tarHeader(name, data.size(), type, style) + padded(data);
}

const QByteArray endMarker(2 * block, '\0');

// A small archive shaped like pg_dump's: a table of contents, table data, an empty member and
// one whose size is an exact number of blocks.
QByteArray sampleArchive()
{
    return member("toc.dat", QByteArray(700, 't')) + member("3390.dat", QByteArray(1500, 'd')) +
           member("blobs.toc", {}) + member("3391.dat", QByteArray(block, 'e')) + endMarker;
}

std::optional<QString> problemOf(const QByteArray& bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return ranupa::walkTar(buffer).problem;
}

QString debianPgBin()
{
    const QString fromEnvironment = qEnvironmentVariable("PGBIN");
    return fromEnvironment.isEmpty() ? u"/usr/lib/postgresql/15/bin"_s : fromEnvironment;
}

} // namespace

class ArchiveCheckTest final : public QObject
{
    Q_OBJECT

private slots:
    void tarWalk_data();
    void tarWalk();
    void fileWithoutTarStructure_data();
    void fileWithoutTarStructure();
    void onlyRegularFilesAreRead();
    void dataMembersAgainstTableOfContents_data();
    void dataMembersAgainstTableOfContents();
    void rowsAreCountedWhereTheWalkFoundThem_data();
    void rowsAreCountedWhereTheWalkFoundThem();
    void wholeCheck_data();
    void wholeCheck();
};

void ArchiveCheckTest::tarWalk_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("restorable");
    QTest::addColumn<QString>("reasonWord");

    const QByteArray good = sampleArchive();
    const qsizetype tocEnd = block + 2 * block;       // toc.dat header and data
    const qsizetype tableData = tocEnd + block + 700; // inside 3390.dat's data
    const qsizetype lastMemberEnd = good.size() - 2 * block;

    QTest::newRow("complete") << good << true << QString();
    QTest::newRow("GNU binary size")
        << member("toc.dat", QByteArray(600, 'x'), '0', SizeStyle::Base256) + endMarker << true
        << QString();
    QTest::newRow("old GNU magic")
        << tarHeader("toc.dat", 3, '0', SizeStyle::Octal, "ustar  \0"_ba) + padded("abc") +
               endMarker
        << true << QString();
    QTest::newRow("directory entry ignores its size")
        << tarHeader("dir/", 4096, '5') + member("toc.dat", "x") + endMarker << true << QString();

    QTest::newRow("empty") << QByteArray() << false << u"kosong"_s;
    QTest::newRow("only the end marker") << endMarker << false << u"tidak berisi"_s;
    QTest::newRow("plain text") << QByteArray(3000, 'a') << false << u"bukan arsip"_s;
    QTest::newRow("cut inside the first header") << good.left(300) << false << u"bukan arsip"_s;
    QTest::newRow("cut inside the table of contents")
        << good.left(block + 400) << false << u"toc.dat"_s;
    QTest::newRow("cut inside a table's data") << good.left(tableData) << false << u"3390.dat"_s;
    QTest::newRow("cut inside the padding")
        << good.left(tocEnd + block + 1500 + 10) << false << u"3390.dat"_s;
    QTest::newRow("cut inside a later header") << good.left(tocEnd + 100) << false << u"header"_s;
    QTest::newRow("cut before the end marker")
        << good.left(lastMemberEnd) << false << u"penanda akhir"_s;
    QTest::newRow("cut inside the end marker")
        << good.left(good.size() - block) << false << u"penanda akhir"_s;
    QTest::newRow("cut just before the end")
        << good.left(good.size() - 1) << false << u"penanda akhir"_s;

    QByteArray corrupted = good;
    corrupted[tocEnd + 2] = 'X'; // the second member's name, under its checksum
    QTest::newRow("corrupted header") << corrupted << false << u"tidak valid"_s;

    QByteArray badSizeHeader = tarHeader("3390.dat", 1500);
    badSizeHeader.replace(124, 12, "0000000299\0\0"_ba);
    QTest::newRow("size not octal") << member("toc.dat", "x") + withChecksum(badSizeHeader) +
                                           padded(QByteArray(1500, 'd')) + endMarker
                                    << false << u"ukuran"_s;

    QTest::newRow("size beyond the file")
        << tarHeader("toc.dat", 1ull << 32) + QByteArray(4 * block, 'z') << false << u"toc.dat"_s;
    // pg_dump writes nothing after the end marker: zeros there are a file cut short and filled
    // up, whose first empty block only looks like the end.
    QTest::newRow("zeros after the end marker")
        << good + QByteArray(8 * block, '\0') << false << u"setelah penanda akhir"_s;
    QByteArray zeroFilled = good.left(tableData);
    zeroFilled.append(QByteArray(good.size() - zeroFilled.size(), '\0'));
    QTest::newRow("cut and zero-filled to its size")
        << zeroFilled << false << u"setelah penanda akhir"_s;
    QTest::newRow("lone zero block between members")
        << member("toc.dat", "x") + QByteArray(block, '\0') + member("3390.dat", "y") + endMarker
        << false << u"blok kosong"_s;
}

void ArchiveCheckTest::tarWalk()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, restorable);
    QFETCH(QString, reasonWord);

    const std::optional<QString> problem = problemOf(bytes);
    if (restorable) {
        QVERIFY2(!problem, qPrintable(problem.value_or(QString())));
    } else {
        QVERIFY(problem);
        QVERIFY2(problem->contains(reasonWord, Qt::CaseInsensitive), qPrintable(*problem));
    }
}

void ArchiveCheckTest::fileWithoutTarStructure_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("passes");

    // The custom format has no tar structure to walk; pg_restore --list judges it alone.
    QTest::newRow("custom format") << "PGDMP\x01\x0e\x00"_ba + QByteArray(100, 'c') << true;
    QTest::newRow("text starting like it") << "PGDM"_ba << false;
}

void ArchiveCheckTest::fileWithoutTarStructure()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, passes);

    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(u"ranupaku.dbk"_s), bytes));
    QCOMPARE(!ranupa::scanArchiveFile(dir.filePath(u"ranupaku.dbk"_s)).problem.has_value(), passes);
    QVERIFY(ranupa::scanArchiveFile(dir.filePath(u"missing.dbk"_s)).problem.has_value());
}

// A FIFO would block the open until a writer comes, which may be never.
void ArchiveCheckTest::onlyRegularFilesAreRead()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString fifo = dir.filePath(u"antrian.dbk"_s);
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QList<std::pair<QString, QString>> cases = {
        {fifo, u"FIFO"_s}, {dir.path(), u"folder"_s}, {u"/dev/zero"_s, u"perangkat"_s}};
    for (const auto& [path, kind] : cases) {
        const QElapsedTimer timer = startedTimer();
        const std::optional<QString> problem = ranupa::scanArchiveFile(path).problem;
        QVERIFY(timer.elapsed() < 60'000); // far less than for ever
        QVERIFY2(problem && problem->contains(kind), qPrintable(problem.value_or(path)));
    }
}

void ArchiveCheckTest::dataMembersAgainstTableOfContents_data()
{
    QTest::addColumn<QStringList>("members");
    QTest::addColumn<bool>("withBlobs");
    QTest::addColumn<QString>("missing"); // "" when nothing is

    const QStringList all{u"toc.dat"_s,   u"3390.dat"_s,       u"3391.dat"_s,
                          u"blobs.toc"_s, u"blob_16456.dat"_s, u"restore.sql"_s};
    const auto without = [&all](const QString& member) {
        QStringList rest = all;
        rest.removeAll(member);
        return rest;
    };
    QTest::newRow("whole") << all << true << QString();
    QTest::newRow("the script is not needed") << without(u"restore.sql"_s) << true << QString();
    QTest::newRow("a table's data lost") << without(u"3391.dat"_s) << true << u"3391.dat"_s;
    QTest::newRow("large object list lost") << without(u"blobs.toc"_s) << true << u"blobs.toc"_s;
    QTest::newRow("a large object lost")
        << without(u"blob_16456.dat"_s) << true << u"blob_16456.dat"_s;
    QTest::newRow("no large objects dumped")
        << QStringList{u"toc.dat"_s, u"3390.dat"_s, u"3391.dat"_s} << false << QString();
}

void ArchiveCheckTest::dataMembersAgainstTableOfContents()
{
    QFETCH(QStringList, members);
    QFETCH(bool, withBlobs);
    QFETCH(QString, missing);

    QString list = uR"(;
; Archive created at 2026-12-07 23:19:40 UTC
;     dbname: pendataan
;     Format: TAR
;
216; 1259 16387 TABLE public sekolah postgres
3390; 0 16412 TABLE DATA public peserta_didik postgres
3391; 0 16432 TABLE DATA public mata_pelajaran postgres
3403; 0 0 SEQUENCE SET public nomor_induk_seq postgres
)"_s;
    if (withBlobs) {
        list += u"3393; 2613 16456 BLOB - 16456 postgres\n3394; 0 0 BLOBS - BLOBS \n"_s;
    }
    const std::optional<ranupa::ArchiveToc> toc = ranupa::parseArchiveList(list);
    QVERIFY(toc);
    ranupa::TarMembers memberSet;
    for (const QString& name : std::as_const(members)) {
        memberSet.insert(name, {});
    }
    const std::optional<QString> problem = ranupa::missingDataMembers(*toc, memberSet);
    if (missing.isEmpty()) {
        QVERIFY2(!problem, qPrintable(problem.value_or(QString())));
    } else {
        QVERIFY(problem);
        QVERIFY2(problem->contains(missing), qPrintable(*problem));
    }
}

void ArchiveCheckTest::rowsAreCountedWhereTheWalkFoundThem_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<qint64>("rows"); // -1: not countable

    QTest::newRow("empty table") << "\\.\n\n\n"_ba << qint64(0);
    QTest::newRow("rows") << "1\tAni\n2\t\\N\n3\tBudi\\nBaris\n\\.\n\n"_ba << qint64(3);
    // The server stops at the first "\." line and drops the rest: counted, it shows as missing.
    QTest::newRow("end marker half-way") << "1\n\\.\n2\n\\.\n\n"_ba << qint64(3);
    QTest::newRow("cut short") << "1\n2\n"_ba << qint64(-1);
    QTest::newRow("no line end") << "1\n\\."_ba << qint64(-1);
    QTest::newRow("end marker not alone") << "1\n2\\.\n\n"_ba << qint64(-1);
}

// The walk says where each member's data lies, and the rows are counted there, in the archive
// itself.
void ArchiveCheckTest::rowsAreCountedWhereTheWalkFoundThem()
{
    QFETCH(QByteArray, data);
    QFETCH(qint64, rows);

    QBuffer buffer;
    buffer.setData(member("toc.dat", QByteArray(700, 't')) + member("3390.dat", data) +
                   member("3391.dat", "9\n\\.\n\n") + endMarker);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    const ranupa::TarWalk walk = ranupa::walkTar(buffer);
    QVERIFY(!walk.problem);
    const ranupa::TarMember found = walk.members.value(u"3390.dat"_s);
    QCOMPARE(found.offset, 4 * block);
    QCOMPARE(found.size, data.size());
    const std::optional<qint64> counted = ranupa::countDataRows(buffer, found);
    QCOMPARE(counted.value_or(-1), rows);
}

void ArchiveCheckTest::wholeCheck_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("withPgRestore");
    QTest::addColumn<bool>("pgRestoreRuns");

    QTest::newRow("tar that is no backup") << sampleArchive() << true << true;
    QTest::newRow("custom-format header only")
        << "PGDMP\x01\x0e\x00\x04\x08\x01"_ba << true << true;
    QTest::newRow("cut archive never reaches pg_restore")
        << sampleArchive().left(3000) << true << false;
    QTest::newRow("pg_restore missing") << sampleArchive() << false << true;
}

// The check runs pg_restore under a scratch installation, as the program does under the real one.
void ArchiveCheckTest::wholeCheck()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, withPgRestore);
    QFETCH(bool, pgRestoreRuns);

    const QString pgRestore = debianPgBin() + u"/pg_restore"_s;
    if (!QFile::exists(pgRestore)) {
        QSKIP("Debian's pg_restore is not installed");
    }
    QTemporaryDir install;
    QVERIFY(makeInstallation(install.path(), {}, debianPgBin(),
                             withPgRestore ? QStringList{u"pg_restore"_s} : QStringList()));
    const QString archive = install.filePath(u"backup with spaces.dbk"_s);
    QVERIFY(writeFile(archive, bytes));

    const CurrentDirectory inInstall(install.path());
    const QElapsedTimer timer = startedTimer();
    const std::optional<ranupa::Failure> failure = archiveCheckFailure(archive, 30'000);

    QVERIFY(timer.elapsed() < 30'000);
    QVERIFY(failure);
    QVERIFY(!failure->details.isEmpty());
    QCOMPARE(failure->step.contains(u"pg_restore"_s), pgRestoreRuns);
}

QTEST_GUILESS_MAIN(ArchiveCheckTest)
#include "test_archivecheck.moc"
