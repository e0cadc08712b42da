#pragma once

#include <QByteArray>
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
    // Started, ended normally with exit code 0, and wrote something.
    bool succeeded() const
    {
        return started && !cancelled && !crashed && exitCode == 0 && !rawOutput.isEmpty();
    }
    // The output when the run succeeded, "" otherwise.
    QString resultText() const { return succeeded() ? output() : QString(); }
};

// Prepares `process` to run `command` as a hidden child (see runTool()), its program taken from
// `programDir` ("" for the working directory), never looked up in PATH.
void prepareToolProcess(QProcess& process, const ToolCommand& command, const QString& programDir);

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
    QIODevice* input = nullptr; // fed into the tool's standard input (ToolRunner::setInput)
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

} // namespace ranupa
