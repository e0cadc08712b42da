#pragma once

#include "core/failurecause.h"
#include "core/progress.h"

#include <QEventLoop>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <functional>

namespace ranupa {

enum class OperationStatus
{
    Skipped, // the field was empty, or the operator declined: nothing changed, nothing is shown
    Succeeded,
    Failed,
    Cancelled,
};

// How a backup or a restore ended, ready to be shown to the user.
struct OperationOutcome
{
    OperationStatus status = OperationStatus::Skipped;
    QString message;  // the message box text, e.g. "Gagal melakukan backup"
    QString details;  // on failure: which step failed and what the tools wrote
    QString filePath; // the backup file this backup wrote (or tried to)
    FailureCause cause = FailureCause::Unknown; // why it failed, where the program can tell
    bool pendataanUnchanged = false; // said only where it is sure: pendataan is as it was
    QString summary; // under the message: the cause and what to do, and whether pendataan is
                     // unchanged (failureSummary())
};

// Progress of a running operation: the step in words, the latest line a tool wrote, and how far
// the step has come where that can be measured.
struct OperationProgress
{
    std::function<void(const QString& step)> stepChanged;
    std::function<void(const QString& line)> toolLine;
    std::function<void(const ProgressMeasure& measure)> measured;
};

// Runs a backup or restore job to its end in a local event loop and gives back how it ended.
// The caller keeps the job, so that it can still cancel it meanwhile.
template <typename Job>
OperationOutcome runToEnd(Job& job, const QString& input, const OperationProgress& progress)
{
    QEventLoop loop;
    OperationOutcome outcome;
    if (progress.stepChanged) {
        QObject::connect(&job, &Job::stepChanged, &loop, progress.stepChanged);
    }
    if (progress.toolLine) {
        QObject::connect(&job, &Job::toolLine, &loop, progress.toolLine);
    }
    if (progress.measured) {
        QObject::connect(&job, &Job::progressChanged, &loop, progress.measured);
    }
    QObject::connect(&job, &Job::finished, &loop, [&](const OperationOutcome& result) {
        outcome = result;
        loop.quit();
    });
    job.start(input);
    loop.exec();
    return outcome;
}

} // namespace ranupa

Q_DECLARE_METATYPE(ranupa::OperationOutcome)
