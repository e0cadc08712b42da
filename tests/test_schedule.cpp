#include "core/files/history.h"
#include "core/schedule/scheduler.h"
#include "gui/datautility.h"
#include "modalhelper.h"
#include "testcluster.h"
#include "testhome.h"

#include <QSpinBox>
#include <QTimeEdit>
#include <QXmlStreamReader>
#include <QtTest>
#include <pwd.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace ranupa;

// The daily schedule's definitions, each read by what reads it in real life (systemd, sh after
// cron's own escapes, an XML reader and the C runtime's rules), and each command run once
// exactly as written against the throwaway cluster; the schedule offered after a window backup.
class TestSchedule final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void systemdUnitsRunAsWritten();
    void crontabLineRunsAsWrittenAndGoesAlone();
    void taskDefinitionRunsAsWritten();
    void windowBackupOffersADailySchedule();

private:
    // Runs the command as a scheduler would, in an environment as bare as cron's, and checks
    // that it wrote a verified backup and the schedule's line in the history.
    void runsAVerifiedBackup(const QString& program, const QStringList& arguments,
                             const QString& workingDir);

    TestHome m_home;
    std::optional<TestCluster> m_cluster;
    DailyBackup m_backup; // paths with blanks, letters beyond ASCII, %, $ and quotes
};

namespace {

// What the program wrote on standard output and standard error; "exit N: " before it when it
// failed.
QString run(const QString& program, const QStringList& arguments, const QString& workingDir = {},
            const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    startUnattended(process, program, arguments, workingDir, environment);
    const ProgramRun ran = finishRun(process);
    const QString said = ran.out + ran.err;
    return ran.exitCode == 0 ? said : u"exit %1: "_s.arg(ran.exitCode) + said;
}

// The arguments a Windows program's C runtime reads from `line`: blanks outside double quotes
// part them; 2n backslashes before a quote give n and the quote opens or closes a quoted part,
// 2n+1 give n and a literal quote; other backslashes are plain.
QStringList windowsArguments(const QString& line)
{
    QStringList arguments;
    QString argument;
    bool quoted = false;
    qsizetype backslashes = 0;
    for (const QChar c : line + u' ') {
        if (c == u'\\') {
            ++backslashes;
            continue;
        }
        argument += QString(c == u'"' ? backslashes / 2 : backslashes, u'\\');
        if (c == u'"' && backslashes % 2 == 0) {
            quoted = !quoted;
        } else if (quoted || (c != u' ' && c != u'\t')) {
            argument += c;
        } else if (!argument.isEmpty()) {
            arguments << std::exchange(argument, {});
        }
        backslashes = 0;
    }
    return arguments;
}

} // namespace

void TestSchedule::initTestCase()
{
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    m_cluster = TestCluster::fromEnvironment("RANUPA_CLUSTER_DIR");
    QVERIFY2(m_cluster, "the throwaway cluster is not running");
    const QDir root(m_home.dir.path());
    QFile::setPermissions(root.path(), QFile::permissions(root.path()) | QFile::ExeOther |
                                           QFile::ReadOther); // systemd reads it as nobody
    // systemd refuses quotes and backslashes in a program's path; the backup folder has them,
    // a backslash before a quote too.
    const QString install = root.filePath(u"Instalasi Ñandi 100% $HOME"_s);
    m_backup = {.program = install + u"/ranupa helper ü"_s,
                .installDir = install,
                .backupDir = root.filePath(u"Cadangan é 50% \\\"q\" 'x' \\ $HOME"_s),
                .at = QTime(7, 30),
                .keep = 3};
    QVERIFY(m_cluster->makeInstallation(install) && root.mkpath(m_backup.backupDir));
    QVERIFY(QFile::copy(programUnderTest(), m_backup.program));
    qputenv("PGHOST", m_cluster->socketDir.toUtf8());
}

void TestSchedule::runsAVerifiedBackup(const QString& program, const QStringList& arguments,
                                       const QString& workingDir)
{
    const qsizetype backups = QDir(m_backup.backupDir).entryList({u"*.dbk"_s}).size();
    const qsizetype recorded = readHistory(m_home.programHistory()).size();
    QProcessEnvironment bare;
    for (const char* name : {"HOME", "XDG_DATA_HOME", "PGHOST"}) {
        bare.insert(QString::fromLatin1(name), qEnvironmentVariable(name));
    }
    bare.insert(u"PATH"_s, u"/usr/bin:/bin"_s);
    bare.insert(u"SHELL"_s, u"/bin/sh"_s);
    const QString said = run(program, arguments, workingDir, bare);
    QVERIFY2(!said.startsWith(u"exit "_s), qPrintable(said));
    QCOMPARE(QDir(m_backup.backupDir).entryList({u"*.dbk"_s}).size(), backups + 1);
    const QList<RunRecord> history = readHistory(m_home.programHistory());
    QCOMPARE(history.size(), recorded + 1);
    const RunRecord& last = history.constLast();
    QCOMPARE(std::tuple(last.origin, last.result, last.tried, QFileInfo(last.filePath).path()),
             std::tuple(RunOrigin::Schedule, RunResult::Succeeded, true, m_backup.backupDir));
}

void TestSchedule::systemdUnitsRunAsWritten()
{
    // No user session manager runs here: a stand-in answers for systemctl, and systemd itself
    // reads the units.
    const QString systemctl = m_home.dir.filePath(u"systemctl"_s);
    QVERIFY(QFile::link(QStringLiteral(FAKECMD_PATH), systemctl));
    const QByteArray none = qgetenv("RANUPA_SYSTEMCTL"); // never the user's own
    qputenv("RANUPA_SYSTEMCTL", systemctl.toUtf8());
    const auto restore = qScopeGuard([none] { qputenv("RANUPA_SYSTEMCTL", none); });
    const QString unitDir = m_home.dir.filePath(u"config/systemd/user/"_s);
    QVERIFY(QDir().mkpath(unitDir) && writeFile(unitDir + u"lain.service"_s, {}));
    QCOMPARE(makeSchedule(m_backup), std::nullopt);
    QCOMPARE(currentSchedule()->kind, SchedulerKind::SystemdTimer);
    const QString service = unitDir + systemdServiceName.toString();
    const QString timer = unitDir + systemdTimerName.toString();
    QVERIFY(readFile(timer).contains("\nOnCalendar=*-*-* 07:30:00\nPersistent=true\n"));

    QTemporaryDir runtime;
    QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"XDG_RUNTIME_DIR"_s, runtime.path());
    const QString verified =
        run(u"systemd-analyze"_s, {u"verify"_s, u"--user"_s, timer, service}, {}, environment);
    QVERIFY2(verified.isEmpty(), qPrintable(verified));
    // systemd's own reading of the service, dumped by its test mode (which refuses root).
    QStringList dump{u"/lib/systemd/systemd"_s, u"--test"_s, u"--user"_s, u"--no-pager"_s,
                     u"--unit="_s + systemdServiceName.toString()};
    if (const passwd* nobody = ::getpwnam("nobody"); ::getuid() == 0) {
        QVERIFY(nobody && ::chown(runtime.path().toLocal8Bit(), nobody->pw_uid, 0) == 0);
        dump = QStringList{u"setpriv"_s, u"--reuid=nobody"_s, u"--regid=nogroup"_s,
                           u"--clear-groups"_s} +
               dump;
    }
    const QString units = run(dump.takeFirst(), dump, {}, environment);
    const QString unit =
        units.section(u"-> Unit "_s + systemdServiceName.toString(), 1).section(u"-> Unit"_s, 0, 0);
    QVERIFY2(unit.contains(u"Fragment Path: "_s + service), qPrintable(units.right(2000)));
    const QString workingDir = unit.section(u"\tWorkingDirectory: "_s, 1).section(u'\n', 0, 0);
    const QString commandLine = unit.section(u"\tCommand Line: "_s, 1).section(u'\n', 0, 0);
    // The dump quotes the words for sh; $$ becomes $ only as systemd starts the command.
    QStringList argv = run(u"/bin/sh"_s, {u"-c"_s, u"for w in "_s + commandLine +
                                                       u"; do printf '%s\\0' \"$w\"; done"_s})
                           .replace(u"$$"_s, u"$"_s)
                           .split(QChar(0), Qt::SkipEmptyParts);
    QCOMPARE(workingDir, m_backup.installDir);
    runsAVerifiedBackup(argv.takeFirst(), argv, workingDir);

    const Result<bool> removed = removeSchedule();
    QVERIFY(removed && *removed);
    QCOMPARE(QDir(unitDir).entryList(QDir::Files), QStringList{u"lain.service"_s});
}

void TestSchedule::crontabLineRunsAsWrittenAndGoesAlone()
{
    const QString others = u"MAILTO=\"\"\n# foto sekolah\n15 2 * * 1 tar czf /tmp/f.tgz /srv/f\n"_s;
    QVERIFY(writeFile(m_home.crontab, others.toUtf8()));
    const QString made = run(m_backup.program, {u"--schedule"_s, m_backup.backupDir, u"--at"_s,
                                                u"7.30"_s, u"--keep"_s, u"3"_s});
    QVERIFY2(made.contains(u"Backup harian dijadwalkan: "_s), qPrintable(made));
    const QString written = QString::fromUtf8(readFile(m_home.crontab));
    QVERIFY2(written.startsWith(others), qPrintable(written));
    const QString line = written.mid(others.size()).trimmed();
    QVERIFY2(line.startsWith(u"30 7 * * * "_s) && !line.contains(u'\n'), qPrintable(line));
    // What cron hands to /bin/sh: a % ends the command unless a backslash stands before it.
    QString command;
    const QString text = line.section(u' ', 5);
    for (qsizetype i = 0; i < text.size(); ++i) {
        QVERIFY2(text[i] != u'%', "a % that cron would take for a line break");
        const bool escapedPercent = text[i] == u'\\' && text.mid(i + 1, 1) == u"%"_s;
        command += escapedPercent ? text[++i] : text[i];
    }
    runsAVerifiedBackup(u"/bin/sh"_s, {u"-c"_s, command}, m_home.dir.path());

    const QString shown = run(m_backup.program, {u"--schedule-show"_s});
    QVERIFY2(shown.contains(u"Backup berikutnya: "_s) && shown.contains(u"(crontab)"_s) &&
                 shown.contains(u"backup terjadwal | berhasil, sudah diuji"_s),
             qPrintable(shown));
    run(m_backup.program, {u"--schedule-off"_s});
    QCOMPARE(readFile(m_home.crontab), others.toUtf8());
}

void TestSchedule::taskDefinitionRunsAsWritten()
{
    QXmlStreamReader xml(taskDefinition(m_backup, QDate(2026, 12, 8)));
    QHash<QString, QString> values;
    const QStringList wanted{u"StartBoundary"_s, u"StartWhenAvailable"_s, u"Command"_s,
                             u"Arguments"_s, u"WorkingDirectory"_s};
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement &&
            wanted.contains(xml.name().toString())) {
            values.insert(xml.name().toString(), xml.readElementText());
        }
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QCOMPARE(values.value(u"StartWhenAvailable"_s), u"true"_s);
    QCOMPARE(values.value(u"StartBoundary"_s), u"2026-12-08T07:30:00"_s);
    QCOMPARE(values.value(u"WorkingDirectory"_s), m_backup.installDir);
    QCOMPARE(values.value(u"Command"_s), m_backup.program);
    // The program splits its command line by the C runtime's rules.
    const QStringList argv = windowsArguments(values.value(u"Arguments"_s));
    runsAVerifiedBackup(m_backup.program, argv, values.value(u"WorkingDirectory"_s));
}

void TestSchedule::windowBackupOffersADailySchedule()
{
    const CurrentDirectory installation(m_cluster->installDir); // where the program runs
    QTemporaryDir target;
    DataUtility window;
    openAndActivate(window);
    chooseTargetDir(window, target.path());
    // The backup's message offers the schedule; a small dialog asks when and how many to keep,
    // and the answer says when the next run is.
    QString told;
    whenModal<QMessageBox>(
        [&](QMessageBox* saved) {
            whenModal<ScheduleDialog>([&](ScheduleDialog* ask) {
                ask->findChild<QTimeEdit*>(u"at"_s)->setTime(QTime(7, 30));
                ask->findChild<QSpinBox*>(u"keep"_s)->setValue(5);
                whenModal<QMessageBox>([&](QMessageBox* result) {
                    told = result->text() + u'\n' + result->informativeText();
                    result->accept();
                });
                waitUntilActive(ask);
                QTest::keyClick(ask, Qt::Key_Return); // "Jadwalkan" is the default
            });
            QTest::mouseClick(saved->findChild<QPushButton*>(u"scheduleDaily"_s), Qt::LeftButton);
        },
        120000);
    QTest::mouseClick(button(window, "cmdBackup"), Qt::LeftButton);
    QVERIFY2(told.startsWith(u"Backup harian dijadwalkan\n"_s) &&
                 told.contains(u"Backup berikutnya: "_s) && told.contains(u"pukul 07.30"_s),
             qPrintable(told));
    const std::optional<Schedule> made = currentSchedule();
    QVERIFY(made);
    QCOMPARE(std::tuple(made->backup.at, made->backup.keep, made->backup.backupDir),
             std::tuple(QTime(7, 30), 5, target.path()));
    // The window's run is in the history, and the status line names it and the next run.
    const RunRecord last = readHistory().constLast();
    QCOMPARE(last.origin, RunOrigin::Window);
    QCOMPARE(QFileInfo(last.filePath).absolutePath(), target.path());
    QTRY_VERIFY2(labelText(window, "backupStatus").contains(u"belum diuji"_s) &&
                     labelText(window, "backupStatus").contains(u"pukul 07.30"_s),
                 qPrintable(labelText(window, "backupStatus")));
    const Result<bool> removed = removeSchedule();
    QVERIFY(removed && *removed);
}

QTEST_MAIN(TestSchedule)
#include "test_schedule.moc"
