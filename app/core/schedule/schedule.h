#pragma once

#include <QDate>
#include <QString>
#include <QStringList>
#include <QTime>
#include <optional>

// The definitions of the daily backup that the system's scheduler runs: a systemd user timer
// with its service, a crontab line, or a Windows Task Scheduler task. Each is made from the
// program's own data, each path quoted and escaped by the rules of its format; no shell string
// is ever built from a path.
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

// The names the definitions are made under; removing the schedule removes these only.
QString systemdServiceName();
QString systemdTimerName();
QString crontabMarker(); // ends the crontab line, as a comment
QString taskName();

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
