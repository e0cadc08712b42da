#include "core/settings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using ranupa::dbPortFromSettings;

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
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkpath(u"config"_s));
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    auto restore = qScopeGuard([&] { QDir::setCurrent(previous); });

    QFile file(u"config/install.ini"_s);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[Setting]\r\nDefDBPort=5432\r\n");
    file.close();
    QCOMPARE(ranupa::LoadDbPort(), u"5432"_s);

    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("DefDBPort=5499\r\n");
    file.close();
    QCOMPARE(ranupa::LoadDbPort(), u"5499"_s);

    QVERIFY(file.remove());
    QCOMPARE(ranupa::LoadDbPort(), QString());
}

void TestSettings::loadDbPortWithoutFileGivesEmptyText()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    auto restore = qScopeGuard([&] { QDir::setCurrent(previous); });
    QCOMPARE(ranupa::LoadDbPort(), QString());
    // A directory in place of the file cannot be read either.
    QVERIFY(QDir(dir.path()).mkpath(u"config/install.ini"_s));
    QCOMPARE(ranupa::LoadDbPort(), QString());
}

QTEST_GUILESS_MAIN(TestSettings)
#include "test_settings.moc"
