#include "core/pg/toolrunner.h"

#include <QBuffer>
#include <QByteArrayView>
#include <QDir>
#include <QEventLoop>
#include <QStringDecoder>
#include <QTimer>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
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

#ifdef Q_OS_WIN
const QLatin1String programSuffix(".exe");

// The tools are console programs: CREATE_NO_WINDOW runs them without any console window, where
// SW_HIDE alone leaves hiding it to the console. Qt's CREATE_UNICODE_ENVIRONMENT stays.
void prepareStart(QProcess& process)
{
    process.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments* args) {
        args->startupInfo->dwFlags |= STARTF_USESHOWWINDOW;
        args->startupInfo->wShowWindow = SW_HIDE;
        args->flags |= CREATE_NO_WINDOW;
    });
}

void killChildTree(QProcess& process)
{
    process.kill();
}
#else
const QLatin1String programSuffix("");

void prepareStart(QProcess& process)
{
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
        // restore load would run on with nobody left to finish or undo it. SIGTERM, which the
        // PostgreSQL tools answer by cancelling their queries on the server and ending their
        // parallel workers, which the signal itself would not reach; the others just end.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
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

// An installation's tool in `dir`, or a program elsewhere as it is named.
QString programPath(const ToolCommand& command, const QDir& dir)
{
    return QDir::isAbsolutePath(command.program)
               ? command.program
               : dir.absoluteFilePath(command.program) + programSuffix;
}

// An argument as the system's command prompt takes it: quoted where it holds a blank, a quote or
// nothing at all.
QString shownArgument(const QString& argument)
{
    const bool plain =
        !argument.isEmpty() && std::none_of(argument.begin(), argument.end(), [](QChar c) {
            return c.isSpace() || c == u'"' || c == u'\'' || c == u'$' || c == u'&' || c == u'|' ||
                   c == u';';
        });
    if (plain) {
        return argument;
    }
    QString quoted = argument;
#ifdef Q_OS_WIN
    return u'"' + quoted.replace(u'"', u"\\\""_s) + u'"';
#else
    return u'\'' + quoted.replace(u'\'', u"'\\''"_s) + u'\'';
#endif
}

// Grows `buffer` geometrically so that appending `more` bytes does not reallocate each time.
void reserveForAppend(QByteArray& buffer, qint64 more)
{
    const qsizetype needed = buffer.size() + more;
    if (needed <= buffer.capacity())
        return;
    buffer.reserve(std::max(needed, 2 * buffer.capacity()));
}

// The environment the client programs run in: the program's own, without what would change what
// they do behind the command line's back (PGOPTIONS, PGDATABASE, PGSERVICE, PSQLRC, ...), with
// their messages in English (LC_MESSAGES=C) so that the program can read them. What the operator
// set for connecting (PGPASSWORD, PGPASSFILE, PGSSLMODE, ...) stays.
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

// Read from the input at a time: enough to keep a tool busy, little enough to hold.
constexpr qint64 inputChunkBytes = 1 << 20;

} // namespace

QString absolutePathForTool(const QString& path)
{
    if (path.isEmpty() || QDir::isAbsolutePath(path)) {
        return path;
    }
    return QDir::toNativeSeparators(QDir::currentPath()) + QDir::separator() + path;
}

QString ToolCommand::text() const
{
    QStringList words{QDir::toNativeSeparators(
        QDir::isAbsolutePath(program) ? program : program + programSuffix)};
    for (const QString& argument : arguments) {
        words << shownArgument(argument);
    }
    return words.join(u' ');
}

QString toolText(QByteArrayView bytes)
{
    // The Windows builds of the tools end their lines with "\r\n"; whatever reads their lines
    // compares names and markers, which a trailing "\r" would spoil.
    QString text = QStringDecoder(QStringConverter::System).decode(bytes);
    return text.replace(u"\r\n"_s, u"\n"_s);
}

QString ToolResult::output() const
{
    return toolText(rawOutput);
}

ToolResult runTool(const ToolCommand& command, const ToolRun& how)
{
    const QDeadlineTimer deadline = how.timeout.count() > 0
                                        ? QDeadlineTimer(how.timeout)
                                        : QDeadlineTimer(QDeadlineTimer::Forever);
    ToolResult result;
    result.command = command.text();
    BackgroundTool tool;
    QByteArray& output = tool.output();
    qsizetype lineStart = 0; // first byte of the output not yet reported as a line
    qsizetype lineless = 0;  // no line end between lineStart and here
    // lineStart moves on before the line is handed over: a handler that spins the event loop may
    // report the following lines itself, and none is reported twice.
    const auto reportLine = [&](qsizetype end) {
        QByteArrayView line = QByteArrayView(output).sliced(lineStart, end - lineStart);
        if (line.endsWith('\r')) {
            line.chop(1);
        }
        const QString text = toolText(line);
        lineStart = std::min(end + 1, output.size());
        how.onLine(text);
    };
    if (how.onLine) {
        tool.setOnOutput([&] {
            // Only the bytes past the last look need one: no line is ever searched twice.
            for (qsizetype end; (end = output.indexOf('\n', std::max(lineStart, lineless))) >= 0;) {
                reportLine(end);
            }
            lineless = output.size();
        });
    }
    if (!tool.start(command, how.programDir,
                    how.input == nullptr ? QIODevice::ReadOnly : QIODevice::ReadWrite)) {
        result.errorString = tool.errorString();
        return result;
    }
    result.started = true;
    if (how.input != nullptr) {
        tool.feed(*how.input, how.onInputRead);
    }
    if (!tool.waitFor([&tool] { return !tool.running(); }, deadline, how.cancelled)) {
        result.timedOut = deadline.hasExpired();
        result.cancelled = true;
        tool.stop();
    }
    if (how.onLine && lineStart < output.size()) {
        reportLine(output.size()); // the last line had no line end
    }
    const QProcess& process = tool.process();
    // A tool that saw its input end early because the input could not be read has not seen it.
    result.crashed = process.exitStatus() == QProcess::CrashExit || tool.inputFailed();
    result.exitCode = process.exitCode();
    if (result.cancelled) {
        result.errorString = u"Cancelled"_s;
    } else if (tool.inputFailed()) {
        result.errorString = u"The input could not be read: "_s + how.input->errorString();
    } else if (result.crashed) {
        result.errorString = process.errorString();
    }
    result.rawOutput = std::move(output);
    return result;
}

ToolResult runTool(const ToolCommand& command, const QByteArray& input, ToolRun how)
{
    QBuffer buffer;
    buffer.setData(input);
    buffer.open(QIODevice::ReadOnly);
    how.input = &buffer;
    return runTool(command, how);
}

BackgroundTool::~BackgroundTool()
{
    if (m_process.state() == QProcess::NotRunning) {
        return;
    }
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(5000)) {
        stop();
    }
}

void BackgroundTool::stop()
{
    if (m_process.state() != QProcess::NotRunning) {
        killChildTree(m_process);
        m_process.waitForFinished(5000);
    }
}

bool BackgroundTool::endedWell() const
{
    return m_process.state() == QProcess::NotRunning &&
           m_process.error() != QProcess::FailedToStart &&
           m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
}

bool BackgroundTool::start(const ToolCommand& command, const QString& programDir,
                           QIODevice::OpenMode mode)
{
    // Its program from `programDir`, never looked up in PATH; its output and errors in one
    // stream, in the order of writing.
    const QDir dir = programDir.isEmpty() ? QDir::current() : QDir(programDir);
    m_process.setProgram(QDir::toNativeSeparators(programPath(command, dir)));
    m_process.setArguments(command.arguments);
    m_process.setProcessEnvironment(toolEnvironment(QProcessEnvironment::systemEnvironment()));
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    prepareStart(m_process);
    if (!mode.testFlag(QIODevice::WriteOnly)) {
        // End-of-file at once: a tool that waits for input (a password, say) fails instead of
        // waiting forever.
        m_process.setStandardInputFile(QProcess::nullDevice());
    }
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { collect(); });
    QObject::connect(&m_process, &QProcess::finished, [this] { collect(); });
    QObject::connect(&m_process, &QProcess::bytesWritten, [this] { feedInput(); });
    m_process.start(mode);
    return m_process.waitForStarted(30'000);
}

void BackgroundTool::feed(QIODevice& input, std::function<void(qint64 bytes)> onRead)
{
    m_input = &input;
    m_onInputRead = std::move(onRead);
    feedInput();
}

// Keeps about one chunk waiting in the pipe; a tool that stops reading early (one that needs
// only the start of an archive) just leaves the rest unread.
void BackgroundTool::feedInput()
{
    if (m_input == nullptr || m_process.state() != QProcess::Running) {
        return;
    }
    while (m_process.bytesToWrite() < inputChunkBytes) {
        const QByteArray chunk = m_input->read(inputChunkBytes);
        if (chunk.isEmpty()) {
            m_inputFailed = !m_input->atEnd();
            m_input = nullptr;
            m_process.closeWriteChannel();
            return;
        }
        m_process.write(chunk);
        m_inputFed += chunk.size();
        if (m_onInputRead) {
            m_onInputRead(m_inputFed);
        }
    }
}

void BackgroundTool::collect()
{
    // Straight from QProcess's buffer into the output: readAll() would copy once more.
    if (const qint64 available = m_process.bytesAvailable(); available > 0) {
        const qsizetype size = m_output.size();
        reserveForAppend(m_output, available);
        m_output.resize(size + available);
        const qint64 got = m_process.read(m_output.data() + size, available);
        m_output.truncate(size + std::max<qint64>(got, 0));
    }
    if (m_onOutput) {
        m_onOutput();
    }
}

bool BackgroundTool::waitFor(const std::function<bool()>& done, QDeadlineTimer deadline,
                             const std::function<bool()>& cancelled)
{
    QEventLoop loop;
    const auto check = [&] {
        if (done() || !running() || deadline.hasExpired() || (cancelled && cancelled())) {
            loop.quit();
        }
    };
    // After collect(), which was connected first.
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &loop, check);
    QObject::connect(&m_process, &QProcess::finished, &loop, check);
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &loop, check);
    watch.start(std::chrono::milliseconds(20));
    if (!done() && running()) {
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    return done();
}

} // namespace ranupa
