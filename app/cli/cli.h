#pragma once

#include <QCommandLineParser>
#include <QStringList>
#include <QTime>
#include <cstdio>
#include <optional>

// Unattended backups and restores, for schedulers and machines without a display.
namespace ranupa::cli {

enum ExitCode
{
    Success = 0,
    Failure = 1,     // the backup or restore failed, or old backups could not be removed
    UsageError = 2,  // bad options; nothing ran
    Interrupted = 3, // ended by a signal: a partial backup removed, a restore put back
    Busy = 4,        // another backup or restore runs on the server; nothing ran: try again later
};

// True when the arguments ask for the command-line mode rather than the windows: any argument
// but Qt's own options (-style, -platform, ...), which go to the windows.
bool wantsCommandLine(int argc, char* argv[]);

// `arguments` (argv[0] first) without the options that Qt reads for itself ("-style fusion",
// "-platform offscreen", "--reverse", ...), values included; all others stay, even unknown ones.
QStringList withoutToolkitOptions(const QStringList& arguments);

// Runs the command line `arguments` (argv[0] first) and gives the process exit code.
// Needs a QCoreApplication, and no display.
int run(const QStringList& arguments);

// For the command line's own files.

// Writes `text` and a line end to `stream` in the local encoding. Every line that can end up in a
// log starts with the moment it was written, so that a scheduler's log says when each thing
// happened: all of standard error, and standard output unless it is a terminal, where the
// operator sees the moment anyway.
void print(FILE* stream, QString text);

// What stops a run safely (see InterruptWatcher), as the operator of this system does it.
QStringView stopRequests();

// Readies standard output and error for the command line: on Windows, the console that started
// the program; elsewhere, a reader that went away costs only the messages.
void setUpStandardStreams();

// "10.00" or "10:00"; nothing for anything else.
std::optional<QTime> timeOfDay(const QString& text);

// What each mode does once its options have been checked; each gives the process exit code.
int makeBackup(const QCommandLineParser& options, const QString& directory);
int restoreBackup(const QCommandLineParser& options, const QString& file);
int tryRestore(const QCommandLineParser& options, const QString& file);
int printBackups(const QCommandLineParser& options, const QString& directory);
int scheduleDailyBackup(const QCommandLineParser& options, const QString& directory);
int removeDailyBackup(const QCommandLineParser& options, const QString& none);
int showDailyBackup(const QCommandLineParser& options, const QString& none);
int printHistory(const QCommandLineParser& options, const QString& none);

} // namespace ranupa::cli
