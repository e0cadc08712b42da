#pragma once

#include "core/model/failure.h"
#include "core/schedule/schedule.h"

#include <QDateTime>
#include <functional>
#include <optional>

// The daily backup put into, read back from and taken out of the system's scheduler: on Windows
// the Task Scheduler; elsewhere a systemd user timer where the user's session manager answers
// (`systemctl --user`), a crontab line otherwise. The programs are found in PATH; RANUPA_CRONTAB
// and RANUPA_SYSTEMCTL name others (the tests' stand-ins). The user units go into
// $XDG_CONFIG_HOME/systemd/user. What was made is also noted in the program's data folder, for
// the windows and --schedule-show to tell.
namespace ranupa {

enum class SchedulerKind
{
    SystemdTimer,
    Crontab,
    TaskScheduler,
};

struct Schedule
{
    DailyBackup backup;
    SchedulerKind kind = SchedulerKind::Crontab;
    QDateTime made; // when --schedule made it
};

// The daily backup of `backupDir` at `at`, keeping `keep`, for the program running now, started
// in the installation it finds (as a backup would).
Result<DailyBackup> dailyBackupOfThisProgram(const QString& backupDir, const QTime& at, int keep);

// Makes the schedule, replacing the one made before (of any kind), and reads it back.
std::optional<Failure> makeSchedule(const DailyBackup& backup);

// Removes what makeSchedule() made, and nothing else; whether there was any.
Result<bool> removeSchedule();

// The schedule made on this computer, when the scheduler still holds it. Asking the scheduler may
// take up to a minute; `cancelled`, asked meanwhile, ends the wait, and then finds none.
std::optional<Schedule> currentSchedule(const std::function<bool()>& cancelled = {});

// When a daily run at `at` comes next after `now`.
QDateTime nextRun(const QTime& at, const QDateTime& now = QDateTime::currentDateTime());

// The latest start due at or before `now` since `made`; invalid when none was due yet.
QDateTime lastDueRun(const Schedule& schedule, const QDateTime& now);

// What becomes of a start missed because the computer was off, with this kind of schedule.
QString missedStartText(SchedulerKind kind);

// "setiap hari pukul 10.00, backup ke folder X, menyimpan 14 backup terbaru (timer systemd)"
QString describeSchedule(const Schedule& schedule);

} // namespace ranupa
