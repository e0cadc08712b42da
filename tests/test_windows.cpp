// The Windows program under Wine, as a school runs it: unpacked from the zip into an installation
// folder with the Windows PostgreSQL programs under pgsql\bin, against the cluster on localhost,
// which the checks read with the Linux psql. Run by tests/windows/winerun (see windows.cmake).
#include "testcluster.h"

#include <QProcess>
#include <QtTest>
#include <memory>

using namespace Qt::StringLiterals;

class TestWindows final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void zipHoldsWhatASchoolNeeds();
    void helpReadsInIndonesian();
    void roundTripThroughFoldersWithSpacesAndAccents();
    void failuresSayTheirCause_data();
    void failuresSayTheirCause();
    void consoleStopsCancelSafely_data();
    void consoleStopsCancelSafely();
    void toolsStartHiddenFromTheProgramsFolder();

private:
    struct Run
    {
        int exitCode = -1;
        QString out;
        QString err;
    };
    struct Start
    {
        QString program;    // the installation's ranupa-helper.exe unless set
        QString workingDir; // the installation folder unless set
        QString console;    // in a console of consolectrl's, which does this once a line comes
    };
    std::unique_ptr<QProcess> start(const QStringList& arguments, const Start& how = {}) const;
    Run finish(QProcess& process) const;
    Run run(const QStringList& arguments, const Start& how = {}) const
    {
        return finish(*start(arguments, how));
    }
    // An installation folder C:\<name> whose settings name `port` (the cluster's unless set);
    // `probed` puts toolprobe.exe before the tools. Gives its Windows path.
    QString install(const QString& name, const QString& port = {}, bool probed = false) const;

    std::optional<TestCluster> m_cluster;
    QDir m_drive;           // C:
    QString m_program;      // C:\Ranupa\ranupa-helper.exe
    QString m_backup;       // a good backup of the demo pendataan, in the Linux file system
    QTemporaryDir m_output; // the program's standard output and error
};

namespace {

QString winePrefix()
{
    return qEnvironmentVariable("WINEPREFIX");
}

QString windowsBuild(const QString& path)
{
    return QDir(qEnvironmentVariable("RANUPA_WINDOWS_BUILD_DIR")).filePath(path);
}

// The Windows path of a file on drive C, which is the prefix's drive_c.
QString onC(const QString& path)
{
    return u"C:\\"_s + QString(path).replace(u'/', u'\\');
}

// C:\<name>, there and empty.
bool emptyFolder(const QDir& drive, const QString& name)
{
    QDir(drive.filePath(name)).removeRecursively();
    return drive.mkpath(name);
}

bool runs(const QString& program, const QStringList& arguments)
{
    return QProcess::execute(program, arguments) == 0;
}

// A psql session of the application `name` that has run `statement` and stays until it goes.
std::unique_ptr<QProcess> holding(const TestCluster& cluster, const QString& name,
                                  const QString& statement)
{
    auto session = std::make_unique<QProcess>();
    QProcessEnvironment environment = cluster.clientEnvironment();
    environment.insert(u"PGAPPNAME"_s, name);
    session->setProcessEnvironment(environment);
    session->start(cluster.binDir + u"/psql"_s,
                   {u"-X"_s, u"-q"_s, u"-A"_s, u"-t"_s, u"-h"_s, cluster.socketDir, u"-p"_s,
                    cluster.port, u"-U"_s, u"postgres"_s, u"-d"_s, u"postgres"_s});
    session->write(statement.toUtf8() + ";\nSELECT 'dipegang';\n");
    QByteArray said;
    while (!said.contains("dipegang") && session->waitForReadyRead(20000)) {
        said += session->readAllStandardOutput();
    }
    return session;
}

// The server session of `application` waits, for a lock or for tertahan's rows.
bool waits(const TestCluster& cluster, const QString& application)
{
    return cluster.psql(u"SELECT count(*) FROM pg_stat_activity WHERE application_name = '%1' "
                        u"AND wait_event IN ('relation', 'PgSleep')"_s.arg(application),
                        u"postgres"_s) == u"1"_s;
}

} // namespace

void TestWindows::initTestCase()
{
    m_cluster = TestCluster::fromEnvironment("RANUPA_WINDOWS_CLUSTER_DIR");
    QVERIFY2(m_cluster, "the cluster is not running");
    m_drive = QDir(winePrefix() + u"/drive_c"_s);
    QVERIFY2(m_drive.exists(), "no Wine prefix (WINEPREFIX)");
    m_program = install(u"Ranupa"_s) + u"\\ranupa-helper.exe"_s;
    // A table whose rows, as they load into any database, wait while a session of the
    // application "tahan" is there: a load to interrupt.
    QVERIFY(!m_cluster
                 ->psql(uR"(CREATE OR REPLACE FUNCTION tunggu() RETURNS boolean LANGUAGE plpgsql
    AS $$ BEGIN
        WHILE EXISTS (SELECT FROM pg_stat_activity WHERE application_name = 'tahan') LOOP
            PERFORM pg_sleep(0.05);
        END LOOP;
        RETURN true;
    END $$;
DROP TABLE IF EXISTS tertahan;
CREATE TABLE tertahan (id int CHECK (tunggu()));
INSERT INTO tertahan VALUES (1);)"_s)
                 .isNull());
    QVERIFY(m_drive.mkpath(u"Awal"_s));
    QCOMPARE(run({u"--quiet"_s, u"--backup"_s, onC(u"Awal"_s)}).exitCode, 0);
    m_backup = m_drive.filePath(u"Awal/"_s + filesIn(m_drive.filePath(u"Awal"_s)).value(0));
}

std::unique_ptr<QProcess> TestWindows::start(const QStringList& arguments, const Start& how) const
{
    auto process = std::make_unique<QProcess>();
    process->setWorkingDirectory(how.workingDir.isEmpty() ? m_drive.filePath(u"Ranupa"_s)
                                                          : how.workingDir);
    const QString program = how.program.isEmpty() ? m_program : how.program;
    // Into files rather than pipes: Wine's programs (its services, its desktop) would hold a pipe
    // open after the program, and under Wine 8 the program's exit sometimes waits on them.
    process->setStandardOutputFile(m_output.filePath(u"out"_s));
    process->setStandardErrorFile(m_output.filePath(u"err"_s));
    if (how.console.isEmpty()) {
        process->setStandardInputFile(QProcess::nullDevice());
        process->start(u"wine"_s, QStringList{program} + arguments);
    } else {
        process->start(u"wine"_s, {windowsBuild(u"build/consolectrl.exe"_s), how.console,
                                   u"\"%1\" %2"_s.arg(program, arguments.join(u' '))});
    }
    return process;
}

TestWindows::Run TestWindows::finish(QProcess& process) const
{
    process.closeWriteChannel(); // a console that no line reached is left alone
    Run result;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    // Wine's ANSI code page for a UTF-8 locale is 1252, which agrees with Latin-1 on every
    // letter used here; the lines end in CR LF.
    QFile out(m_output.filePath(u"out"_s)), err(m_output.filePath(u"err"_s));
    if (out.open(QIODevice::ReadOnly) && err.open(QIODevice::ReadOnly)) {
        // Written to a file, the results carry the time too, as the Linux tests check.
        static const QRegularExpression stamp(u"^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d "_s,
                                              QRegularExpression::MultilineOption);
        result.out = QString::fromLatin1(out.readAll()).remove(u'\r').remove(stamp);
        result.err = QString::fromLatin1(err.readAll()).remove(u'\r');
    }
    return result;
}

QString TestWindows::install(const QString& name, const QString& port, bool probed) const
{
    const QString dir = m_drive.filePath(name);
    if (!runs(qEnvironmentVariable("RANUPA_WINERUN"),
              {u"install"_s, dir, port.isEmpty() ? m_cluster->port : port})) {
        return {};
    }
    for (const QString tool : {u"pg_dump"_s, u"psql"_s, u"pg_restore"_s}) {
        const QString path = dir + u"/pgsql/bin/"_s + tool;
        if (probed && !(QFile::rename(path + u".exe"_s, path + u"-asli.exe"_s) &&
                        QFile::copy(windowsBuild(u"build/toolprobe.exe"_s), path + u".exe"_s))) {
            return {};
        }
    }
    return onC(name);
}

// Beyond what the program needs to run, which every test shows: its texts, its style, and its
// resources (the version, and the icon under the name Qt gives its windows).
void TestWindows::zipHoldsWhatASchoolNeeds()
{
    const QDir dir(m_drive.filePath(u"Ranupa"_s));
    for (const QString file :
         {u"BACA-SAYA.txt"_s, u"lisensi/LISENSI.txt"_s, u"lisensi/LGPL-3.txt"_s,
          u"lisensi/PostgreSQL.txt"_s, u"styles/qwindowsvistastyle.dll"_s}) {
        QVERIFY2(dir.exists(file), qPrintable(file));
    }
    QFile program(dir.filePath(u"ranupa-helper.exe"_s));
    QVERIFY(program.open(QIODevice::ReadOnly));
    const QByteArray bytes = program.readAll();
    for (const QString text : {u"IDI_ICON1"_s, u"FileVersion"_s, u"OriginalFilename"_s}) {
        const QByteArray utf16(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
        QVERIFY2(bytes.contains(utf16), qPrintable(text));
    }
}

// Qt's own texts come from the translation carried in the program; the stop requests are
// Windows's.
void TestWindows::helpReadsInIndonesian()
{
    const Run help = run({u"--help"_s});
    QCOMPARE(help.exitCode, 0);
    for (const QString& text :
         {u"Penggunaan:"_s, u"Opsi:"_s, u"Tampilkan bantuan ini."_s, u"jendela konsol ditutup"_s}) {
        QVERIFY2(help.out.contains(text), qPrintable(help.out));
    }
}

void TestWindows::roundTripThroughFoldersWithSpacesAndAccents()
{
    const QString before = m_cluster->databaseFingerprint();
    const QString folder = u"Cadangan Bu D\u00e9si"_s; // written as "C:\Cadangan Bu Dési\"
    QVERIFY(emptyFolder(m_drive, folder));
    const Run first = run({u"--backup"_s, onC(folder) + u'\\'});
    QCOMPARE(first.exitCode, 0);
    QStringList names = filesIn(m_drive.filePath(folder));
    QCOMPARE(names.size(), 1);
    QCOMPARE(first.out,
             u"Database ranupaku berhasil disimpan ke %1\\%2\n"_s.arg(onC(folder), names[0]));

    // --keep: an old copy goes once the new backup is safe.
    QVERIFY(QFile::copy(m_backup, m_drive.filePath(folder + u"/ranupaku01012020080000.dbk"_s)));
    QCOMPARE(run({u"--quiet"_s, u"--backup"_s, onC(folder), u"--keep"_s, u"2"_s}).exitCode, 0);
    names = filesIn(m_drive.filePath(folder));
    QCOMPARE(names.size(), 2);
    QVERIFY2(!names.contains(u"ranupaku01012020080000.dbk"_s), qPrintable(names.join(u' ')));
    const Run list = run({u"--list"_s, onC(folder)});
    QCOMPARE(list.exitCode, 0);
    QCOMPARE(list.out.count(u"| backup biasa | ranupaku"_s), 2);
    QVERIFY2(list.out.indexOf(names[1]) < list.out.indexOf(names[0]), qPrintable(list.out));

    // From a copy on a flash disk: tried, then restored over a change.
    const QString copy = u"Flashdisk D\u00e9sa/salinan \u00d1.dbk"_s;
    QVERIFY(m_drive.mkpath(u"Flashdisk D\u00e9sa"_s));
    QFile::remove(m_drive.filePath(copy));
    QVERIFY(QFile::copy(m_drive.filePath(folder + u'/' + names[1]), m_drive.filePath(copy)));
    const Run verify = run({u"--verify"_s, onC(copy)});
    QCOMPARE(verify.exitCode, 0);
    QVERIFY2(verify.out.startsWith(u"Backup dapat di-restore"_s), qPrintable(verify.err));
    QVERIFY(!m_cluster->psql(u"DELETE FROM nilai WHERE semester = 1"_s).isNull());
    const Run restore = run({u"--restore"_s, onC(copy), u"--yes"_s});
    QCOMPARE(restore.exitCode, 0);
    QCOMPARE(restore.out, u"Restore database berhasil\n"_s);
    QCOMPARE(m_cluster->databaseFingerprint(), before);
    // The load's progress ends with every entry of the backup done by pg_restore.exe's workers.
    const QRegularExpression loaded(u"\\((\\d+) dari \\1 objek database selesai\\)\\n"
                                    u"[^\\n]*Langkah 2 dari 2: [^\\n]*\\n[^\\n]*Menyelesaikan"_s);
    QVERIFY2(loaded.match(restore.err).hasMatch(), qPrintable(restore.err));
}

void TestWindows::failuresSayTheirCause_data()
{
    QTest::addColumn<QStringList>("arguments"); // FILE: a damaged backup; DIR: an empty folder
    QTest::addColumn<QString>("port");          // in install.ini; "" for the cluster's
    QTest::addColumn<QString>("lock");          // a statement whose session stays meanwhile
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("cause");
    const QString damaged = u"File ini rusak, tidak lengkap, atau bukan file backup."_s;
    QTest::newRow("damaged file, trial")
        << QStringList{u"--verify"_s, u"FILE"_s} << QString() << QString() << 1 << damaged;
    QTest::newRow("damaged file, restore") << QStringList{u"--restore"_s, u"FILE"_s, u"--yes"_s}
                                           << QString() << QString() << 1 << damaged;
    QTest::newRow("no server") << QStringList{u"--backup"_s, u"DIR"_s} << u"1"_s << QString() << 1
                               << u"Server database tidak dapat dihubungi pada port 1"_s;
    QTest::newRow("another backup or restore running")
        << QStringList{u"--backup"_s, u"DIR"_s} << QString()
        << u"SELECT pg_advisory_lock(1382116981, 1885413448)"_s << 4
        << u"Backup atau restore lain sedang berjalan"_s;
}

void TestWindows::failuresSayTheirCause()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, port);
    QFETCH(QString, lock);
    QFETCH(int, exitCode);
    QFETCH(QString, cause);
    QVERIFY(emptyFolder(m_drive, u"Gagal"_s));
    QFile source(m_backup), damaged(m_drive.filePath(u"Gagal/rusak.dbk"_s));
    QVERIFY(source.open(QIODevice::ReadOnly) && damaged.open(QIODevice::WriteOnly));
    damaged.write(source.read(source.size() / 2));
    damaged.close();
    arguments.replaceInStrings(u"FILE"_s, onC(u"Gagal\\rusak.dbk"_s))
        .replaceInStrings(u"DIR"_s, onC(u"Gagal"_s));
    // Another installation, whose settings name a port no server listens on.
    const QString program = port.isEmpty() ? QString() : install(u"Lain"_s, port);
    const auto holder = lock.isEmpty() ? nullptr : holding(*m_cluster, u"kunci"_s, lock);
    const QString before = m_cluster->databaseFingerprint();

    const Run result = run(
        arguments, {.program = program.isEmpty() ? QString() : program + u"\\ranupa-helper.exe"_s,
                    .workingDir = program.isEmpty() ? QString() : m_drive.filePath(u"Lain"_s)});
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY2(result.err.contains(cause), qPrintable(result.err));
    QCOMPARE(filesIn(m_drive.filePath(u"Gagal"_s)), QStringList{u"rusak.dbk"_s});
    QCOMPARE(m_cluster->databaseFingerprint(), before);
}

void TestWindows::consoleStopsCancelSafely_data()
{
    QTest::addColumn<QString>("console"); // what happens to the console
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("tool");  // found waiting when it happens
    QTest::addColumn<QString>("table"); // whose lock it waits for; "" for tertahan's rows
    QTest::newRow("Ctrl+C during a backup")
        << u"ctrl-c"_s << QStringList{u"--backup"_s, onC(u"Konsol"_s)} << u"pg_dump"_s
        << u"nilai"_s;
    QTest::newRow("console closed during a restore")
        << u"close"_s << QStringList{u"--restore"_s, onC(u"Konsol\\cadangan.dbk"_s), u"--yes"_s}
        << u"pg_restore"_s << QString();
}

void TestWindows::consoleStopsCancelSafely()
{
    QFETCH(QString, console);
    QFETCH(QStringList, arguments);
    QFETCH(QString, tool);
    QFETCH(QString, table);
    QVERIFY(emptyFolder(m_drive, u"Konsol"_s));
    QVERIFY(QFile::copy(m_backup, m_drive.filePath(u"Konsol/cadangan.dbk"_s)));
    const QString before = m_cluster->databaseFingerprint();
    auto tableLock = table.isEmpty() ? nullptr : std::make_unique<TableLock>(*m_cluster, table);
    auto rows = table.isEmpty() ? holding(*m_cluster, u"tahan"_s, u"SELECT 1"_s) : nullptr;

    const auto program = start(arguments, {.console = console});
    QTRY_VERIFY_WITH_TIMEOUT(waits(*m_cluster, tool), 60000);
    program->write("\n");
    const Run stopped = finish(*program);
    tableLock.reset();
    rows.reset();
    QCOMPARE(stopped.exitCode, 3);
    QVERIFY2(stopped.err.contains(u"Dihentikan; membatalkan dengan aman"_s),
             qPrintable(stopped.err));
    // The partial backup is gone, the loaded database dropped, pendataan as it was.
    QCOMPARE(filesIn(m_drive.filePath(u"Konsol"_s)), QStringList{u"cadangan.dbk"_s});
    QCOMPARE(m_cluster->psql(u"SELECT count(*) FROM pg_database WHERE datname LIKE 'ranupa%'"_s),
             u"0"_s);
    QCOMPARE(m_cluster->databaseFingerprint(), before);
}

// Started from another folder, the program finds the installation in its own (with spaces in its
// path), and a relative folder counts from where it was started. Started in a console (which
// nothing happens to), its tools start without a window, where they would share the console's.
void TestWindows::toolsStartHiddenFromTheProgramsFolder()
{
    const QString program = install(u"Program Files/Ranupa Sekolah"_s, {}, true);
    QVERIFY(!program.isEmpty());
    QVERIFY(emptyFolder(m_drive, u"Kerja"_s) && m_drive.mkpath(u"Kerja/Cadangan"_s));
    const Run backup = run({u"--backup"_s, u"Cadangan"_s, u"--verify"_s},
                           {.program = program + u"\\ranupa-helper.exe"_s,
                            .workingDir = m_drive.filePath(u"Kerja"_s),
                            .console = u"close"_s});
    for (const QString tool : {u"pg_dump"_s, u"psql"_s, u"pg_restore"_s}) {
        QFile starts(
            m_drive.filePath(u"Program Files/Ranupa Sekolah/pgsql/bin/"_s + tool + u".starts"_s));
        QVERIFY2(starts.open(QIODevice::ReadOnly | QIODevice::Text), qPrintable(tool));
        const QStringList lines =
            QString::fromLatin1(starts.readAll()).split(u'\n', Qt::SkipEmptyParts);
        QVERIFY(!lines.isEmpty());
        // SW_HIDE is 0; the console window is the one they would share.
        QCOMPARE(lines.filter(u"show=0 consolewindow=no"_s).size(), lines.size());
    }
    QCOMPARE(backup.exitCode, 0);
    const QStringList written = filesIn(m_drive.filePath(u"Kerja/Cadangan"_s));
    QCOMPARE(written.size(), 1);
    QCOMPARE(backup.out, u"Database ranupaku berhasil disimpan ke %1\\%2\n"_s.arg(
                             onC(u"Kerja\\Cadangan"_s), written[0]));
}

QTEST_GUILESS_MAIN(TestWindows)
#include "test_windows.moc"
