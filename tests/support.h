// What many tests do besides driving the program: files and folders, the working directory, a
// scratch installation of the school-data application, and the program itself run unattended.
#pragma once

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTest>
#include <algorithm>
#include <csignal>
#include <functional>

// The files in `dir` whose names match `pattern`, hidden ones too, sorted by name.
inline QStringList filesIn(const QString& dir, const QString& pattern = QStringLiteral("*"))
{
    return QDir(dir).entryList({pattern}, QDir::Files | QDir::Hidden, QDir::Name);
}

// The path of the one file in `dir`, as the program names it after a backup into `dir`.
inline QString onlyFileIn(const QString& dir)
{
    const QStringList files = filesIn(dir);
    return files.size() == 1 ? QDir(dir).filePath(files.constFirst()) : QString();
}

// Makes the folder `path` and those above it; the path. The test fails when it cannot.
inline QString madeFolder(const QString& path)
{
    QTest::qVerify(QDir().mkpath(path), "QDir().mkpath(path)", qPrintable(path), __FILE__,
                   __LINE__);
    return path;
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline QElapsedTimer startedTimer()
{
    QElapsedTimer timer;
    timer.start();
    return timer;
}

// The processes whose command line holds `text` (Linux).
inline QList<qint64> processesWith(const QString& text)
{
    QList<qint64> found;
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (pid.toLongLong() > 0 && cmdline.open(QIODevice::ReadOnly) &&
            cmdline.readAll().contains(QFile::encodeName(text))) {
            found << pid.toLongLong();
        }
    }
    return found;
}

// A process the test stops and lets run on, so that the program meets it at a chosen point of its
// work however fast or busy the machine is: it runs only until what the test waits for holds.
// It runs on freely once this goes.
class HeldProcess final
{
    Q_DISABLE_COPY_MOVE(HeldProcess)

public:
    HeldProcess() = default;
    ~HeldProcess() { resume(); }

    // Stops the process `pid` (0 when it was not found: nothing is stopped).
    void stop(qint64 pid)
    {
        m_pid = pid;
        m_stopped = pid > 0 && ::kill(pid_t(pid), SIGSTOP) == 0;
    }
    bool isStopped() const { return m_stopped; }
    // Lets it run until `reached` holds, asking again and again meanwhile, then stops it again at
    // once; false when it did not come to hold within `timeoutMs`.
    bool runUntil(const std::function<bool()>& reached, int timeoutMs = 120'000)
    {
        if (!m_stopped || ::kill(pid_t(m_pid), SIGCONT) != 0) {
            return false;
        }
        const QDeadlineTimer deadline(timeoutMs);
        bool held = reached();
        while (!held && !deadline.hasExpired()) {
            held = reached();
        }
        ::kill(pid_t(m_pid), SIGSTOP);
        return held;
    }
    void resume()
    {
        if (m_stopped) {
            ::kill(pid_t(m_pid), SIGCONT);
            m_stopped = false;
        }
    }

private:
    qint64 m_pid = 0;
    bool m_stopped = false;
};

// Makes `dir` the working directory while it lives, as the program runs in an installation.
class CurrentDirectory final
{
    Q_DISABLE_COPY_MOVE(CurrentDirectory)

public:
    explicit CurrentDirectory(const QString& dir) : m_previous(QDir::currentPath())
    {
        QVERIFY2(QDir::setCurrent(dir), qPrintable(dir));
    }
    ~CurrentDirectory() { QDir::setCurrent(m_previous); }

private:
    QString m_previous;
};

// The private copies of backups that the program keeps in the temp folder while it loads one.
inline QStringList backupCopiesIn(const QString& tempFolder)
{
    return QDir(tempFolder)
        .entryList({QStringLiteral("ranupa-helper-salinan-*")}, QDir::Dirs | QDir::Hidden);
}

// The program's temp folder (TMPDIR) is `dir` while this lives, for this process and the
// programs it starts; with `tmpfsOptions` ("size=1m", "nr_inodes=4") a tmpfs of its own mounted
// there, a temp folder short of room or of files. Mounting needs root (isUsable() says).
class TempFolder final
{
    Q_DISABLE_COPY_MOVE(TempFolder)

public:
    explicit TempFolder(const QString& dir, const QString& tmpfsOptions = {})
        : m_dir(dir), m_previous(qgetenv("TMPDIR")), m_wasSet(qEnvironmentVariableIsSet("TMPDIR"))
    {
        QDir().mkpath(dir);
        m_mounted =
            !tmpfsOptions.isEmpty() &&
            QProcess::execute(QStringLiteral("mount"),
                              {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                               tmpfsOptions, QStringLiteral("ranupa-uji-tmp"), dir}) == 0;
        m_usable = tmpfsOptions.isEmpty() || m_mounted;
        qputenv("TMPDIR", QFile::encodeName(dir));
    }
    ~TempFolder()
    {
        if (m_wasSet) {
            qputenv("TMPDIR", m_previous);
        } else {
            qunsetenv("TMPDIR");
        }
        if (m_mounted) {
            QProcess::execute(QStringLiteral("umount"), {m_dir});
        }
    }
    bool isUsable() const { return m_usable; }
    QString path() const { return m_dir; }
    QStringList backupCopies() const { return backupCopiesIn(m_dir); }

private:
    QString m_dir;
    QByteArray m_previous;
    bool m_wasSet = false;
    bool m_mounted = false;
    bool m_usable = false;
};

inline const QStringList clientPrograms{QStringLiteral("pg_dump"), QStringLiteral("psql"),
                                        QStringLiteral("pg_restore")};

// A scratch installation of the school-data application in `dir`: config/install.ini holding
// `settings` unless they are null, and in pgsql/bin links to the `programs` of `binDir`.
inline bool makeInstallation(const QString& dir, const QByteArray& settings,
                             const QString& binDir = {}, const QStringList& programs = {})
{
    const QDir root(dir);
    if (!root.mkpath(QStringLiteral("pgsql/bin")) ||
        (!settings.isNull() &&
         (!root.mkpath(QStringLiteral("config")) ||
          !writeFile(root.filePath(QStringLiteral("config/install.ini")), settings)))) {
        return false;
    }
    return std::all_of(programs.begin(), programs.end(), [&](const QString& program) {
        return QFile::link(QDir(binDir).filePath(program),
                           root.filePath(QStringLiteral("pgsql/bin/") + program));
    });
}

// The program under test, as the build tells the tests where it is.
inline QString programUnderTest()
{
    return qEnvironmentVariable("RANUPA_EXECUTABLE");
}

// How a run of a program ended: its exit code (-1 when it crashed or did not end) and what it
// wrote.
struct ProgramRun
{
    int exitCode = -1;
    QString out;
    QString err;
};

// Starts `program` in `dir` as a scheduler does: with `environment` less any display, and with
// nothing on standard input.
inline void startUnattended(QProcess& process, const QString& program, const QStringList& arguments,
                            const QString& dir, QProcessEnvironment environment)
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        environment.remove(QString::fromLatin1(name));
    }
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(dir);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);
}

// Waits until `process` has written `text` on its standard error; what it wrote until then.
inline QByteArray waitForError(QProcess& process, const QByteArray& text)
{
    QByteArray err;
    process.setReadChannel(QProcess::StandardError);
    while (!err.contains(text) && process.waitForReadyRead(60'000)) {
        err += process.readAllStandardError();
    }
    return err;
}

// Waits for a started program to end, two minutes at the most, and tells how it ended.
inline ProgramRun finishRun(QProcess& process)
{
    ProgramRun run;
    if (!process.waitForFinished(120'000)) {
        process.kill();
        process.waitForFinished();
        qWarning("the program did not end");
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}
