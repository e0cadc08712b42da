#pragma once

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QString>
#include <memory>

namespace ranupa {

// What one run of a tool gave back.
struct ToolResult
{
    bool started = false;
    bool cancelled = false;
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

// Runs one command line as a hidden child process without blocking the event loop.
//
// The command line is one text, as Windows hands it to a child: on Windows it goes to
// CreateProcess verbatim; elsewhere it is split by the Microsoft C runtime's rules and its
// program name is resolved against the working directory only (see commandline.h). Leading
// blanks and control characters are dropped first.
//
// The child's standard input is at end-of-file from the start; on Linux it runs in a session of
// its own, without a controlling terminal, so a tool that asks for a password fails at once.
// Standard output and standard error share one pipe, so the output keeps the order of writing.
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
    // Ends the running child (on Linux with everything in its session's process group);
    // finished() then reports a cancelled result.
    void cancel();

signals:
    // Each complete line of output as it arrives, without its line end ("\n" or "\r\n"); a last
    // line without a line end comes just before finished(). Only decoded when connected.
    void outputLine(const QString& line);
    void finished(const ranupa::ToolResult& result);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// Runs one command line and waits for it; for tests and command-line use. Runs a local event
// loop (a QCoreApplication must exist) that handles no user input meanwhile.
ToolResult runTool(const QString& commandLine);

} // namespace ranupa

Q_DECLARE_METATYPE(ranupa::ToolResult)
