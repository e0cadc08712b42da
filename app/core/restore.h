#pragma once

#include "core/operation.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>

namespace ranupa {

struct ToolResult;
struct ArchiveCheckResult;
struct RestorePlan;

// The four command lines of a restore, in order: end connections, drop, create, load.
QStringList restoreCommandLines(const QString& port, const QString& backupFile);

// One restore of the pendataan database from a backup file, run without blocking the event loop.
class RestoreJob final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RestoreJob)

public:
    explicit RestoreJob(QObject* parent = nullptr);
    ~RestoreJob() override;

    // Reads the port, checks the file, then runs the four commands. finished() follows exactly
    // once, never from inside start(); an empty text gives a Skipped outcome.
    void start(const QString& backupFileText);
    // A backup of a database other than pendataan is refused unless this is set before start().
    void setAcceptOtherDatabase(bool accept);

signals:
    void stepChanged(const QString& step);
    void toolLine(const QString& line);
    void finished(const ranupa::OperationOutcome& outcome);

private:
    enum class Step;
    void onCheckFinished(const ArchiveCheckResult& result);
    void onPlanReady(const RestorePlan& plan);
    void applyDatabaseSettings();
    void onSettingsApplied(const ToolResult& result);
    void runCommand(Step step);
    void onCommandFinished(Step step, const ToolResult& result);
    void finishAs(OperationStatus status, const QString& message, const QString& details);

    struct Private;
    std::unique_ptr<Private> d;
};

// Runs a restore to the end in a local event loop; for the command line and tests.
OperationOutcome runRestore(const QString& backupFileText, const OperationProgress& progress = {});

} // namespace ranupa
