#include "core/ops/runstatus.h"

#include "core/model/wording.h"
#include "core/pg/toolrunner.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <functional>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

RunResult resultOf(OperationStatus status)
{
    return status == OperationStatus::Succeeded   ? RunResult::Succeeded
           : status == OperationStatus::Cancelled ? RunResult::Cancelled
                                                  : RunResult::Failed;
}

// The message and the first line under it: the cause, without what the details add.
QString causeOf(const OperationOutcome& outcome)
{
    const QString cause = outcome.summary.section(u'\n', 0, 0);
    return cause.isEmpty() || outcome.status == OperationStatus::Cancelled
               ? outcome.message
               : outcome.message + u". "_s + cause;
}

std::optional<RunRecord> newest(const QList<RunRecord>& history,
                                const std::function<bool(const RunRecord&)>& wanted)
{
    const auto found = std::find_if(history.crbegin(), history.crend(), wanted);
    return found == history.crend() ? std::nullopt : std::optional(*found);
}

QString newestBackupText(const std::optional<RunRecord>& backup, const QDateTime& now)
{
    if (!backup) {
        return u"Belum ada backup yang tercatat di komputer ini."_s;
    }
    return u"Backup terakhir: %1 (%2), %3."_s.arg(
        wording::dateTime(backup->started), wording::age(backup->started, now),
        backup->tried ? u"sudah diuji"_s : u"belum diuji"_s);
}

QStringList newestBackupTip(const RunRecord& backup)
{
    const QFileInfo file(backup.filePath);
    return {u"Folder: "_s + QDir::toNativeSeparators(file.absolutePath()),
            u"File: "_s + file.fileName(),
            u"Ukuran: "_s + (backup.fileSize < 0 ? u"-"_s : wording::size(backup.fileSize))};
}

// What is wrong with the schedule, as far as the history tells: its newest run failed, or a
// start is an hour overdue (the computer was on, but nothing ran).
QString scheduleProblem(const Schedule& schedule, const std::optional<RunRecord>& scheduled,
                        const QDateTime& now)
{
    const bool sinceMade = scheduled && scheduled->started >= schedule.made;
    if (sinceMade && scheduled->result != RunResult::Succeeded) {
        return u"Backup terjadwal terakhir gagal (%1)."_s.arg(
            wording::age(scheduled->started, now));
    }
    const QDateTime due = lastDueRun(schedule, now.addSecs(-3600));
    if (due.isValid() && !(sinceMade && scheduled->started >= due.addSecs(-60))) {
        return u"Backup terjadwal %1 tidak berjalan."_s.arg(wording::dateTime(due));
    }
    return {};
}

} // namespace

void recordRun(OperationKind kind, RunOrigin origin, const QDateTime& started, qint64 durationMs,
               const QString& subject, OperationOutcome& outcome)
{
    if (outcome.status == OperationStatus::Skipped) {
        return;
    }
    const bool succeeded = outcome.status == OperationStatus::Succeeded;
    RunRecord record{.started = started,
                     .kind = kind,
                     .origin = origin,
                     .result = resultOf(outcome.status),
                     .tried = outcome.tried,
                     .durationMs = durationMs,
                     .filePath = outcome.filePath.isEmpty() ? absolutePathForTool(subject)
                                                            : outcome.filePath,
                     .cause = succeeded ? QString() : causeOf(outcome)};
    if (const QFileInfo file(record.filePath); file.isFile()) {
        record.fileSize = file.size();
    }
    QString problem;
    if (!appendToHistory(record, problem)) {
        const QString note = u"Riwayat tidak dapat ditulis ke %1: %2"_s.arg(
            QDir::toNativeSeparators(historyFilePath()), problem);
        outcome.details = (outcome.details + u"\n\n"_s + note).trimmed();
    }
}

std::optional<RunRecord> lastScheduledRun(const QList<RunRecord>& history)
{
    return newest(history, [](const RunRecord& run) { return run.origin == RunOrigin::Schedule; });
}

BackupStatus backupStatus(const QList<RunRecord>& history, const std::optional<Schedule>& schedule,
                          const QDateTime& now)
{
    const std::optional<RunRecord> backup = newest(history, [](const RunRecord& run) {
        return run.kind == OperationKind::Backup && run.result == RunResult::Succeeded;
    });
    const std::optional<RunRecord> scheduled = lastScheduledRun(history);
    QStringList text;
    QStringList tip;
    BackupStatus status;
    if (schedule) {
        if (const QString problem = scheduleProblem(*schedule, scheduled, now);
            !problem.isEmpty()) {
            text << problem;
            status.warning = true;
        }
    }
    text << newestBackupText(backup, now);
    if (backup) {
        tip << newestBackupTip(*backup);
        if (backup->started.daysTo(now) > staleBackupDays) {
            text << u"Sudah lebih dari %1 hari!"_s.arg(staleBackupDays);
            status.warning = true;
        }
    }
    if (schedule) {
        const QString next = wording::upcoming(nextRun(schedule->backup.at, now), now);
        text << u"Jadwal berikutnya: %1."_s.arg(next);
        tip << u"Jadwal: "_s + describeSchedule(*schedule);
    }
    if (scheduled) {
        tip << u"Backup terjadwal terakhir: "_s + describeRun(*scheduled);
    }
    tip << u"Riwayat lengkap: ranupa-helper --history"_s;
    status.text = text.join(u' ');
    status.toolTip = tip.join(u'\n');
    return status;
}

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
