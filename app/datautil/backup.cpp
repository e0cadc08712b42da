#include "datautil/backup.h"

#include <QTimer>

// TODO(backup-restore): not written yet.
namespace ranupa {
struct BackupJob::Private
{};
BackupJob::BackupJob(QObject* parent) : QObject(parent), d(std::make_unique<Private>()) {}
BackupJob::~BackupJob() = default;
void BackupJob::start(const QString& targetDirText)
{
    OperationOutcome outcome;
    outcome.status = targetDirText.isEmpty() ? OperationStatus::Skipped : OperationStatus::Failed;
    QTimer::singleShot(0, this, [this, outcome] { emit finished(outcome); });
}
OperationOutcome runBackup(const QString&, const OperationProgress&) { return {}; }
} // namespace ranupa
namespace ranupa {
QString backupFilePath(const QString&, const QDateTime&) { return {}; }
QString backupCommandLine(const QString&, const QString&) { return {}; }
void BackupJob::cancel() {}
} // namespace ranupa
