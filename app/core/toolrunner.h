#pragma once

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>

namespace ranupa {

// What one run of a tool gave back.
struct ToolResult
{
    bool started = false;
    bool cancelled = false;
    bool timedOut = false; // ended by the run's time limit (also cancelled)
    bool crashed = false;
    int exitCode = -1;
    QByteArray rawOutput; // standard output and standard error, interleaved as written
    QString errorString;  // why the tool could not be started or did not end normally

    // The output decoded from the local 8-bit encoding. Decoded on demand: a large output is
    // kept once, as bytes.
    QString output() const;
    // Started, ended normally with exit code 0, and wrote something.
    bool succeeded() const
    {
        return started && !cancelled && !crashed && exitCode == 0 && !rawOutput.isEmpty();
    }
    // The output when the run succeeded, "" otherwise.
    QString resultText() const { return succeeded() ? output() : QString(); }
};

// The environment the client programs run in: the program's own, without what would change what
// they do behind the command line's back (PGOPTIONS, PGDATABASE, PGSERVICE, PSQLRC, ...), with
// their messages in English (LC_MESSAGES=C) so that the program can read them. What the operator
// set for connecting (PGPASSWORD, PGPASSFILE, PGSSLMODE, ...) stays.
QProcessEnvironment toolEnvironment(const QProcessEnvironment& from);

// Prepares `process` to run `commandLine` as a hidden child (see ToolRunner), with its program
// path resolved against `programDir` ("" for the working directory). False when the line names
// no program.
bool prepareToolProcess(QProcess& process, const QString& commandLine, const QString& programDir);

// Runs one command line as a hidden child process without blocking the event loop.
//
// The command line is one text, as Windows hands it to a child: on Windows it goes to
// CreateProcess verbatim; elsewhere it is split by the Microsoft C runtime's rules and its
// program name is resolved against the program directory only, never looked up in PATH (see
// commandline.h). Leading blanks and control characters are dropped first.
//
// The child's standard input is at end-of-file from the start unless an input is set; on Linux
// it runs in a session of its own, without a controlling terminal, so a tool that asks for a
// password fails at once. Standard output and standard error share one pipe, so the output keeps
// the order of writing.
class ToolRunner final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ToolRunner)

public:
    explicit ToolRunner(QObject* parent = nullptr);
    // Kills a child that still runs and waits for it; finished() is not emitted then.
    ~ToolRunner() override;

    // Starts the command line; finished() follows exactly once, also when the start fails (then
    // from the event loop, never from inside start()). A start while a child runs is refused
    // with a failed result; the running child is not disturbed.
    void start(const QString& commandLine);
    bool isRunning() const;
    // Where the program path of the next start counts from; "" for the working directory.
    void setProgramDir(const QString& dir);
    // The next start feeds `device`, from its current position to its end, into the tool's
    // standard input, then closes it; nullptr for none. The device must outlive the run.
    void setInput(QIODevice* device);
    // Ends the running child (on Linux with everything in its session's process group);
    // finished() then reports a cancelled result.
    void cancel();

signals:
    // Each complete line of output as it arrives, without its line end ("\n" or "\r\n"); a last
    // line without a line end comes just before finished(). Only decoded when connected.
    void outputLine(const QString& line);
    // How much of the input has been read so far.
    void inputRead(qint64 bytes);
    void finished(const ranupa::ToolResult& result);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// How one tool is run to its end besides its command line.
struct ToolRun
{
    QString programDir;         // "" for the working directory
    QIODevice* input = nullptr; // fed into the tool's standard input (ToolRunner::setInput)
    std::function<void(const QString& line)> onLine;
    std::function<void(qint64 bytes)> onInputRead;
    std::function<bool()> cancelled;      // asked every few milliseconds; true ends the tool
    std::chrono::milliseconds timeout{0}; // 0: none
};

// Runs one command line and waits for it, in a local event loop that handles no user input
// meanwhile: the one way the operations run a tool.
ToolResult runTool(const QString& commandLine, const ToolRun& run = {});

} // namespace ranupa

Q_DECLARE_METATYPE(ranupa::ToolResult)
