#include "cli/cli.h"
#include "core/ops/retention.h"
#include "testcluster.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

using namespace Qt::StringLiterals;

class TestCli final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void helpAndVersion();
    void badOptionsRunNothing_data();
    void badOptionsRunNothing();
    void backupWritesTheFileAndSaysWhere();
    void failedBackupSaysWhyAndRemovesNothing();
    void busyServerExitsFourAndTouchesNothing_data();
    void busyServerExitsFourAndTouchesNothing();
    void listShowsBackupsNewestFirst();
    void endedBackupLeavesNoBackupName_data();
    void endedBackupLeavesNoBackupName();
    void keepLeavesTheNewestBackupsAndNothingElse();
    void keepLeavesSafetyBackupsAlone();
    void restoreWantsConfirmation();
    void restoreRoundTrip();
    void restoreOfOtherDatabaseNeedsAnyDatabase();
    void backupFirstWritesABackupThenRestores();
    void verifyTriesTheBackup();

private:
    // The exit code is -2 when a line written lacks its time; the lines are given without it.
    ProgramRun runProgram(const QStringList& arguments, const QString& workingDir = {}) const;
    // The path of the backup the program writes into `dir`.
    QString backupInto(const QTemporaryDir& dir) const;
    // The bytes of a backup the program wrote; made once.
    QByteArray wholeArchive();

    std::optional<TestCluster> m_cluster;
    QByteArray m_archive;
};

namespace {

void write(const QString& path, const QByteArray& bytes)
{
    QVERIFY2(writeFile(path, bytes), qPrintable(path));
}

void touch(const QString& path)
{
    write(path, "lama");
}

// The local time each line of standard error starts with.
QRegularExpression stamp()
{
    return QRegularExpression(u"^(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d) "_s,
                              QRegularExpression::MultilineOption);
}

} // namespace

void TestCli::initTestCase()
{
    m_cluster = TestCluster::fromEnvironment("RANUPA_CLUSTER_DIR");
    QVERIFY2(m_cluster, "the throwaway cluster is not running");
    QVERIFY2(QFileInfo(programUnderTest()).isExecutable(), "RANUPA_EXECUTABLE is not set");
}

ProgramRun TestCli::runProgram(const QStringList& arguments, const QString& workingDir) const
{
    const QDateTime start = QDateTime::currentDateTime().addSecs(-1); // stamps drop the fraction
    ProgramRun run = m_cluster->runProgram(arguments, workingDir);
    // Every line written to a log (standard output here is a pipe) must start with the local time
    // it was written, so that a scheduler's log says when things happened: checked here for every
    // run, then left out.
    const QString written = run.out + run.err;
    bool stamped = written.count(stamp()) == written.count(u'\n');
    for (const QRegularExpressionMatch& match : stamp().globalMatch(written)) {
        const QDateTime when = QDateTime::fromString(match.captured(1), u"yyyy-MM-dd HH:mm:ss"_s);
        stamped = stamped && when >= start && when <= QDateTime::currentDateTime();
    }
    if (!stamped) {
        qWarning("lines without the time they were written:\n%s", qPrintable(written));
        run.exitCode = -2;
    }
    run.out.remove(stamp());
    run.err.remove(stamp());
    return run;
}

QString TestCli::backupInto(const QTemporaryDir& dir) const
{
    return runProgram({u"--quiet"_s, u"--backup"_s, dir.path()}).exitCode == 0
               ? onlyFileIn(dir.path())
               : QString();
}

QByteArray TestCli::wholeArchive()
{
    if (m_archive.isEmpty()) {
        QTemporaryDir dir;
        m_archive = readFile(backupInto(dir));
    }
    return m_archive;
}

void TestCli::helpAndVersion()
{
    const ProgramRun help = m_cluster->runProgram({u"--help"_s}); // the program's, not a run's
    QCOMPARE(help.exitCode, 0);
    QVERIFY2(help.out.startsWith(u"Penggunaan:\n"_s) && !help.out.contains(u"[opsi] FILE"_s),
             qPrintable(help.out));
    for (const char* option :
         {"--backup", "--keep", "--restore", "--yes", "--backup-first", "--list", "--quiet"}) {
        QVERIFY2(help.out.contains(QString::fromLatin1(option)), option);
    }
    for (int code = 0; code <= 4; ++code) { // what a scheduler's wrapper acts on
        QVERIFY2(help.out.contains(u"\n  %1  "_s.arg(code)), qPrintable(help.out));
    }
    const ProgramRun version = m_cluster->runProgram({u"--version"_s});
    QCOMPARE(version.exitCode, 0);
    QVERIFY(version.out.contains(u"2.5.0.8"_s));
}

void TestCli::badOptionsRunNothing_data()
{
    QTest::addColumn<QString>("arguments"); // DIR stands for an empty directory
    QTest::addColumn<QString>("said");      // on standard error, where it matters
    // Quoted as typed, so that the operator finds it in the scheduled command.
    QTest::newRow("unknown") << u"--backup DIR --fast"_s << u"Opsi tidak dikenal: '--fast'."_s;
    QTest::newRow("with value") << u"--backup DIR --kep=3"_s << u"Opsi tidak dikenal: '--kep'."_s;
    QTest::newRow("unknown, one dash") << u"-bakup DIR"_s << u"Opsi tidak dikenal: '-bakup'."_s;
    // Of several mistakes, the first the program checks for is the one reported.
    QTest::newRow("list and backup")
        << u"--list DIR --backup DIR --at x"_s
        << u"Pilih salah satu: --backup, --restore, --list, --verify, --schedule, --schedule-off, "
           u"--schedule-show atau --history."_s;
    QTest::newRow("missing value") << u"--backup"_s << QString();
    QTest::newRow("keep without number") << u"--backup DIR --keep"_s << QString();
    QTest::newRow("keep not a number")
        << u"--backup DIR --keep=dua --yes"_s << u"--keep perlu bilangan bulat 1 atau lebih."_s;
    QTest::newRow("keep zero") << u"--backup DIR --keep 0"_s << QString();
    QTest::newRow("keep without backup")
        << u"--list DIR --keep 3 --yes"_s
        << u"--keep hanya berlaku dengan --backup atau --schedule."_s;
    QTest::newRow("keep given twice")
        << u"--backup DIR --keep 1 --keep 2"_s << u"--keep hanya boleh sekali."_s;
    QTest::newRow("any database without restore")
        << u"--backup DIR --any-database"_s << u"--any-database hanya berlaku dengan --restore."_s;
    QTest::newRow("at without schedule") << u"--backup DIR --at 10.00 --scheduled --yes"_s
                                         << u"--at hanya berlaku dengan --schedule."_s;
    QTest::newRow("at not a time")
        << u"--schedule DIR --at 25.00 --yes"_s << u"--at perlu jam JJ.MM, misalnya 10.00."_s;
    QTest::newRow("scheduled without backup")
        << u"--schedule DIR --scheduled"_s << u"--scheduled hanya berlaku dengan --backup."_s;
    QTest::newRow("backup and restore") << u"--backup DIR --restore DIR/x.dbk --yes"_s << QString();
    QTest::newRow("backup-first alone") << u"--backup DIR --backup-first DIR"_s
                                        << u"--backup-first hanya berlaku dengan --restore."_s;
    QTest::newRow("backup-first without directory")
        << u"--restore DIR/x.dbk --yes --backup-first="_s
        << u"Folder atau file tidak boleh kosong."_s;
    QTest::newRow("stray argument")
        << u"--backup DIR lagi --keep 0"_s << u"Argumen tidak dikenal: lagi"_s;
    QTest::newRow("empty directory name") << u"--backup="_s << QString();
    QTest::newRow("nothing to do")
        << u"--quiet"_s
        << u"Perlu --backup DIR, --restore FILE, --list DIR, --verify FILE, --schedule DIR, "
           u"--schedule-off, --schedule-show atau --history."_s;
    QTest::newRow("verify without a file")
        << u"--verify --keep 1 --keep 2"_s << u"--verify perlu FILE, atau --backup DIR."_s;
    QTest::newRow("verify and restore")
        << u"--verify DIR/x.dbk --restore DIR/x.dbk --yes"_s << QString();
}

void TestCli::badOptionsRunNothing()
{
    QFETCH(QString, arguments);
    QFETCH(QString, said);
    QTemporaryDir dir;
    const ProgramRun run = runProgram(arguments.split(u' ').replaceInStrings(u"DIR"_s, dir.path()));
    QCOMPARE(run.exitCode, 2);
    QVERIFY(!run.err.trimmed().isEmpty());
    QVERIFY2(run.err.contains(said), qPrintable(run.err));
    QVERIFY(filesIn(dir.path()).isEmpty());
}

void TestCli::backupWritesTheFileAndSaysWhere()
{
    QTemporaryDir dir;
    const ProgramRun run = runProgram({u"--backup"_s, dir.path()});
    QCOMPARE(run.exitCode, 0);
    const QStringList files = filesIn(dir.path());
    QCOMPARE(files.size(), 1);
    QVERIFY(ranupa::backupTime(files[0]).isValid());
    const QString path = dir.filePath(files[0]);
    QCOMPARE(run.out, u"Database ranupaku berhasil disimpan ke "_s + path + u'\n');
    QVERIFY2(run.err.contains(u"pg_dump"_s), "pg_dump's progress is shown while it runs");

    QTemporaryDir quietDir;
    const ProgramRun quiet = runProgram({u"--quiet"_s, u"--backup"_s, quietDir.path()});
    QCOMPARE(quiet.exitCode, 0);
    QCOMPARE(quiet.err, QString());
    QCOMPARE(filesIn(quietDir.path()).size(), 1);
}

void TestCli::failedBackupSaysWhyAndRemovesNothing()
{
    QTemporaryDir install;
    QVERIFY(m_cluster->makeInstallation(install.path(), "DefDBPort=1"));
    QTemporaryDir dir;
    const QStringList old = {u"ranupaku01012020080000.dbk"_s, u"ranupaku02012020080000.dbk"_s};
    for (const QString& name : old) {
        touch(dir.filePath(name));
    }
    const ProgramRun run =
        runProgram({u"--quiet"_s, u"--backup"_s, dir.path(), u"--keep"_s, u"1"_s}, install.path());
    QCOMPARE(run.exitCode, 1);
    // Quiet: the message, then the cause in the window's words, and no details.
    QVERIFY2(run.err.startsWith(u"Gagal melakukan backup\nServer database tidak dapat dihubungi "
                                u"pada port 1 (DefDBPort di config/install.ini)."_s) &&
                 run.err.count(u'\n') == 2,
             qPrintable(run.err));
    QCOMPARE(run.out, QString());
    QCOMPARE(filesIn(dir.path()), old);
}

void TestCli::busyServerExitsFourAndTouchesNothing_data()
{
    QTest::addColumn<QStringList>("arguments"); // DIR: a folder with an old backup; FILE: a backup
    QTest::newRow("backup") << QStringList{u"--backup"_s, u"DIR"_s, u"--keep"_s, u"1"_s};
    QTest::newRow("restore") << QStringList{u"--restore"_s, u"FILE"_s, u"--yes"_s,
                                            u"--backup-first"_s, u"DIR"_s};
}

// "Try again later" is not "failed": a wrapper around the scheduled run can tell them apart.
void TestCli::busyServerExitsFourAndTouchesNothing()
{
    QFETCH(QStringList, arguments);
    QTemporaryDir dir, source;
    const QString file = QDir(source.path()).filePath(u"ranupaku01012026080000.dbk"_s);
    write(file, wholeArchive());
    const QString old = u"ranupaku01012020080000.dbk"_s;
    touch(dir.filePath(old));
    arguments.replaceInStrings(u"DIR"_s, dir.path()).replaceInStrings(u"FILE"_s, file);
    const QString before = m_cluster->databaseFingerprint();

    // Another backup or restore holds the server's lock ("Ranu", "pa H"), on a session of its own.
    Session holder(*m_cluster, u"postgres"_s);
    QVERIFY(holder.run(u"SELECT pg_advisory_lock(1382116981, 1885413448); SELECT 'dipegang';"_s)
                .contains("dipegang"));

    const ProgramRun run = runProgram(arguments);
    QCOMPARE(run.exitCode, 4);
    QVERIFY2(run.err.contains(u"sedang berjalan"_s), qPrintable(run.err));
    QCOMPARE(run.out, QString());
    QCOMPARE(filesIn(dir.path()), QStringList{old});
    QCOMPARE(m_cluster->databaseFingerprint(), before);
}

// Without an installation or a server: only the names and sizes of the files.
void TestCli::listShowsBackupsNewestFirst()
{
    QTemporaryDir dir, elsewhere;
    const QStringList newestFirst = {u"ranupaku08122026091500-sebelum-restore.dbk"_s,
                                     u"ranupaku02122026080000.dbk"_s};
    for (const QString& name : {newestFirst[1], u"catatan.txt"_s, newestFirst[0]}) {
        touch(dir.filePath(name));
    }
    const ProgramRun run = runProgram({u"--list"_s, dir.path()}, elsewhere.path());
    QCOMPARE(run.exitCode, 0);
    const QStringList lines = run.out.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines[0].endsWith(u" | backup pengaman sebelum restore | "_s + newestFirst[0]) &&
                 lines[1].endsWith(u" | backup biasa | "_s + newestFirst[1]),
             qPrintable(run.out));
    QCOMPARE(runProgram({u"--list"_s, dir.filePath(u"tidak-ada"_s)}, elsewhere.path()).exitCode, 1);
}

void TestCli::endedBackupLeavesNoBackupName_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("terminated, as by a scheduler or a shutdown") << int(SIGTERM);
    QTest::newRow("hang-up") << int(SIGHUP);
    QTest::newRow("kill -9") << int(SIGKILL);
}

// Whatever ends the program during pg_dump, no cut-short file may carry a backup's name; what is
// left goes with the next backup into the directory. A signal it can answer cancels the backup.
void TestCli::endedBackupLeavesNoBackupName()
{
    QFETCH(int, signal);
    const auto dumpSessions = [this](const QString& condition) {
        return m_cluster->sessions(u"application_name = 'pg_dump'"_s + condition);
    };
    QTemporaryDir dir;
    {
        const TableLock lock(*m_cluster, u"nilai"_s); // holds pg_dump up halfway
        QVERIFY(lock.isHeld());
        QProcess program;
        m_cluster->startProgram(program, {u"--quiet"_s, u"--backup"_s, dir.path()});
        QTRY_COMPARE_WITH_TIMEOUT(dumpSessions(u" and wait_event_type = 'Lock'"_s), u"1"_s, 60000);
        // pg_dump has created its file before it waits for the table.
        QTRY_COMPARE_WITH_TIMEOUT(filesIn(dir.path()).size(), 1, 60000);
        QCOMPARE(program.state(), QProcess::Running);
        QCOMPARE(::kill(pid_t(program.processId()), signal), 0);
        QVERIFY(program.waitForFinished(60000));
        if (signal != SIGKILL) {
            QCOMPARE(program.exitStatus(), QProcess::NormalExit);
            QCOMPARE(program.exitCode(), 3);
            QVERIFY(QString::fromLocal8Bit(program.readAllStandardError())
                        .contains(u"Backup dibatalkan"_s));
            QCOMPARE(filesIn(dir.path()), QStringList());
        }
    }
    // With the lock gone, a dump that outlived its program writes its file to the end: looked
    // at once no pg_dump is left, on the server or writing into the directory.
    QTRY_COMPARE_WITH_TIMEOUT(dumpSessions({}), u"0"_s, 60000);
    QTRY_COMPARE_WITH_TIMEOUT(processesWith(dir.path()), QList<qint64>(), 60000);
    QCOMPARE(filesIn(dir.path(), u"*.dbk"_s), QStringList());
    // After kill -9 the dump's partial file stays behind.
    QCOMPARE(filesIn(dir.path()).size(), signal == SIGKILL ? 1 : 0);

    const ProgramRun next = runProgram({u"--quiet"_s, u"--backup"_s, dir.path()});
    QCOMPARE(next.exitCode, 0);
    const QStringList files = filesIn(dir.path());
    QCOMPARE(files.size(), 1);
    QVERIFY(ranupa::backupTime(files[0]).isValid());
}

void TestCli::keepLeavesTheNewestBackupsAndNothingElse()
{
    QTemporaryDir dir;
    const QByteArray archive = wholeArchive();
    QVERIFY(!archive.isEmpty());
    // By the time in their names the newest are 2026-01-31 and 2026-01-01; sorted as text they
    // would not be.
    const QStringList backups = {u"ranupaku31012026070000.dbk"_s, u"ranupaku15062025070000.dbk"_s,
                                 u"ranupaku30122024235959.dbk"_s, u"ranupaku01012026000000.dbk"_s};
    const QStringList others = {
        u"catatan.txt"_s,
        u"ranupaku0112202607000.dbk"_s,      // 13 digits
        u"ranupaku01122026070000.dbk.bak"_s, // another extension
        u"RANUPAKU01012020070000.dbk"_s,     // another spelling
        u"ranupakx01012020070000.dbk"_s,     // another edition
        u"ranupaku32132020070000.dbk"_s,     // no such date
        u"salinan ranupaku01012020070000.dbk"_s,
    };
    // Named as backups, newer than all the real ones, but none can be vouched for: counted
    // among the kept, they would cost real backups.
    const QString future = QDateTime::currentDateTime().addDays(1).toString(u"ddMMyyyyhhmmss"_s);
    const QMap<QString, QByteArray> doubtful = {
        {u"ranupaku01012020070000.dbk"_s, {}},
        {u"ranupaku02012020070000.dbk"_s, archive.left(archive.size() / 2)},
        {u"ranupaku"_s + future + u".dbk"_s, archive},
    };
    for (const QString& name : backups) {
        write(dir.filePath(name), archive);
    }
    for (const QString& name : others) {
        write(dir.filePath(name), "lama");
    }
    for (auto it = doubtful.cbegin(); it != doubtful.cend(); ++it) {
        write(dir.filePath(it.key()), it.value());
    }
    const ProgramRun run = runProgram({u"--backup"_s, dir.path(), u"--keep"_s, u"3"_s});
    QCOMPARE(run.exitCode, 0);

    QStringList expected = others + doubtful.keys();
    expected << u"ranupaku31012026070000.dbk"_s << u"ranupaku01012026000000.dbk"_s;
    QStringList written = filesIn(dir.path());
    for (const QString& name : expected) {
        QVERIFY2(written.removeOne(name), qPrintable(name + u" was removed"_s));
    }
    QCOMPARE(written.size(), 1); // the new backup
    QVERIFY(ranupa::backupTime(written[0]).isValid());
    QVERIFY(run.err.contains(u"ranupaku30122024235959.dbk"_s)); // removals are reported
    for (const QString& name : doubtful.keys()) {
        QVERIFY2(run.err.contains(name), qPrintable(name + u" is not reported"_s));
    }
}

// The way back after a restore of the wrong file: however old, even if not whole, a safety backup
// is neither counted, removed nor reported.
void TestCli::keepLeavesSafetyBackupsAlone()
{
    QTemporaryDir dir;
    const QByteArray archive = wholeArchive();
    const QStringList safety = {u"ranupaku01012020080000-sebelum-restore.dbk"_s,
                                u"ranupaku02012020080000-sebelum-restore.dbk"_s};
    write(dir.filePath(safety[0]), archive);
    touch(dir.filePath(safety[1]));
    const QString regular = u"ranupaku01012026080000.dbk"_s;
    write(dir.filePath(regular), archive);
    const ProgramRun run = runProgram({u"--backup"_s, dir.path(), u"--keep"_s, u"1"_s});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.err.contains(regular) && !run.err.contains(u"sebelum-restore"_s),
             qPrintable(run.err));
    QStringList left = filesIn(dir.path());
    QVERIFY(left.removeOne(safety[0]) && left.removeOne(safety[1]));
    QCOMPARE(left.size(), 1);
    QVERIFY(ranupa::backupTime(left[0]).isValid() && left[0] != regular); // the new one alone
}

void TestCli::restoreWantsConfirmation()
{
    QTemporaryDir dir;
    QCOMPARE(runProgram({u"--quiet"_s, u"--backup"_s, dir.path()}).exitCode, 0);
    const QString file = onlyFileIn(dir.path());
    QVERIFY(m_cluster->exec(u"UPDATE sekolah SET nama = nama || ' (ubah)'"_s));
    const QString changed = m_cluster->databaseFingerprint();

    const ProgramRun run = runProgram({u"--restore"_s, file});
    QCOMPARE(run.exitCode, 2);
    QVERIFY(run.err.contains(u"--yes"_s));
    QCOMPARE(m_cluster->databaseFingerprint(), changed);
    m_cluster->psql(u"UPDATE sekolah SET nama = replace(nama, ' (ubah)', '')"_s);
}

void TestCli::restoreRoundTrip()
{
    const QString before = m_cluster->databaseFingerprint();
    QTemporaryDir dir;
    QCOMPARE(runProgram({u"--quiet"_s, u"--backup"_s, dir.path()}).exitCode, 0);
    const QString file = onlyFileIn(dir.path());
    QVERIFY(m_cluster->exec(u"DELETE FROM nilai WHERE semester = 1"_s));
    QVERIFY(m_cluster->databaseFingerprint() != before);
    const ProgramRun run = runProgram({u"--restore"_s, file, u"--yes"_s});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, u"Restore database berhasil\n"_s);
    QVERIFY2(run.err.contains(u"pg_restore"_s), "pg_restore's progress is shown while it runs");
    // How far the load has come, up to the last entry of the backup, shown before the numbered
    // last step.
    const QRegularExpression done(u"\\] 100% \\((\\d+) dari \\1 objek database selesai\\)\\n"
                                  u"Langkah 2 dari 2: mengganti database pendataan\\n"
                                  u"Menyelesaikan restore"_s);
    QVERIFY2(done.match(run.err).hasMatch(), qPrintable(run.err));
    QCOMPARE(m_cluster->databaseFingerprint(), before);
}

void TestCli::restoreOfOtherDatabaseNeedsAnyDatabase()
{
    QTemporaryDir dir;
    QCOMPARE(runProgram({u"--quiet"_s, u"--backup"_s, dir.path()}).exitCode, 0);
    const QString ownBackup = onlyFileIn(dir.path());
    const QString before = m_cluster->databaseFingerprint();

    const QString other = dir.filePath(u"lain.dbk"_s);
    QVERIFY(m_cluster->dumpOtherDatabase(u"arsip_lain"_s, u"CREATE TABLE satu AS SELECT 7 AS x"_s,
                                         other));

    const ProgramRun refused = runProgram({u"--restore"_s, other, u"--yes"_s}); // details name it
    QCOMPARE(refused.exitCode, 1);
    QVERIFY2(refused.err.contains(u"\"arsip_lain\""_s), qPrintable(refused.err));
    QCOMPARE(m_cluster->databaseFingerprint(), before);

    const ProgramRun accepted =
        runProgram({u"--quiet"_s, u"--restore"_s, other, u"--yes"_s, u"--any-database"_s});
    QCOMPARE(accepted.exitCode, 0);
    QCOMPARE(m_cluster->psql(u"SELECT x FROM satu"_s), u"7"_s);

    QCOMPARE(runProgram({u"--quiet"_s, u"--restore"_s, ownBackup, u"--yes"_s}).exitCode, 0);
    QCOMPARE(m_cluster->databaseFingerprint(), before);
}

void TestCli::backupFirstWritesABackupThenRestores()
{
    QTemporaryDir dir;
    QCOMPARE(runProgram({u"--quiet"_s, u"--backup"_s, dir.path()}).exitCode, 0);
    const QString file = onlyFileIn(dir.path());
    const QString before = m_cluster->databaseFingerprint();
    QVERIFY(m_cluster->exec(u"DELETE FROM nilai WHERE semester = 1"_s));

    QTemporaryDir safetyDir;
    const ProgramRun run =
        runProgram({u"--restore"_s, file, u"--yes"_s, u"--backup-first"_s, safetyDir.path()});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(m_cluster->databaseFingerprint(), before);
    const QStringList safety = filesIn(safetyDir.path());
    QCOMPARE(safety.size(), 1);
    // Named apart from the regular backups, so that --keep never counts it.
    QVERIFY(safety[0].endsWith(u"-sebelum-restore.dbk"_s));
    QVERIFY(!ranupa::backupTime(safety[0]).isValid());
    QVERIFY(run.err.contains(QDir(safetyDir.path()).filePath(safety[0])));
}

// A trial restore says whether a file can be restored, with the exit code a scheduler reads, and
// a backup tried right after it is written is kept with the others. Quiet, a success is its line
// alone; and no sentence is said twice.
void TestCli::verifyTriesTheBackup()
{
    QTemporaryDir dir;
    write(dir.filePath(u"ranupaku01012020080000.dbk"_s), wholeArchive()); // for --keep to remove
    const QString before = m_cluster->databaseFingerprint();
    const ProgramRun backup =
        runProgram({u"--quiet"_s, u"--backup"_s, dir.path(), u"--verify"_s, u"--keep"_s, u"1"_s});
    QCOMPARE(backup.exitCode, 0);
    const QString good = onlyFileIn(dir.path());
    QVERIFY(!good.isEmpty()); // the one backup
    QCOMPARE(backup.out + backup.err, u"Database ranupaku berhasil disimpan ke "_s + good + u'\n');
    const QString bad = dir.filePath(u"bukan.dbk"_s);
    QVERIFY(writeFile(bad, "bukan backup"));

    const ProgramRun passed = runProgram({u"--quiet"_s, u"--verify"_s, good});
    QCOMPARE(passed.exitCode, 0);
    QCOMPARE(passed.out.trimmed(), u"Backup dapat di-restore"_s);
    const ProgramRun failed = runProgram({u"--verify"_s, bad});
    QCOMPARE(failed.exitCode, 1);
    QVERIFY2(failed.err.contains(u"Backup tidak dapat di-restore"_s) &&
                 failed.err.contains(u"Langkah yang gagal"_s) &&
                 failed.err.count(u"Database pendataan tidak diubah."_s) == 1,
             qPrintable(failed.err));
    QCOMPARE(m_cluster->databaseFingerprint(), before);
}

QTEST_GUILESS_MAIN(TestCli)
#include "test_cli.moc"
