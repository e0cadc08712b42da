#pragma once

#include <QCommandLineParser>

// What each mode of the command line does once its options have been checked: each is given the
// parsed options and the folder or file it works on, and gives the process exit code.
namespace ranupa::cli {

// --backup DIR [--verify] [--keep N] [--scheduled]
int backup(const QCommandLineParser& options, const QString& directory);
// --restore FILE --yes [--backup-first DIR] [--any-database]
int restore(const QCommandLineParser& options, const QString& file);
// --verify FILE
int tryRestore(const QCommandLineParser& options, const QString& file);
// --list DIR
int list(const QCommandLineParser& options, const QString& directory);
// --schedule DIR [--at JJ.MM] [--keep N]
int schedule(const QCommandLineParser& options, const QString& directory);

} // namespace ranupa::cli
