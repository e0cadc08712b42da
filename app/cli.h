#pragma once

#include <QDateTime>
#include <QStringList>

// Unattended backups and restores, for schedulers and machines without a display.
namespace ranupa::cli {

enum ExitCode
{
    Success = 0,
    Failure = 1,     // the backup or restore failed, or old backups could not be removed
    UsageError = 2,  // bad options; nothing ran
    Interrupted = 3, // ended by a signal; a partial backup was removed
};

// True when the arguments ask for the command-line mode rather than the windows.
bool wantsCommandLine(int argc, char* argv[]);

// Runs the command line `arguments` (argv[0] first) and gives the process exit code.
// Needs a QCoreApplication, and no display.
int run(const QStringList& arguments);

// The backups among `fileNames` that `--keep keep` removes: only names that are the edition word,
// 14 digits of a valid DDMMYYYYhhmmss time and ".dbk"; all but the newest `keep` by that time.
// `justWritten` is never among them, so a clock that went back cannot cost the newest backup.
QStringList backupsToRemove(const QStringList& fileNames, int keep, const QString& justWritten);

// The time in a backup's file name, or an invalid QDateTime when the name is not a backup's.
QDateTime backupTime(const QString& fileName);

} // namespace ranupa::cli
