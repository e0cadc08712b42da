#include "datautil/restore.h"

#include <QTimer>

// TODO(backup-restore): not written yet.
namespace ranupa {
struct RestoreJob::Private
{};
RestoreJob::RestoreJob(QObject* parent) : QObject(parent), d(std::make_unique<Private>()) {}
RestoreJob::~RestoreJob() = default;
void RestoreJob::start(const QString& backupFileText)
{
    OperationOutcome outcome;
    outcome.status = backupFileText.isEmpty() ? OperationStatus::Skipped : OperationStatus::Failed;
    QTimer::singleShot(0, this, [this, outcome] { emit finished(outcome); });
}
OperationOutcome runRestore(const QString&, const OperationProgress&) { return {}; }
} // namespace ranupa
namespace ranupa {
QStringList restoreCommandLines(const QString&, const QString&) { return {}; }
} // namespace ranupa
