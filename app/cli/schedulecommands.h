#pragma once

#include <QString>
#include <QTime>
#include <optional>

// The command line's schedule and history: --schedule, --schedule-off, --schedule-show and
// --history. Each gives the process exit code.
namespace ranupa::cli {

// "10.00" or "10:00"; nothing for anything else.
std::optional<QTime> timeOfDay(const QString& text);

int scheduleDailyBackup(const QString& backupDir, const QTime& at, int keep);
int removeDailyBackup();
int showDailyBackup();
int printHistory();

} // namespace ranupa::cli
