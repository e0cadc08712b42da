#include "cli/cli.h"
#include "core/files/installation.h"
#include "core/ops/retention.h"
#include "testcluster.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

// How the program starts: which arguments mean the command line, and where it finds the
// school-data application's installation when it is not started there.
class TestStartup final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void onlyOwnArgumentsMeanTheCommandLine_data();
    void onlyOwnArgumentsMeanTheCommandLine();
    void qtOptionsReachTheWindows();
    void installationIsLookedForInOrder();
    void installationBesideTheProgramIsUsed();
    void noInstallationFailsNamingWhereItLooked();

private:
    ProgramRun runProgram(const QString& program, const QStringList& arguments,
                          const QString& workingDir) const
    {
        QProcess process;
        startUnattended(process, program, arguments, workingDir, m_cluster->clientEnvironment());
        return finishRun(process);
    }
    // A copy of the program in a directory of its own, so that its own directory is `dir`.
    QString copyProgramInto(const QString& dir) const;

    std::optional<TestCluster> m_cluster;
};

void TestStartup::initTestCase()
{
    m_cluster = TestCluster::fromEnvironment("RANUPA_CLUSTER_DIR");
    QVERIFY2(m_cluster, "the throwaway cluster is not running");
    QVERIFY2(QFileInfo(programUnderTest()).isExecutable(), "RANUPA_EXECUTABLE is not set");
}

QString TestStartup::copyProgramInto(const QString& dir) const
{
    const QString copy = QDir(dir).filePath(u"ranupa-helper"_s);
    if (!QFile::copy(programUnderTest(), copy)) {
        qWarning("cannot copy the program to %s", qPrintable(copy));
    }
    return copy;
}

void TestStartup::onlyOwnArgumentsMeanTheCommandLine_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QString>("leftForTheCommandLine"); // "" when the windows open
    QTest::newRow("nothing") << u""_s << u""_s;
    QTest::newRow("style") << u"-style fusion"_s << u""_s;
    QTest::newRow("style attached") << u"-style=fusion"_s << u""_s;
    QTest::newRow("two dashes") << u"--style fusion --reverse"_s << u""_s;
    QTest::newRow("platform and session") << u"-platform offscreen -session 1a2b"_s << u""_s;
    // A Qt option's value is never read as one of the program's options.
    QTest::newRow("value like an option") << u"-qwindowtitle --backup"_s << u""_s;
    QTest::newRow("own option") << u"--backup D"_s << u"--backup D"_s;
    QTest::newRow("own among Qt's")
        << u"-style fusion --restore F --yes"_s << u"--restore F --yes"_s;
    // Mistakes go to the command line, which says what is wrong instead of opening a window.
    QTest::newRow("mistyped") << u"--bakup D"_s << u"--bakup D"_s;
    QTest::newRow("Qt option without value") << u"-style"_s << u"-style"_s;
    QTest::newRow("stray word") << u"D"_s << u"D"_s;
}

void TestStartup::onlyOwnArgumentsMeanTheCommandLine()
{
    QFETCH(QString, arguments);
    QFETCH(QString, leftForTheCommandLine);
    const QStringList argv =
        QStringList{u"ranupa-helper"_s} + arguments.split(u' ', Qt::SkipEmptyParts);
    QList<QByteArray> bytes;
    std::vector<char*> pointers;
    for (const QString& argument : argv) {
        pointers.push_back(bytes.emplace_back(argument.toLocal8Bit()).data());
    }

    QCOMPARE(ranupa::cli::wantsCommandLine(int(pointers.size()), pointers.data()),
             !leftForTheCommandLine.isEmpty());
    QCOMPARE(ranupa::cli::withoutToolkitOptions(argv),
             QStringList{u"ranupa-helper"_s} +
                 leftForTheCommandLine.split(u' ', Qt::SkipEmptyParts));
}

void TestStartup::qtOptionsReachTheWindows()
{
    // Without a display the windows can only open when "-platform offscreen" reaches Qt; the
    // command line would have refused the option and ended at once. Asked to, Qt says when it
    // gives a window its backing store, as it shows it: the program still runs after that.
    QTemporaryDir dir;
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"QT_LOGGING_RULES"_s, u"qt.qpa.backingstore.debug=true"_s);
    startUnattended(program, programUnderTest(),
                    {u"-platform"_s, u"offscreen"_s, u"-style"_s, u"fusion"_s}, dir.path(),
                    environment);
    const QByteArray err = waitForError(program, "qt.qpa.backingstore");
    QVERIFY2(err.contains("qt.qpa.backingstore"), err.constData());
    QCOMPARE(program.state(), QProcess::Running);
    program.kill();
    program.waitForFinished();
}

void TestStartup::installationIsLookedForInOrder()
{
    QTemporaryDir empty;
    QTemporaryDir withSettings;
    QTemporaryDir withTools;
    QVERIFY(QDir(withSettings.path()).mkpath(u"config"_s));
    QVERIFY(writeFile(withSettings.filePath(u"config/install.ini"_s), {}));
    QVERIFY(QDir(withTools.path()).mkpath(u"pgsql/bin"_s));
    // A directory of that name is no settings file.
    QVERIFY(QDir(empty.path()).mkpath(u"config/install.ini"_s));

    using ranupa::findInstallationDir;
    QCOMPARE(findInstallationDir({empty.path(), withSettings.path()}), withSettings.path());
    QCOMPARE(findInstallationDir({withTools.path(), withSettings.path()}), withTools.path());
    QCOMPARE(findInstallationDir({empty.path()}), QString());
}

void TestStartup::installationBesideTheProgramIsUsed()
{
    // Started by a shortcut without a start directory: the working directory is elsewhere.
    QTemporaryDir installation;
    QVERIFY(m_cluster->makeInstallation(installation.path()));
    const QString program = copyProgramInto(installation.path());
    QTemporaryDir elsewhere;

    // A relative backup directory still counts from where the program was started.
    QVERIFY(QDir(elsewhere.path()).mkpath(u"cadangan"_s));
    const ProgramRun run =
        runProgram(program, {u"--quiet"_s, u"--backup"_s, u"cadangan"_s}, elsewhere.path());
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QStringList written = filesIn(elsewhere.filePath(u"cadangan"_s));
    QCOMPARE(written.size(), 1);
    QVERIFY(ranupa::backupTime(written[0]).isValid());
    QCOMPARE(filesIn(installation.path()), QStringList{u"ranupa-helper"_s});

    // The working directory, when it holds an installation, comes first: this one has settings
    // but no client programs, so the backup fails there.
    QVERIFY(QDir(elsewhere.path()).mkpath(u"config"_s));
    QVERIFY(writeFile(elsewhere.filePath(u"config/install.ini"_s), "DefDBPort=1\r\n"));
    const ProgramRun wrongPort =
        runProgram(program, {u"--quiet"_s, u"--backup"_s, u"cadangan"_s}, elsewhere.path());
    QCOMPARE(wrongPort.exitCode, 1);
}

void TestStartup::noInstallationFailsNamingWhereItLooked()
{
    QTemporaryDir programDir;
    const QString program = copyProgramInto(programDir.path());
    QTemporaryDir elsewhere;
    for (const QStringList& arguments :
         {QStringList{u"--backup"_s, elsewhere.path()},
          QStringList{u"--restore"_s, elsewhere.filePath(u"ada.dbk"_s), u"--yes"_s}}) {
        const ProgramRun run = runProgram(program, arguments, elsewhere.path());
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(QDir::toNativeSeparators(elsewhere.path())), qPrintable(run.err));
        QVERIFY2(run.err.contains(QDir::toNativeSeparators(programDir.path())),
                 qPrintable(run.err));
        QCOMPARE(filesIn(elsewhere.path()), QStringList());
    }
}

QTEST_GUILESS_MAIN(TestStartup)
#include "test_startup.moc"
