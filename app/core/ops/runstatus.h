#pragma once

#include "core/files/history.h"
#include "core/model/outcome.h"
#include "core/schedule/scheduler.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QThread>
#include <atomic>
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

// The status line's answer, read on a thread of the reader's own: the history is a file, but the
// schedule is what the system's scheduler says, and a crontab or systemctl that hangs keeps it
// waiting up to a minute. A window asks with refresh() and shows the answer when statusRead()
// brings it; it never waits.
class BackupStatusReader final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BackupStatusReader)

public:
    explicit BackupStatusReader(QObject* parent = nullptr);
    // Ends a read under way at once (its scheduler program is killed); its answer is dropped.
    ~BackupStatusReader() override;

    // Reads backupStatus(readHistory(), currentSchedule()) anew. Only the newest request is
    // answered: a read asked before it and still under way is abandoned, and its answer dropped.
    void refresh();

signals:
    // In the reader's own thread (the caller's), for the newest request only.
    void statusRead(const ranupa::BackupStatus& status);

private:
    void read(quint64 request); // on m_thread

    QThread m_thread;
    QObject m_worker; // lives in m_thread: the reads are queued to it
    std::atomic<quint64> m_asked = 0;
    std::atomic_bool m_closing = false;
};

} // namespace ranupa
