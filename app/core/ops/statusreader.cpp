#include "core/ops/statusreader.h"

#include "core/files/history.h"
#include "core/schedule/scheduler.h"

using namespace Qt::StringLiterals;

namespace ranupa {

BackupStatusReader::BackupStatusReader(QObject* parent) : QObject(parent)
{
    m_thread.setObjectName(u"backup status"_s);
    m_worker.moveToThread(&m_thread);
    m_thread.start();
}

BackupStatusReader::~BackupStatusReader()
{
    m_closing = true; // the running scheduler program is killed within the runner's next look
    m_thread.quit();
    m_thread.wait();
}

void BackupStatusReader::refresh()
{
    const quint64 request = ++m_asked;
    QMetaObject::invokeMethod(
        &m_worker, [this, request] { read(request); }, Qt::QueuedConnection);
}

void BackupStatusReader::read(quint64 request)
{
    const auto superseded = [this, request] {
        return m_closing || m_asked != request;
    };
    if (superseded()) {
        return; // a newer request is queued behind this one
    }
    const QList<RunRecord> history = readHistory();
    const std::optional<Schedule> schedule = currentSchedule(superseded);
    if (superseded()) {
        return; // the scheduler's answer was cut short
    }
    // Queued to the reader, and so dropped with it; a request made meanwhile outdates it.
    QMetaObject::invokeMethod(
        this,
        [this, request, status = backupStatus(history, schedule)] {
            if (request == m_asked) {
                emit statusRead(status);
            }
        },
        Qt::QueuedConnection);
}

} // namespace ranupa
