#include "core/files/installation.h"
#include "support.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

// The value of the first DefDBPort entry, verbatim, as the settings reader finds it.
QString dbPortFromSettings(const QByteArray& settingsBytes)
{
    for (const ranupa::SettingsEntry& entry : ranupa::readSettingsEntries(settingsBytes)) {
        if (entry.key == ranupa::dbPortKey) {
            return entry.value;
        }
    }
    return {};
}

// The port the operations would use, or "" and why not.
struct PortSetting
{
    QString port;
    QString problem;
};

PortSetting portSetting()
{
    const ranupa::Result<ranupa::Installation> found = ranupa::findInstallation();
    return found ? PortSetting{found->port, {}} : PortSetting{{}, found.failure().details};
}

} // namespace

class TestSettings final : public QObject
{
    Q_OBJECT

private slots:
    void portText_data();
    void portText();
    void lineEndsDoNotMatter();
    void entriesKeepFileOrderAndDuplicates();
    void loadDbPortReadsTheWorkingDirectoryAfreshEachTime();
    void loadDbPortWithoutFileGivesEmptyText();
    void portCheck_data();
    void portCheck();
    void unusableSettingsFileNamesItself();
    void largeFileIsReadInPieces();
};

void TestSettings::portText_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("port");

    // Separators between key and value.
    QTest::addRow("plain") << QByteArray("DefDBPort=5432\r\n") << u"5432"_s;
    QTest::addRow("spaces around =") << QByteArray("DefDBPort = 5432\r\n") << u"5432"_s;
    QTest::addRow("space instead of =") << QByteArray("DefDBPort 5432\r\n") << u"5432"_s;
    QTest::addRow("double =") << QByteArray("DefDBPort==5432\r\n") << u"5432"_s;
    QTest::addRow("tabs count like spaces") << QByteArray("DefDBPort\t=\t5432\r\n") << u"5432"_s;
    QTest::addRow("colon belongs to the value") << QByteArray("DefDBPort:5432\r\n") << u":5432"_s;

    // Values are verbatim up to the first control byte.
    QTest::addRow("trailing spaces kept") << QByteArray("DefDBPort=5432  \r\n") << u"5432  "_s;
    QTest::addRow("trailing = and ; kept") << QByteArray("DefDBPort=5432=;\n") << u"5432=;"_s;
    QTest::addRow("tab ends the value") << QByteArray("DefDBPort=5432\t# port\n") << u"5432"_s;
    QTest::addRow("not a number") << QByteArray("DefDBPort=abc\n") << u"abc"_s;
    QTest::addRow("control byte right after = gives empty value")
        << QByteArray("DefDBPort=\x01 5432\n") << QString();
    QTest::addRow("empty value is the first entry")
        << QByteArray("DefDBPort=\r\nDefDBPort=5432\r\n") << QString();

    // Which entry counts.
    QTest::addRow("first of two wins")
        << QByteArray("DefDBPort=5433\r\nDefDBPort=5432\r\n") << u"5433"_s;
    QTest::addRow("key is case-sensitive")
        << QByteArray("defdbport=5433\r\nDEFDBPORT=1\r\n") << QString();
    QTest::addRow("longer key does not count")
        << QByteArray("DefDBPortX=1\nDefDBPort=5432\n") << u"5432"_s;
    QTest::addRow("other keys first")
        << QByteArray("Name=Ranupa\r\nDefDBPort=5432\r\n") << u"5432"_s;
    QTest::addRow("indented line") << QByteArray("A=1\r\n   \tDefDBPort=5432\r\n") << u"5432"_s;

    // Comments: a disabled setting above the real one is ignored.
    QTest::addRow("; comment above")
        << QByteArray("A=1\n; DefDBPort=5433\nDefDBPort=5432\n") << u"5432"_s;
    QTest::addRow("# comment above")
        << QByteArray("A=1\n#DefDBPort=5433\nDefDBPort=5432\n") << u"5432"_s;
    QTest::addRow("indented comment")
        << QByteArray("A=1\n  ;DefDBPort=5433\nDefDBPort=5432\n") << u"5432"_s;
    QTest::addRow("comment on the first line")
        << QByteArray("; DefDBPort=5433\r\nDefDBPort=5432\r\n") << u"5432"_s;
    QTest::addRow("only commented out") << QByteArray("A=1\n;DefDBPort=5432\n") << QString();
    QTest::addRow("; after punctuation is no comment")
        << QByteArray("A=1\n[;DefDBPort=5433\nDefDBPort=5432\n") << u"5433"_s;
    QTest::addRow("; inside a value is kept")
        << QByteArray("DefDBPort=5432 ; main\n") << u"5432 ; main"_s;

    // Sections and the start of the file.
    QTest::addRow("section on the first line")
        << QByteArray("[Database]\r\nDefDBPort=5432\r\n") << u"5432"_s;
    QTest::addRow("section in the middle")
        << QByteArray("A=1\r\n[Database]\r\nDefDBPort=5432\r\n") << u"5432"_s;
    QTest::addRow("byte-order mark skipped") << QByteArray("\xEF\xBB\xBF"
                                                           "DefDBPort=5432\r\n")
                                             << u"5432"_s;
    QTest::addRow("leading space on the first line drops it")
        << QByteArray(" DefDBPort=5432\r\n") << QString();
    QTest::addRow("leading space on the first line, key again below")
        << QByteArray(" DefDBPort=5433\r\nDefDBPort=5432\r\n") << u"5432"_s;
    QTest::addRow("empty first line") << QByteArray("\r\nDefDBPort=5432\r\n") << u"5432"_s;

    // The end of the file.
    QTest::addRow("last line without line end") << QByteArray("A=1\nDefDBPort=5432") << u"5432"_s;
    QTest::addRow("file ends after the key") << QByteArray("A=1\nDefDBPort") << QString();
    QTest::addRow("file ends after the separator") << QByteArray("A=1\nDefDBPort = ") << QString();
    QTest::addRow("empty file") << QByteArray() << QString();
    QTest::addRow("binary junk") << QByteArray("\x00\xff\x10=\x00\nDefDBPort=5432", 20)
                                 << u"5432"_s;
}

void TestSettings::portText()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, port);
    QCOMPARE(dbPortFromSettings(file), port);
}

void TestSettings::lineEndsDoNotMatter()
{
    const QByteArray lf = "[Ranupa]\nName=ranupaku\n\n; old\nDefDBPort = 5433\nDefDBPort=5432\n";
    QByteArray crlf = lf;
    crlf.replace("\n", "\r\n");
    QCOMPARE(ranupa::readSettingsEntries(crlf), ranupa::readSettingsEntries(lf));
    QCOMPARE(dbPortFromSettings(crlf), u"5433"_s);
}

void TestSettings::entriesKeepFileOrderAndDuplicates()
{
    const QList<ranupa::SettingsEntry> expected = {
        {u"Ranupa"_s, u"]"_s}, {u"B"_s, u"2"_s}, {u"A"_s, u"1"_s}, {u"B"_s, u"3 "_s}};
    QCOMPARE(ranupa::readSettingsEntries("!x\n[Ranupa]\r\nB=2\nA 1\n\n#C=4\nB==3 "), expected);
}

void TestSettings::loadDbPortReadsTheWorkingDirectoryAfreshEachTime()
{
    QTemporaryDir dir;
    QVERIFY(makeInstallation(dir.path(), "[Setting]\r\nDefDBPort=5432\r\n"));
    const CurrentDirectory inside(dir.path());
    QCOMPARE(ranupa::LoadDbPort(), u"5432"_s);

    QVERIFY(writeFile(u"config/install.ini"_s, "DefDBPort=5499\r\n"));
    QCOMPARE(ranupa::LoadDbPort(), u"5499"_s);

    QVERIFY(QFile::remove(u"config/install.ini"_s));
    QCOMPARE(ranupa::LoadDbPort(), QString());
}

void TestSettings::loadDbPortWithoutFileGivesEmptyText()
{
    QTemporaryDir dir;
    const CurrentDirectory inside(dir.path());
    QCOMPARE(ranupa::LoadDbPort(), QString());
    // A directory in place of the file cannot be read either.
    QVERIFY(QDir(dir.path()).mkpath(u"config/install.ini"_s));
    QCOMPARE(ranupa::LoadDbPort(), QString());
}

void TestSettings::portCheck_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("port"); // "" when refused

    QTest::addRow("plain") << "DefDBPort=5432\r\n"_ba << u"5432"_s;
    QTest::addRow("spaces around") << "DefDBPort =  5432  \r\n"_ba << u"5432"_s;
    QTest::addRow("highest") << "DefDBPort=65535"_ba << u"65535"_s;
    QTest::addRow("leading zeros") << "DefDBPort=05432\n"_ba << u"5432"_s;

    QTest::addRow("statement after the port")
        << "DefDBPort=5432 -c \"DROP DATABASE other\"\r\n"_ba << QString();
    QTest::addRow("space inside") << "DefDBPort=54 32\n"_ba << QString();
    QTest::addRow("too high") << "DefDBPort=65536\n"_ba << QString();
    QTest::addRow("far too high") << "DefDBPort=99999999999999999999\n"_ba << QString();
    QTest::addRow("empty") << "DefDBPort=\nDefDBPort=5432\n"_ba << QString();
    QTest::addRow("not UTF-8") << "DefDBPort=\xff\xfe\n"_ba << QString();
    // As Windows editors save "Unicode" text, byte-order mark first.
    const QString text = u"[Database]\r\nDefDBHost=localhost\r\nDefDBPort=5433\r\n"_s;
    QTest::addRow("UTF-16 little-endian")
        << "\xff\xfe"_ba + QStringEncoder(QStringConverter::Utf16LE)(text) << u"5433"_s;
    QTest::addRow("UTF-16 big-endian")
        << "\xfe\xff"_ba + QStringEncoder(QStringConverter::Utf16BE)(text) << u"5433"_s;
    QTest::addRow("key missing") << "[Database]\nDefDBHost=localhost\n"_ba << QString();
}

void TestSettings::portCheck()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, port);

    QTemporaryDir dir;
    QVERIFY(makeInstallation(dir.path(), file));
    const CurrentDirectory inside(dir.path());

    const PortSetting setting = portSetting();
    QCOMPARE(setting.port, port);
    QCOMPARE(setting.problem.isEmpty(), !port.isEmpty());
    if (!setting.problem.isEmpty()) {
        // The operator is told where to look, what to look for and what is there now.
        const QString found = ranupa::LoadDbPort();
        QVERIFY(setting.problem.contains(u"config/install.ini"_s));
        QVERIFY(setting.problem.contains(u"DefDBPort"_s));
        QVERIFY2(setting.problem.contains(found.isEmpty() ? u"\"\""_s : found) ||
                     setting.problem.contains(u"(tidak ada)"_s),
                 qPrintable(setting.problem));
    }
}

void TestSettings::unusableSettingsFileNamesItself()
{
    QTemporaryDir dir;
    const CurrentDirectory inside(dir.path());
    QVERIFY(portSetting().problem.contains(u"config/install.ini"_s)); // no config folder at all

    // A FIFO in the file's place would block a plain open for good.
    QVERIFY(QDir(dir.path()).mkpath(u"config"_s));
    QVERIFY(QDir(dir.path()).mkpath(u"pgsql"_s));
    QCOMPARE(::mkfifo("config/install.ini", 0600), 0);
    const QElapsedTimer timer = startedTimer();
    const PortSetting setting = portSetting();
    QCOMPARE(ranupa::LoadDbPort(), QString());
    QVERIFY(timer.elapsed() < 60'000); // far less than for ever
    QVERIFY(setting.problem.contains(u"FIFO"_s));
}

// Memory must not grow with the file: reading it whole took several times its size.
void TestSettings::largeFileIsReadInPieces()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(u"config"_s));
    QFile ini(dir.filePath(u"config/install.ini"_s));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    constexpr qint64 fileBytes = 96 * 1024 * 1024;
    constexpr qint64 block = 64 * 1024;
    // Ends "DefDB" right at a block boundary, so that the key straddles two reads.
    const QByteArray line = "Catatan=" + QByteArray(55, 'x') + '\n';
    const QByteArray lines = line.repeated(block / line.size());
    qint64 written = 0;
    while (written + lines.size() < fileBytes) {
        written += ini.write(lines);
    }
    const qint64 filler = (block - (written + 5) % block) % block;
    ini.write(QByteArray(std::max<qint64>(filler - 1, 0), 'y') + "\nDefDBPort = 5433\r\n");
    ini.close();

    const CurrentDirectory inside(dir.path());
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    QCOMPARE(portSetting().port, u"5433"_s);
    QCOMPARE(ranupa::LoadDbPort(), u"5433"_s);
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    const long grownKiB = after.ru_maxrss - before.ru_maxrss;
    QVERIFY2(grownKiB < 16 * 1024, qPrintable(QString::number(grownKiB)));
}

QTEST_GUILESS_MAIN(TestSettings)
#include "test_settings.moc"
