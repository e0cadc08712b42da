#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <chrono>
#include <functional>

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

// A tool's output as text: decoded from the local 8-bit encoding, its lines ending in "\n" alone.
QString toolText(QByteArrayView bytes);

// Prepares `process` to run `commandLine` as a hidden child (see ToolRunner), with its program
// path resolved against `programDir` ("" for the working directory). False when the line names
// no program.
bool prepareToolProcess(QProcess& process, const QString& commandLine, const QString& programDir);

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

// Runs one command line as a hidden child process to its end, in a local event loop that handles
// no user input meanwhile: the one way the program runs a tool.
//
// The command line is one text, as Windows hands it to a child: on Windows it goes to
// CreateProcess verbatim; elsewhere it is split by the Microsoft C runtime's rules and its
// program name is resolved against the program directory only, never looked up in PATH (see
// commandline.h). Leading blanks and control characters are dropped first.
//
// The child's standard input is at end-of-file from the start unless an input is given; on
// Linux it runs in a session of its own, without a controlling terminal, so a tool that asks for
// a password fails at once. Standard output and standard error share one pipe, so the output
// keeps the order of writing; each complete line goes to onLine as it arrives, without its line
// end ("\n" or "\r\n"), and a last line without one just before the end. A cancel or the time
// limit ends the child and everything it started.
ToolResult runTool(const QString& commandLine, const ToolRun& how = {});

} // namespace ranupa
