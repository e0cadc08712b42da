#include "core/commandline.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
namespace commandline = ranupa::commandline;

class TestCommandLine final : public QObject
{
    Q_OBJECT

private slots:
    void splitsAwkwardCases_data();
    void splitsAwkwardCases();
    void escapedRandomTextComesBackUnchanged();
    void escapeLeavesWindowsPathsVerbatim();
    void dropsLeadingControls();
    void resolvesProgramsInTheWorkingDirectoryOnly();
};

void TestCommandLine::splitsAwkwardCases_data()
{
    QTest::addColumn<QString>("commandLine");
    QTest::addColumn<QStringList>("argv");

    // The tools' own command lines are checked end to end in test_toolrunner; these are the
    // variants that the operations' inputs can produce.
    QTest::addRow("psql: drop, empty port")
        << uR"(pgsql\bin\psql.exe -p  -U postgres -c "DROP DATABASE "pendataan"")"_s
        << QStringList{u"pgsql\\bin\\psql.exe"_s,   u"-p"_s, u"-U"_s, u"postgres"_s, u"-c"_s,
                       u"DROP DATABASE pendataan"_s};
    QTest::addRow("pg_dump into a drive root")
        << uR"(pgsql\bin\pg_dump.exe --file "D:\\ranupaku06122026220509.dbk" "pendataan")"_s
        << QStringList{u"pgsql\\bin\\pg_dump.exe"_s, u"--file"_s,
                       u"D:\\\\ranupaku06122026220509.dbk"_s, u"pendataan"_s};
    QTest::addRow("pg_dump into a directory with spaces")
        << uR"(pgsql\bin\pg_dump.exe --file "D:\Data Sekolah \ranupaku.dbk" "pendataan")"_s
        << QStringList{u"pgsql\\bin\\pg_dump.exe"_s, u"--file"_s,
                       u"D:\\Data Sekolah \\ranupaku.dbk"_s, u"pendataan"_s};
    QTest::addRow("program only") << u"prog"_s << QStringList{u"prog"_s};
    QTest::addRow("trailing blanks") << u"prog a \t "_s << QStringList{u"prog"_s, u"a"_s};
    QTest::addRow("tabs separate") << u"prog\ta\t\tb"_s << QStringList{u"prog"_s, u"a"_s, u"b"_s};
    QTest::addRow("quoted program with spaces")
        << uR"("C:\Program Files\x.exe" a)"_s << QStringList{u"C:\\Program Files\\x.exe"_s, u"a"_s};
    QTest::addRow("program: backslash before quote is plain")
        << uR"(C:\dir\"x y" a)"_s << QStringList{u"C:\\dir\\x y"_s, u"a"_s};
    QTest::addRow("empty quoted argument")
        << uR"(prog "" b)"_s << QStringList{u"prog"_s, QString(), u"b"_s};
    QTest::addRow("quotes join words")
        << uR"(prog a" b "c)"_s << QStringList{u"prog"_s, u"a b c"_s};
    QTest::addRow("doubled quote inside quotes")
        << uR"(prog "x""y" z)"_s << QStringList{u"prog"_s, u"x\"y"_s, u"z"_s};
    QTest::addRow("doubled quote outside quotes")
        << uR"(prog x""y z)"_s << QStringList{u"prog"_s, u"xy"_s, u"z"_s};
    QTest::addRow("tripled quote: literal quote, then closing")
        << uR"(prog "a""" b)"_s << QStringList{u"prog"_s, u"a\""_s, u"b"_s};
    QTest::addRow("escaped quote") << uR"(prog x\"y)"_s << QStringList{u"prog"_s, u"x\"y"_s};
    QTest::addRow("even backslashes before quote")
        << uR"(prog x\\"y z")"_s << QStringList{u"prog"_s, u"x\\y z"_s};
    QTest::addRow("odd backslashes before quote")
        << uR"(prog x\\\"y)"_s << QStringList{u"prog"_s, u"x\\\"y"_s};
    QTest::addRow("backslashes elsewhere are plain")
        << uR"(prog \\server\share\ C:\dir\\)"_s
        << QStringList{u"prog"_s, u"\\\\server\\share\\"_s, u"C:\\dir\\\\"_s};
    QTest::addRow("trailing backslash escapes the closing quote")
        << uR"(prog "C:\dir\" next)"_s << QStringList{u"prog"_s, u"C:\\dir\" next"_s};
    QTest::addRow("doubled trailing backslash")
        << uR"(prog "C:\dir\\" next)"_s << QStringList{u"prog"_s, u"C:\\dir\\"_s, u"next"_s};
    QTest::addRow("unclosed quote runs to the end")
        << uR"(prog "a  b)"_s << QStringList{u"prog"_s, u"a  b"_s};
    QTest::addRow("non-ASCII") << u"prog \"D:\\Sekolah Ñandú\\日本.dbk\""_s
                               << QStringList{u"prog"_s, u"D:\\Sekolah Ñandú\\日本.dbk"_s};
}

void TestCommandLine::splitsAwkwardCases()
{
    QFETCH(QString, commandLine);
    QFETCH(QStringList, argv);
    QCOMPARE(commandline::splitWindowsCommandLine(commandLine), argv);
}

void TestCommandLine::escapedRandomTextComesBackUnchanged()
{
    // The characters that matter to the rules, in every mix.
    const QString alphabet = u"a \t\\\"é"_s;
    QRandomGenerator random(20261207);
    for (int round = 0; round < 5000; ++round) {
        QString text;
        const int length = random.bounded(12);
        for (int i = 0; i < length; ++i)
            text.append(alphabet[random.bounded(alphabet.size())]);
        const QString line = u"prog \""_s + commandline::escapeForQuotes(text) + u"\" after"_s;
        const QStringList argv = commandline::splitWindowsCommandLine(line);
        if (argv != QStringList{u"prog"_s, text, u"after"_s})
            QFAIL(qPrintable(
                u"no round trip for [%1] via [%2]: %3"_s.arg(text, line, argv.join(u'|'))));
    }
}

void TestCommandLine::escapeLeavesWindowsPathsVerbatim()
{
    const QString path = u"D:\\Cadangan\\ranupaku06122026220509.dbk"_s;
    QCOMPARE(commandline::escapeForQuotes(path), path);
    QCOMPARE(commandline::escapeForQuotes(u"D:\\\\x y\\z.dbk"_s), u"D:\\\\x y\\z.dbk"_s);
    QCOMPARE(commandline::escapeForQuotes(u"D:\\"_s), u"D:\\\\"_s);
    QCOMPARE(commandline::escapeForQuotes(u"say \"hi\""_s), u"say \\\"hi\\\""_s);
}

void TestCommandLine::dropsLeadingControls()
{
    QCOMPARE(commandline::withoutLeadingControls(u"  \t\r\n\x01\x1f pgsql\\bin\\psql.exe -p 1"_s),
             u"pgsql\\bin\\psql.exe -p 1"_s);
    QCOMPARE(commandline::withoutLeadingControls(u"!x  "_s), u"!x  "_s);
    QCOMPARE(commandline::withoutLeadingControls(u" \t "_s), QString());
}

void TestCommandLine::resolvesProgramsInTheWorkingDirectoryOnly()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QDir dir(temp.path());
    QVERIFY(dir.mkpath(u"pgsql/bin"_s));
    for (const QString& name : {u"psql"_s, u"tool.exe"_s, u"both"_s, u"both.exe"_s}) {
        QFile file(dir.filePath(u"pgsql/bin/"_s + name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const QString bin = dir.filePath(u"pgsql/bin/"_s);

    QCOMPARE(commandline::resolveProgramPath(u"pgsql\\bin\\psql.exe"_s, dir), bin + u"psql"_s);
    QCOMPARE(commandline::resolveProgramPath(u"pgsql\\bin\\PSQL.EXE"_s, dir),
             bin + u"PSQL.EXE"_s); // names are case-sensitive here; only the suffix is not
    QCOMPARE(commandline::resolveProgramPath(u".\\pgsql\\bin\\psql"_s, dir), bin + u"psql"_s);
    QCOMPARE(commandline::resolveProgramPath(u"pgsql\\bin\\tool.exe"_s, dir), bin + u"tool.exe"_s);
    QCOMPARE(commandline::resolveProgramPath(u"pgsql\\bin\\both.exe"_s, dir), bin + u"both.exe"_s);
    QCOMPARE(commandline::resolveProgramPath(u"pgsql\\bin\\missing.exe"_s, dir),
             bin + u"missing.exe"_s);
    // Never taken from PATH.
    QCOMPARE(commandline::resolveProgramPath(u"sh"_s, dir), dir.filePath(u"sh"_s));
    QCOMPARE(commandline::resolveProgramPath(u"/bin/sh"_s, dir), u"/bin/sh"_s);
    QCOMPARE(commandline::resolveProgramPath(QString(), dir), QString());
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "test_commandline.moc"
