#pragma once

#include <QStringList>

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

// `arguments` (argv[0] first) without the options that Qt reads for itself, such as
// "-style fusion", "-platform offscreen" or "--reverse", values included. What remains are the
// program's own options and anything nobody understands.
QStringList withoutToolkitOptions(const QStringList& arguments);

// Runs the command line `arguments` (argv[0] first) and gives the process exit code.
// Needs a QCoreApplication, and no display.
int run(const QStringList& arguments);

} // namespace ranupa::cli
