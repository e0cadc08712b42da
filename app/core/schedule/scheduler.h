#pragma once

#include "core/model/outcome.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

// The daily backup put into, read back from and taken out of the system's scheduler: on Windows
// the Task Scheduler; elsewhere a systemd user timer where the user's session manager answers
// (`systemctl --user`), a crontab line otherwise. The programs are found in PATH; RANUPA_CRONTAB
// and RANUPA_SYSTEMCTL name others (the tests' stand-ins). The user units go into
// $XDG_CONFIG_HOME/systemd/user. What was made is also noted in the program's data folder, for
// the windows and --schedule-show to tell.
namespace ranupa {

struct DailyBackup
{
    QString program;    // absolute path of the program to run
    QString installDir; // absolute: the run starts there, where it finds the installation
    QString backupDir;  // absolute
    QTime at{10, 0};    // a time the school's computers are on
    int keep = 14;      // the newest backups kept in backupDir

    // The run's options: --backup DIR --verify --keep N, and --scheduled, which marks its line
    // in the history as the schedule's.
    QStringList arguments() const;
};

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

// The definitions the scheduler is given (schedule.cpp), each made from the program's own data,
// each path quoted and escaped by the rules of its format; no shell string is ever built from a
// path.

// The names the definitions are made under; removing the schedule removes these only.
inline constexpr QStringView systemdServiceName = u"ranupa-helper-backup.service";
inline constexpr QStringView systemdTimerName = u"ranupa-helper-backup.timer";
inline constexpr QStringView crontabMarker = u"# ranupa-helper --schedule"; // ends the crontab line
inline constexpr QStringView taskName = u"Ranupa Helper Backup Harian";

// Why `backup` cannot go into a definition (a path holding a line break or another control
// character, which no line-based format can carry; for `systemd`, a program path it refuses);
// nothing when it can.
std::optional<QString> unschedulable(const DailyBackup& backup, bool systemd);

// The unit the timer starts: WorkingDirectory= and ExecStart= escaped for systemd.
QString systemdService(const DailyBackup& backup);
// Daily at backup.at; Persistent=true runs a start that was missed (the computer was off) as
// soon as the user's session manager runs again.
QString systemdTimer(const DailyBackup& backup);
// "M H * * * cd DIR && PROGRAM ARGS # marker": cron hands the command to /bin/sh, so each path
// is quoted for sh, and cron's own % is escaped.
QString crontabLine(const DailyBackup& backup);
// The task's XML (schtasks /Create /XML): daily from `firstDay`, started as soon as possible
// after a missed start, "Start in" the installation folder.
QString taskDefinition(const DailyBackup& backup, const QDate& firstDay);

} // namespace ranupa
