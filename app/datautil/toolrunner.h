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
    QByteArray rawOutput;  // standard output and standard error, interleaved as written
    QString errorString;   // why the tool could not be started or did not end normally

    // The output decoded from the local 8-bit encoding.
    QString output() const;
    // Started, ended normally with exit code 0, and wrote something.
    bool succeeded() const { return started && !cancelled && !crashed && exitCode == 0 && !rawOutput.isEmpty(); }
    // The output when the run succeeded, "" otherwise.
    QString resultText() const { return succeeded() ? output() : QString(); }
};

// Runs one command line as a hidden child process without blocking the event loop.
// The child's standard input is at end-of-file from the start; on Linux it runs in a session of
// its own, without a controlling terminal, so a tool that asks for a password fails at once.
class ToolRunner final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ToolRunner)

public:
    explicit ToolRunner(QObject* parent = nullptr);
    ~ToolRunner() override;

    // Starts the command line; finished() follows exactly once, also when the start fails.
    void start(const QString& commandLine);
    bool isRunning() const;
    // Ends the running child; finished() then reports a cancelled result.
    void cancel();

signals:
    // Each complete line of output as it arrives, without its line end.
    void outputLine(const QString& line);
    void finished(const ranupa::ToolResult& result);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// Runs one command line and waits for it; for tests and command-line use.
ToolResult runTool(const QString& commandLine);

} // namespace ranupa

Q_DECLARE_METATYPE(ranupa::ToolResult)
