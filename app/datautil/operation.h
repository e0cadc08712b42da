#pragma once

#include <QMetaType>
#include <QString>
#include <functional>

namespace ranupa {

enum class OperationStatus
{
    Skipped, // the field was empty: nothing ran, nothing is shown
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

} // namespace ranupa

Q_DECLARE_METATYPE(ranupa::OperationOutcome)
