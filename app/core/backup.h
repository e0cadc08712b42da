#pragma once

#include "core/operation.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <memory>

namespace ranupa {

struct ToolResult;
struct ArchiveCheckResult;
struct RecoveryResult;
class OperationLock;

// The file a backup writes into `targetDir` at local time `now`:
// targetDir + separator + "ranupaku" + DDMMYYYYhhmmss + ".dbk".
QString backupFilePath(const QString& targetDir, const QDateTime& now);

// The pg_dump command line for `port` (inserted verbatim) and the backup file `filePath`.
QString backupCommandLine(const QString& port, const QString& filePath);

// One backup of the pendataan database, run without blocking the event loop.
class BackupJob final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BackupJob)

public:
    explicit BackupJob(QObject* parent = nullptr);
    ~BackupJob() override;

    // Reads and checks the port, sets right what an interrupted restore left, then backs up
    // into `targetDirText`: pg_dump writes a partial file, which gets its final name only once
    // it has passed the archive check, never replacing another file. finished() follows exactly
    // once, never from inside start(); an empty text gives a Skipped outcome.
    void start(const QString& targetDirText);
    // For a backup that is part of a larger operation which already holds the one-at-a-time lock
    // of this installation and keeps it until finished(): the backup then takes no lock of its
    // own, so that no other copy can slip in between the two. Set before start().
    void runUnderLock(const OperationLock& held);
    // Ends the dump or check, removes the partial file and finishes as Cancelled.
    void cancel();

signals:
    void stepChanged(const QString& step);
    void toolLine(const QString& line);
    // While pg_dump writes: the tables dumped of their total, and the size of the file so far.
    void progressChanged(const ranupa::ProgressMeasure& measure);
    void finished(const ranupa::OperationOutcome& outcome);

private:
    bool takeLock();
    void startRecovery();
    void onRecovered(const RecoveryResult& result);
    void startCounting();
    void onCounted(const ToolResult& result);
    void startDump(int tableCount);
    void onDumpLine(const QString& line);
    // Tells the progress when the file has grown, or always when the count has changed.
    void measureFileSize(bool countChanged);
    void onDumpFinished(const ToolResult& result);
    void onCheckFinished(const ArchiveCheckResult& result);
    void giveFinalName();
    void finishCancelled();
    // Removes the partial file this backup wrote; says so when it could not, "" otherwise.
    QString removeWrittenFile();
    void finishAs(OperationStatus status, const QString& message, const QString& details,
                  FailureCause cause = FailureCause::Unknown);

    struct Private;
    std::unique_ptr<Private> d;
};

// Runs a backup to the end in a local event loop; for the command line and tests.
OperationOutcome runBackup(const QString& targetDirText, const OperationProgress& progress = {});

} // namespace ranupa
