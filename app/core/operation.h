#pragma once

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
};

// Progress of a running operation: the step in words, and the latest line a tool wrote.
struct OperationProgress
{
    std::function<void(const QString& step)> stepChanged;
    std::function<void(const QString& line)> toolLine;
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
