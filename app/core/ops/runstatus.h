#pragma once

#include "core/files/history.h"
#include "core/model/outcome.h"
#include "core/schedule/scheduler.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <optional>

// Between the operations and their history: each run's line, and what the history says of the
// backups made on this computer.
namespace ranupa {

// Adds the line of a run that ended in `outcome` to the history. `subject` is the folder or file
// the run was started with. A history that cannot be written costs the run nothing but a note in
// its details. A Skipped outcome ran nothing and is not recorded.
void recordRun(OperationKind kind, RunOrigin origin, const QDateTime& started, qint64 durationMs,
               const QString& subject, OperationOutcome& outcome);

// The backups older than this are a warning.
constexpr int staleBackupDays = 7;

// The one line the backup window shows about the backups: the newest, whether it was tried, when
// the schedule runs next, and in red (warning) when the newest is older than staleBackupDays or
// the schedule's newest run failed or did not happen. The tooltip gives the folder, the size and
// the schedule.
struct BackupStatus
{
    QString text;
    QString toolTip;
    bool warning = false;
};
BackupStatus backupStatus(const QList<RunRecord>& history, const std::optional<Schedule>& schedule,
                          const QDateTime& now = QDateTime::currentDateTime());

// The newest run the schedule started, from the history (oldest first).
std::optional<RunRecord> lastScheduledRun(const QList<RunRecord>& history);

} // namespace ranupa
