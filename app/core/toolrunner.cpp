#include "core/toolrunner.h"

#include "core/commandline.h"

#include <QByteArrayView>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMetaMethod>
#include <QStringDecoder>
#include <QTimer>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#include <string>
#else
#include <cerrno>
#include <csignal>
#include <sys/types.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

QString decodeLocal8Bit(QByteArrayView bytes)
{
    QStringDecoder decoder(QStringConverter::System);
    return decoder.decode(bytes);
}

#ifdef Q_OS_WIN
// Windows children split their own command line, so it goes to CreateProcess exactly as built.
// The program file is named apart, taken from the installation directory: the working
// directory, which the paths in the rest of the line count from, may be another one.
void prepareStart(QProcess& process, const QString& commandLine, const QStringList& argv,
                  const QDir& programDir)
{
    const QString program = QDir::toNativeSeparators(
        programDir.absoluteFilePath(QDir::fromNativeSeparators(argv.constFirst())));
    process.setProgram(program);
    process.setArguments({});
    auto nativeProgram = std::make_shared<std::wstring>(program.toStdWString());
    auto nativeLine = std::make_shared<std::wstring>(commandLine.toStdWString());
    process.setCreateProcessArgumentsModifier(
        [nativeProgram, nativeLine](QProcess::CreateProcessArguments* args) {
            args->applicationName = nativeProgram->c_str();
            args->arguments = nativeLine->data();
            args->startupInfo->dwFlags |= STARTF_USESHOWWINDOW;
            args->startupInfo->wShowWindow = SW_HIDE;
            // The tools are console programs: CREATE_NO_WINDOW runs them without any console
            // window, where SW_HIDE alone leaves hiding it to the console. Normal priority: no
            // priority class flag. Qt's CREATE_UNICODE_ENVIRONMENT stays (environment in UTF-16).
            args->flags |= CREATE_NO_WINDOW;
        });
}

void killChildTree(QProcess& process)
{
    process.kill();
}
#else
// Gives the child what a Windows child would make of the command line: the runtime's splitting,
// and a program path resolved against the program directory, never through PATH.
void prepareStart(QProcess& process, const QString&, const QStringList& argv,
                  const QDir& programDir)
{
    process.setProgram(commandline::resolveProgramPath(argv.constFirst(), programDir));
    process.setArguments(argv.mid(1));
#ifdef Q_OS_LINUX
    const pid_t parent = ::getpid();
#endif
    process.setChildProcessModifier([=] {
        // Runs in the child between fork and exec: async-signal-safe calls only.
        // A session of its own has no controlling terminal, so nothing can prompt on /dev/tty;
        // it also makes the child a process-group leader that cancel() can kill as a whole.
        ::setsid();
        // The program may ignore SIGPIPE; its tools must not inherit that.
        ::signal(SIGPIPE, SIG_DFL);
#ifdef Q_OS_LINUX
        // Outside the terminal's reach, a tool would outlive a program that was killed, and a
        // restore load would run on with nobody left to finish or undo it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127); // the program died before the line above took effect
        }
#endif
    });
}

// The child leads its own process group (see prepareStart): end whatever it started, too.
void killChildTree(QProcess& process)
{
    const qint64 pid = process.processId();
    if (pid <= 0 || ::kill(static_cast<pid_t>(-pid), SIGKILL) != 0)
        process.kill();
}
#endif

// Grows `buffer` geometrically so that appending `more` bytes does not reallocate each time.
void reserveForAppend(QByteArray& buffer, qint64 more)
{
    const qsizetype needed = buffer.size() + more;
    if (needed <= buffer.capacity())
        return;
    buffer.reserve(std::max(needed, 2 * buffer.capacity()));
}

// Read from the input at a time: enough to keep a tool busy, little enough to hold.
constexpr qint64 inputChunkBytes = 1 << 20;

} // namespace

QProcessEnvironment toolEnvironment(const QProcessEnvironment& from)
{
    QProcessEnvironment environment = from;
    for (const auto* name : {u"PGOPTIONS", u"PGDATABASE", u"PGSERVICE", u"PGSERVICEFILE", u"PSQLRC",
                             u"PGHOSTADDR", u"PGCLIENTENCODING", u"PGDATESTYLE", u"PGTZ", u"PGGEQO",
                             u"PSQL_PAGER", u"PAGER", u"PG_COLORS", u"LANGUAGE"}) {
        environment.remove(QString::fromUtf16(name));
    }
    // LC_ALL would outrank LC_MESSAGES; what it says of the characters' encoding stays.
    if (environment.contains(u"LC_ALL"_s)) {
        environment.insert(u"LC_CTYPE"_s, environment.value(u"LC_ALL"_s));
        environment.remove(u"LC_ALL"_s);
    }
    environment.insert(u"LC_MESSAGES"_s, u"C"_s);
    environment.insert(u"PG_COLOR"_s, u"never"_s);
    return environment;
}

bool prepareToolProcess(QProcess& process, const QString& commandLine, const QString& programDir)
{
    const QString line = commandline::withoutLeadingControls(commandLine);
    const QStringList argv = commandline::splitWindowsCommandLine(line);
    if (argv.constFirst().isEmpty()) {
        return false;
    }
    process.setProcessEnvironment(toolEnvironment(QProcessEnvironment::systemEnvironment()));
    prepareStart(process, line, argv, programDir.isEmpty() ? QDir::current() : QDir(programDir));
    return true;
}

QString ToolResult::output() const
{
    return decodeLocal8Bit(rawOutput);
}

struct ToolRunner::Private
{
    explicit Private(ToolRunner* owner) : q(owner) {}

    void start(const QString& commandLine);
    void collectOutput();
    void reportCompleteLines(qsizetype newDataFrom);
    void reportLine(qsizetype end);
    void onErrorOccurred(QProcess::ProcessError error);
    void onFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void failLater(const QString& why);
    void feedInput();
    bool lineListenerConnected() const
    {
        return q->isSignalConnected(QMetaMethod::fromSignal(&ToolRunner::outputLine));
    }

    ToolRunner* const q;
    QProcess* process = nullptr; // child of q, replaced at the next start
    ToolResult result;
    qsizetype lineStart = 0; // first byte of the output not yet reported as a line
    bool cancelRequested = false;
    QString programDir;
    QIODevice* input = nullptr;
    bool inputClosed = false;
    bool inputFailed = false;
    qint64 inputFed = 0;
};

void ToolRunner::Private::start(const QString& commandLine)
{
    result = {};
    lineStart = 0;
    cancelRequested = false;
    if (process) {
        process->disconnect(q);
        process->deleteLater(); // we may be inside one of its signals
        process = nullptr;
    }

    inputClosed = false;
    inputFailed = false;
    inputFed = 0;
    process = new QProcess(q);
    if (!prepareToolProcess(*process, commandLine, programDir)) {
        delete process;
        process = nullptr;
        failLater(u"No program named in the command line"_s);
        return;
    }
    process->setProcessChannelMode(QProcess::MergedChannels);
    if (input == nullptr) {
        // End-of-file at once: a tool that waits for input (a password, say) fails instead of
        // waiting forever.
        process->setStandardInputFile(QProcess::nullDevice());
    }

    connect(process, &QProcess::started, q, [this] {
        result.started = true;
        feedInput();
    });
    connect(process, &QProcess::bytesWritten, q, [this] { feedInput(); });
    connect(process, &QProcess::readyReadStandardOutput, q, [this] { collectOutput(); });
    connect(process, &QProcess::errorOccurred, q,
            [this](QProcess::ProcessError error) { onErrorOccurred(error); });
    connect(process, &QProcess::finished, q,
            [this](int exitCode, QProcess::ExitStatus status) { onFinished(exitCode, status); });
    process->start(input == nullptr ? QIODevice::ReadOnly : QIODevice::ReadWrite);
}

// Keeps about one chunk waiting in the pipe; a tool that stops reading early (one that needs
// only the start of an archive) just leaves the rest unread.
void ToolRunner::Private::feedInput()
{
    if (input == nullptr || inputClosed || process->state() != QProcess::Running) {
        return;
    }
    while (process->bytesToWrite() < inputChunkBytes) {
        const QByteArray chunk = input->read(inputChunkBytes);
        if (chunk.isEmpty()) {
            inputFailed = !input->atEnd();
            inputClosed = true;
            process->closeWriteChannel();
            return;
        }
        process->write(chunk);
        inputFed += chunk.size();
        emit q->inputRead(inputFed);
    }
}

void ToolRunner::Private::collectOutput()
{
    // Straight from QProcess's buffer into the result: readAll() would copy once more.
    const qint64 available = process->bytesAvailable();
    if (available <= 0)
        return;
    QByteArray& output = result.rawOutput;
    const qsizetype newDataFrom = output.size();
    reserveForAppend(output, available);
    output.resize(newDataFrom + available);
    const qint64 got = process->read(output.data() + newDataFrom, available);
    output.truncate(newDataFrom + std::max<qint64>(got, 0));
    if (lineListenerConnected()) {
        reportCompleteLines(newDataFrom);
    } else if (const qsizetype lastEnd =
                   QByteArrayView(output).sliced(newDataFrom).lastIndexOf('\n');
               lastEnd >= 0) {
        // Keep the line boundary current in case someone connects later.
        lineStart = newDataFrom + lastEnd + 1;
    }
}

void ToolRunner::Private::reportCompleteLines(qsizetype newDataFrom)
{
    // Before newDataFrom there is no line end past lineStart, so only new bytes need a look.
    // lineStart moves on before each emit: a slot that spins the event loop may report the
    // following lines itself, and none is reported twice.
    qsizetype end;
    while ((end = result.rawOutput.indexOf('\n', std::max(newDataFrom, lineStart))) >= 0)
        reportLine(end);
}

void ToolRunner::Private::reportLine(qsizetype end)
{
    QByteArrayView line = QByteArrayView(result.rawOutput).sliced(lineStart, end - lineStart);
    if (line.endsWith('\r'))
        line.chop(1);
    const QString text = decodeLocal8Bit(line);
    lineStart = std::min(end + 1, result.rawOutput.size());
    emit q->outputLine(text);
}

void ToolRunner::Private::onErrorOccurred(QProcess::ProcessError error)
{
    // Every other error is followed by finished(); a failed start is not.
    if (error == QProcess::FailedToStart)
        failLater(process->errorString());
}

void ToolRunner::Private::onFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    collectOutput(); // whatever still waited in the pipe when the child ended
    if (lineStart < result.rawOutput.size() && lineListenerConnected())
        reportLine(result.rawOutput.size()); // the last line had no line end

    result.started = true;
    result.cancelled = cancelRequested;
    // A tool that saw its input end early because the input could not be read has not seen it.
    result.crashed = exitStatus == QProcess::CrashExit || inputFailed;
    result.exitCode = exitCode;
    if (result.cancelled)
        result.errorString = u"Cancelled"_s;
    else if (inputFailed)
        result.errorString = u"The input could not be read: "_s + input->errorString();
    else if (result.crashed)
        result.errorString = process->errorString();
    const ToolResult done = std::move(result);
    result = {};
    emit q->finished(done);
}

void ToolRunner::Private::failLater(const QString& why)
{
    ToolResult failed;
    failed.errorString = why;
    QMetaObject::invokeMethod(
        q, [runner = q, failed] { emit runner->finished(failed); }, Qt::QueuedConnection);
}

ToolRunner::ToolRunner(QObject* parent) : QObject(parent), d(std::make_unique<Private>(this)) {}

ToolRunner::~ToolRunner()
{
    if (d->process && d->process->state() != QProcess::NotRunning) {
        d->process->disconnect(this);
        killChildTree(*d->process);
        d->process->waitForFinished(-1);
    }
}

void ToolRunner::start(const QString& commandLine)
{
    if (isRunning()) {
        ToolResult refused;
        refused.errorString = u"Another tool is still running"_s;
        QMetaObject::invokeMethod(
            this, [this, refused] { emit finished(refused); }, Qt::QueuedConnection);
        return;
    }
    d->start(commandLine);
}

bool ToolRunner::isRunning() const
{
    return d->process && d->process->state() != QProcess::NotRunning;
}

void ToolRunner::setProgramDir(const QString& dir)
{
    d->programDir = dir;
}

void ToolRunner::setInput(QIODevice* device)
{
    d->input = device;
}

void ToolRunner::cancel()
{
    if (!isRunning())
        return;
    d->cancelRequested = true;
    killChildTree(*d->process);
}

ToolResult runTool(const QString& commandLine, const ToolRun& run)
{
    ToolRunner runner;
    runner.setProgramDir(run.programDir);
    runner.setInput(run.input);
    QEventLoop loop;
    ToolResult result;
    if (run.onLine) {
        QObject::connect(&runner, &ToolRunner::outputLine, &loop, run.onLine);
    }
    if (run.onInputRead) {
        QObject::connect(&runner, &ToolRunner::inputRead, &loop, run.onInputRead);
    }
    QObject::connect(&runner, &ToolRunner::finished, &loop, [&](const ToolResult& done) {
        result = done;
        loop.quit();
    });
    bool timedOut = false;
    QElapsedTimer clock;
    clock.start();
    QTimer watch;
    watch.setInterval(std::chrono::milliseconds(20));
    QObject::connect(&watch, &QTimer::timeout, &loop, [&] {
        timedOut = run.timeout.count() > 0 && clock.elapsed() > run.timeout.count();
        if (timedOut || (run.cancelled && run.cancelled())) {
            watch.stop();
            runner.cancel();
        }
    });
    if (run.cancelled || run.timeout.count() > 0) {
        watch.start();
    }
    runner.start(commandLine);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    result.timedOut = timedOut && result.cancelled;
    return result;
}

} // namespace ranupa
