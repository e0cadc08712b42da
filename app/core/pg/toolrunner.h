#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>

namespace ranupa {

// One client program of the installation and its arguments, started as they are: no shell, no
// string splitting, on Windows too (QProcess quotes them for CreateProcess).
struct ToolCommand
{
    // In the installation folder, "/"-separated, without ".exe": "pgsql/bin/psql"; or the
    // absolute path of a program elsewhere (the system's scheduler), taken as it is.
    QString program;
    QStringList arguments;

    // The command as an operator could type it on this system, for the details.
    QString text() const;
};

// What one run of a tool gave back.
struct ToolResult
{
    bool started = false;
    bool cancelled = false;
    bool timedOut = false; // ended by the run's time limit (also cancelled)
    bool crashed = false;
    int exitCode = -1;
    QString command;      // as ToolCommand::text() gives it
    QByteArray rawOutput; // standard output and standard error, interleaved as written
    QString errorString;  // why the tool could not be started or did not end normally

    // The output decoded (see toolText). Decoded on demand: a large output is kept once, as bytes.
    QString output() const;
    // Started, and ended normally with exit code 0.
    bool endedWell() const { return started && !cancelled && !crashed && exitCode == 0; }
    // Ended well, and wrote something.
    bool succeeded() const { return endedWell() && !rawOutput.isEmpty(); }
};

// `path` as it goes into a command: relative to the working directory made absolute, so that a
// name starting with "-" is never read as an option. Nothing else of it is changed ("." and ".."
// stay for the system to resolve, as links may stand in between).
QString absolutePathForTool(const QString& path);

// A tool's output as text: decoded from the local 8-bit encoding, its lines ending in "\n" alone.
QString toolText(QByteArrayView bytes);

// How one tool is run to its end besides its command line.
struct ToolRun
{
    QString programDir;         // "" for the working directory
    QIODevice* input = nullptr; // fed into the tool's standard input
    std::function<void(const QString& line)> onLine;
    std::function<void(qint64 bytes)> onInputRead;
    std::function<bool()> cancelled;      // asked every few milliseconds; true ends the tool
    std::chrono::milliseconds timeout{0}; // 0: none
};

// Runs one command as a hidden child process to its end, in a local event loop that handles no
// user input meanwhile: the one way the program runs a tool.
//
// The child's standard input is at end-of-file from the start unless an input is given; on
// Linux it runs in a session of its own, without a controlling terminal, so a tool that asks for
// a password fails at once. Standard output and standard error share one pipe, so the output
// keeps the order of writing; each complete line goes to onLine as it arrives, without its line
// end ("\n" or "\r\n"), and a last line without one just before the end. A cancel or the time
// limit ends the child and everything it started.
ToolResult runTool(const ToolCommand& command, const ToolRun& how = {});

// The same with `input` fed into its standard input.
ToolResult runTool(const ToolCommand& command, const QByteArray& input, ToolRun how = {});

// A tool started while the program goes on with other work: the program's own psql session,
// which reads statements for as long as the program keeps its input open, or a question answered
// while another tool runs; runTool() runs one to its end. Started as described there, its output
// and errors in one stream. What it writes is read whenever this thread handles its events:
// within another tool's run, or in waitFor(); waiting for it never holds up a running tool's
// output or its cancel.
class BackgroundTool final
{
    Q_DISABLE_COPY_MOVE(BackgroundTool)

public:
    BackgroundTool() = default;
    // Closes its input, which ends a psql; one that does not end within a moment is ended.
    ~BackgroundTool();

    // False when it could not be started; errorString() says why. Opened ReadOnly, its standard
    // input is at end-of-file from the start; otherwise it takes write() and feed().
    bool start(const ToolCommand& command, const QString& programDir,
               QIODevice::OpenMode mode = QIODevice::ReadWrite);
    // Feeds `input` in chunks as the tool reads, then closes its standard input; `onRead` is told
    // how many bytes it has taken so far.
    void feed(QIODevice& input, std::function<void(qint64 bytes)> onRead);
    // The input ended before its end: it could not be read.
    bool inputFailed() const { return m_inputFailed; }
    // Ends it and whatever it started, now.
    void stop();
    bool running() const { return m_process.state() == QProcess::Running; }
    // It has ended by itself with exit code 0.
    bool endedWell() const;
    QString errorString() const { return m_process.errorString(); }
    const QProcess& process() const { return m_process; }
    void write(const QByteArray& bytes) { m_process.write(bytes); }
    // What it has written and nobody has taken yet.
    QByteArray& output() { return m_output; }
    const QByteArray& output() const { return m_output; }
    // Called whenever it has written more, or ended.
    void setOnOutput(std::function<void()> onOutput) { m_onOutput = std::move(onOutput); }
    // Handles this thread's events until `done()` holds, the tool ends, `cancelled()` holds or the
    // deadline passes; gives `done()`.
    bool waitFor(const std::function<bool()>& done, QDeadlineTimer deadline,
                 const std::function<bool()>& cancelled = {});

private:
    void collect();
    void feedInput();

    QProcess m_process;
    QByteArray m_output;
    std::function<void()> m_onOutput;
    QIODevice* m_input = nullptr; // until all of it is fed
    std::function<void(qint64)> m_onInputRead;
    qint64 m_inputFed = 0;
    bool m_inputFailed = false;
};

} // namespace ranupa
