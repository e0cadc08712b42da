#include "core/pg/toolrunner.h"
#include "core/pg/tools.h"
#include "pattern.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace Qt::StringLiterals;
using ranupa::runTool;
using ranupa::ToolResult;
using ranupa::ToolRun;

Q_DECLARE_METATYPE(ranupa::ToolCommand)

namespace {

// Far longer than any run here takes on a busy machine, far shorter than the sleeps a tool that
// was left running would still sleep.
constexpr qint64 hangLimitMs = 60'000;

QString fakecmdPath()
{
    return QString::fromLocal8Bit(FAKECMD_PATH);
}

// The fake tool with the given operations.
ranupa::ToolCommand fake(const QString& operations)
{
    return {.program = fakecmdPath(), .arguments = QProcess::splitCommand(operations)};
}

// The arguments that the fake tool printed with its "args" operation.
QStringList printedArguments(const QByteArray& output)
{
    QStringList arguments;
    for (const QByteArray& line : output.split('\n')) {
        if (line.startsWith("ARG "))
            arguments.append(QString::fromUtf8(QByteArray::fromHex(line.mid(4))));
    }
    return arguments;
}

// Compares `bytes` with the fake tool's pattern from position 0; says where they differ.
QString patternMismatch(QByteArrayView bytes)
{
    QByteArray expected(1 << 20, Qt::Uninitialized);
    for (qsizetype offset = 0; offset < bytes.size(); offset += expected.size()) {
        const qsizetype count = std::min<qsizetype>(expected.size(), bytes.size() - offset);
        fakecmd::fillPattern(expected.data(), static_cast<std::uint64_t>(offset),
                             static_cast<std::size_t>(count));
        if (bytes.sliced(offset, count) != QByteArrayView(expected).first(count))
            return u"output differs from the pattern in the MB at %1"_s.arg(offset);
    }
    return {};
}

bool processGone(qint64 pid)
{
    QFile stat(u"/proc/%1/stat"_s.arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    const qsizetype afterName = text.lastIndexOf(')');
    return afterName >= 0 && text.mid(afterName + 2, 1) == "Z"; // a zombie has ended too
}

// Runs `operations` of the fake tool, collecting the lines it reports.
ToolResult runCollecting(const QString& operations, QStringList& lines, ToolRun how = {})
{
    how.onLine = [&lines](const QString& line) {
        lines.append(line);
    };
    return runTool(fake(operations), how);
}

} // namespace

class TestToolRunner final : public QObject
{
    Q_OBJECT

private slots:
    void toolsGetTheirArgumentsWhole_data();
    void toolsGetTheirArgumentsWhole();
    void collectsBothStreamsInTheOrderWritten();
    void judgesTheOutcome_data();
    void judgesTheOutcome();
    void crashIsAFailure();
    void programThatCannotStart_data();
    void programThatCannotStart();
    void programIsNeverLookedUpInPath();
    void standardInputIsAtEndOfFile();
    void childHasNoControllingTerminal();
    void outputIsDecodedFromLocal8Bit();
    void collectsHundredsOfMegabytes();
    void collectsMuchOutputWrittenJustBeforeTheEnd();
    void reportsLinesAsTheyArrive();
    void reportsManyLinesAcrossReadBoundaries();
    void toolStartedFromALineHandlerRunsWhole();
    void cancelKillsTheChildAndItsProcessGroup();
    void timeLimitKillsARunningChild();
};

// The tools' commands as the program builds them, run through links named like the tools in a
// fake installation folder: each argument reaches the child whole, whatever it holds.
void TestToolRunner::toolsGetTheirArgumentsWhole_data()
{
    QTest::addColumn<ranupa::ToolCommand>("command");
    const QString awkward = u"D:\\Sekolah Ñandú\\日本 \"a\" b\\\\ranupaku06122026220509.dbk\\"_s;
    QTest::addRow("pg_dump, empty port") << ranupa::tools::dump({}, awkward);
    QTest::addRow("pg_restore's script") << ranupa::tools::archiveScript(awkward, awkward + u'x');
    QTest::addRow("psql statements") << ranupa::tools::psql(
        u"5432"_s, u"pendataan"_s, {u"SELECT 'a \"b\" \\' FROM \"t\\\""_s, u"x  y"_s, QString()});
}

void TestToolRunner::toolsGetTheirArgumentsWhole()
{
    QFETCH(ranupa::ToolCommand, command);

    QTemporaryDir install;
    QVERIFY(install.isValid());
    QVERIFY(QDir(install.path()).mkpath(u"pgsql/bin"_s));
    for (const QString& tool : {u"pg_dump"_s, u"psql"_s, u"pg_restore"_s})
        QVERIFY(QFile::link(fakecmdPath(), install.filePath(u"pgsql/bin/"_s + tool)));

    ToolRun how;
    how.programDir = install.path();
    const ToolResult result = runTool(command, how);
    QVERIFY2(result.succeeded(), qPrintable(result.errorString));
    QCOMPARE(printedArguments(result.rawOutput), command.arguments);
    QCOMPARE(result.command, command.text());
}

void TestToolRunner::collectsBothStreamsInTheOrderWritten()
{
    const ToolResult result = runTool(fake(u"say one warn two say three warn four"_s));
    QVERIFY(result.succeeded());
    QCOMPARE(result.rawOutput, "one\ntwo\nthree\nfour\n");
    QCOMPARE(result.output(), u"one\ntwo\nthree\nfour\n"_s);
}

void TestToolRunner::judgesTheOutcome_data()
{
    QTest::addColumn<QString>("operations");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<bool>("succeeded");

    QTest::addRow("code 0 with output")
        << u"warn progress"_s << 0 << QByteArray("progress\n") << true;
    QTest::addRow("code 1 after output")
        << u"say partial warn error exit 1"_s << 1 << QByteArray("partial\nerror\n") << false;
    QTest::addRow("code 0 without output") << u"exit 0"_s << 0 << QByteArray() << false;
    QTest::addRow("code 2 without output") << u"exit 2"_s << 2 << QByteArray() << false;
}

void TestToolRunner::judgesTheOutcome()
{
    QFETCH(QString, operations);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, output);
    QFETCH(bool, succeeded);

    const ToolResult result = runTool(fake(operations));
    QVERIFY(result.started);
    QVERIFY(!result.crashed);
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.rawOutput, output); // kept for the failure details even when it failed
    QCOMPARE(result.succeeded(), succeeded);
}

void TestToolRunner::crashIsAFailure()
{
    const ToolResult result = runTool(fake(u"say partial crash"_s));
    QVERIFY(result.started);
    QVERIFY(result.crashed);
    QVERIFY(!result.succeeded());
    QCOMPARE(result.rawOutput, "partial\n");
    QVERIFY(!result.errorString.isEmpty());
}

void TestToolRunner::programThatCannotStart_data()
{
    QTest::addColumn<QString>("program");
    QTest::addRow("missing program") << u"pgsql/bin/no_such_tool"_s;
    QTest::addRow("not executable") << QFINDTESTDATA("test_toolrunner.cpp");
    QTest::addRow("a directory") << u"/tmp"_s;
    QTest::addRow("no program") << QString();
}

void TestToolRunner::programThatCannotStart()
{
    QFETCH(QString, program);
    const ToolResult result = runTool({.program = program, .arguments = {u"-p"_s, u"5432"_s}});
    QVERIFY(!result.started);
    QVERIFY(!result.succeeded());
    QVERIFY(result.rawOutput.isEmpty());
    QVERIFY(!result.errorString.isEmpty());
}

void TestToolRunner::programIsNeverLookedUpInPath()
{
    const QString bin = QFileInfo(fakecmdPath()).absolutePath();
    const QByteArray previousPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin) + ':' + previousPath);
    auto restore = qScopeGuard([&] { qputenv("PATH", previousPath); });
    const QString previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(QDir::tempPath()));
    auto restoreDir = qScopeGuard([&] { QDir::setCurrent(previousDir); });

    const ranupa::ToolCommand sayHi{.program = u"fakecmd"_s, .arguments = {u"say"_s, u"hi"_s}};
    QVERIFY(!runTool(sayHi).started);
    // The same name relative to the working directory.
    QVERIFY(QDir::setCurrent(bin));
    QCOMPARE(runTool(sayHi).rawOutput, "hi\n");
}

void TestToolRunner::standardInputIsAtEndOfFile()
{
    QElapsedTimer timer;
    timer.start();
    const ToolResult result = runTool(fake(u"stdin"_s));
    QCOMPARE(result.rawOutput, "STDIN 0\n");
    QVERIFY(timer.elapsed() < hangLimitMs);
}

void TestToolRunner::childHasNoControllingTerminal()
{
    // Leading a session of its own is what keeps it from ever gaining one.
    QCOMPARE(runTool(fake(u"tty"_s)).rawOutput, "TTY no\nSESSION leader\n");
}

// Its lines end in "\n" alone, also where the tool's end in "\r\n", as on Windows.
void TestToolRunner::outputIsDecodedFromLocal8Bit()
{
    const ToolResult result =
        runTool(fake(u"say \"Gagal: Ñandú 日本\" raw \"baris\r\nakhir\r\n\""_s));
    QCOMPARE(result.output(), u"Gagal: Ñandú 日本\nbaris\nakhir\n"_s);
}

void TestToolRunner::collectsHundredsOfMegabytes()
{
    constexpr qsizetype size = 300 * 1024 * 1024 + 17; // ends in the middle of a line
    const ToolResult result = runTool(fake(u"out %1"_s.arg(size)));
    QVERIFY(result.succeeded());
    QCOMPARE(result.rawOutput.size(), size);
    const QString mismatch = patternMismatch(result.rawOutput);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
}

void TestToolRunner::collectsMuchOutputWrittenJustBeforeTheEnd()
{
    // Both streams, each much larger than a pipe, and the tool ends right after the last write.
    const ToolResult result = runTool(fake(u"sleep 50 err 4000000 out 4000000 exit 3"_s));
    QCOMPARE(result.exitCode, 3);
    QCOMPARE(result.rawOutput.size(), 8000000);
    const QByteArrayView all(result.rawOutput);
    QVERIFY(patternMismatch(all.first(4000000)).isEmpty());
    QVERIFY(patternMismatch(all.sliced(4000000)).isEmpty());
}

void TestToolRunner::reportsLinesAsTheyArrive()
{
    QStringList lines;
    const ToolResult result =
        runCollecting(u"say one warn two sleep 100 raw \"three\r\n\r\nfour\""_s, lines);
    QCOMPARE(lines, (QStringList{u"one"_s, u"two"_s, u"three"_s, QString(), u"four"_s}));
    QCOMPARE(result.rawOutput, "one\ntwo\nthree\r\n\r\nfour");
}

void TestToolRunner::reportsManyLinesAcrossReadBoundaries()
{
    constexpr int lineCount = 200000;
    QStringList lines;
    runCollecting(u"out %1"_s.arg(lineCount * fakecmd::patternLineLength), lines);
    QCOMPARE(lines.size(), lineCount);
    for (int i : {0, 1, 12345, lineCount - 1}) {
        QByteArray expected(fakecmd::patternLineLength - 1, Qt::Uninitialized);
        fakecmd::fillPattern(expected.data(), std::uint64_t(i) * fakecmd::patternLineLength,
                             expected.size());
        QCOMPARE(lines.at(i), QString::fromLatin1(expected));
    }
}

// The operations run one tool after another from inside the handlers of the one before; each
// local event loop must run its own tool to its end and leave the outer one whole.
void TestToolRunner::toolStartedFromALineHandlerRunsWhole()
{
    ToolResult inner;
    ToolRun how;
    how.onLine = [&inner](const QString& line) {
        if (line == u"first"_s) {
            inner = runTool(fake(u"sleep 100 say second exit 1"_s));
        }
    };
    const ToolResult outer = runTool(fake(u"say first sleep 50 say last"_s), how);
    QCOMPARE(outer.rawOutput, "first\nlast\n");
    QVERIFY(outer.succeeded());
    QCOMPARE(inner.rawOutput, "second\n");
    QCOMPARE(inner.exitCode, 1);
}

void TestToolRunner::cancelKillsTheChildAndItsProcessGroup()
{
    QStringList lines;
    QElapsedTimer timer;
    ToolRun how;
    how.cancelled = [&] {
        if (!lines.contains(u"ready"_s)) {
            return false;
        }
        if (!timer.isValid()) {
            timer.start();
        }
        return true;
    };
    const ToolResult result =
        runCollecting(u"spawn-sleeper 600000 say ready sleep 600000"_s, lines, how);
    QVERIFY(timer.isValid() && timer.elapsed() < hangLimitMs);
    QVERIFY(result.cancelled);
    QVERIFY(!result.succeeded());
    const qint64 sleeper = lines.constFirst().section(u' ', 1).toLongLong();
    QVERIFY(sleeper > 0);
    QTRY_VERIFY_WITH_TIMEOUT(processGone(sleeper), hangLimitMs);
}

void TestToolRunner::timeLimitKillsARunningChild()
{
    QStringList lines;
    ToolRun how;
    how.timeout = std::chrono::milliseconds(300);
    QElapsedTimer timer;
    timer.start();
    const ToolResult result = runCollecting(u"pid sleep 600000"_s, lines, how);
    QVERIFY(timer.elapsed() < hangLimitMs);
    QVERIFY(result.timedOut && result.cancelled);
    const qint64 pid = lines.value(0).section(u' ', 1).toLongLong();
    QVERIFY(pid > 0);
    QVERIFY(processGone(pid));
}

QTEST_GUILESS_MAIN(TestToolRunner)
#include "test_toolrunner.moc"
