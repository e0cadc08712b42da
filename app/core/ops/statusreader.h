#pragma once

#include "core/ops/runstatus.h"

#include <QObject>
#include <QThread>
#include <atomic>

namespace ranupa {

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
