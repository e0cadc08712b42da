#include "cli/schedulecommands.h"

#include "cli/cli.h"
#include "cli/output.h"
#include "core/model/wording.h"
#include "core/ops/runstatus.h"
#include "core/schedule/scheduler.h"

#include <QRegularExpression>
#include <algorithm>

using namespace Qt::StringLiterals;

namespace ranupa::cli {

namespace {

int failed(const QString& message, const ranupa::Failure& failure)
{
    print(stderr, message);
    if (failure.cause != FailureCause::Unknown) {
        print(stderr, causeText(failure.cause));
    }
    print(stderr, failedStepText(failure));
    return Failure;
}

} // namespace

std::optional<QTime> timeOfDay(const QString& text)
{
    const QRegularExpression form(u"^(\\d{1,2})[.:](\\d{2})$"_s);
    const QRegularExpressionMatch match = form.match(text);
    const QTime time =
        match.hasMatch() ? QTime(match.captured(1).toInt(), match.captured(2).toInt()) : QTime();
    return time.isValid() ? std::optional(time) : std::nullopt;
}

int scheduleDailyBackup(const QString& backupDir, const QTime& at, int keep)
{
    const Result<DailyBackup> backup = dailyBackupOfThisProgram(backupDir, at, keep);
    if (!backup) {
        return failed(u"Jadwal backup harian tidak dapat dibuat"_s, backup.failure());
    }
    if (const std::optional<ranupa::Failure> notMade = makeSchedule(*backup)) {
        return failed(u"Jadwal backup harian tidak dapat dibuat"_s, *notMade);
    }
    const std::optional<Schedule> made = currentSchedule();
    if (!made) {
        print(stderr, u"Jadwal backup harian dibuat, tetapi tidak dapat dibaca kembali."_s);
        return Failure;
    }
    print(stdout, u"Backup harian dijadwalkan: "_s + describeSchedule(*made) + u'.');
    print(stdout, u"Backup berikutnya: %1. %2"_s.arg(wording::upcoming(nextRun(made->backup.at)),
                                                     missedStartText(made->kind)));
    return Success;
}

int removeDailyBackup()
{
    const Result<bool> removed = removeSchedule();
    if (!removed) {
        return failed(u"Jadwal backup harian tidak dapat dihapus"_s, removed.failure());
    }
    print(stdout, *removed ? u"Jadwal backup harian dihapus."_s
                           : u"Tidak ada jadwal backup harian yang dibuat oleh program ini."_s);
    return Success;
}

int showDailyBackup()
{
    const std::optional<Schedule> schedule = currentSchedule();
    const QList<RunRecord> history = readHistory();
    if (!schedule) {
        print(stdout, u"Tidak ada jadwal backup harian. Buat dengan --schedule DIR."_s);
    } else {
        print(stdout, u"Jadwal: "_s + describeSchedule(*schedule) + u'.');
        print(stdout,
              u"Backup berikutnya: %1."_s.arg(wording::upcoming(nextRun(schedule->backup.at))));
        const std::optional<RunRecord> last = lastScheduledRun(history);
        print(stdout, last ? u"Backup terjadwal terakhir: "_s + describeRun(*last)
                           : u"Backup terjadwal belum pernah berjalan."_s);
    }
    const BackupStatus status = backupStatus(history, schedule);
    print(stdout, (status.warning ? u"PERHATIAN: "_s : QString()) + status.text);
    return Success;
}

int printHistory()
{
    QList<RunRecord> history = readHistory();
    if (history.isEmpty()) {
        print(stderr, u"Belum ada backup atau restore yang tercatat di komputer ini."_s);
    }
    std::reverse(history.begin(), history.end());
    for (const RunRecord& run : history) {
        print(stdout, describeRun(run));
    }
    return Success;
}

} // namespace ranupa::cli
