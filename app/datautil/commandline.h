#pragma once

#include <QDir>
#include <QString>
#include <QStringList>

// A command line is one text, as Windows hands it to a child process. These helpers give on
// other systems what a Windows child would make of it.
namespace ranupa::commandline {

// Splits a command line into argv the way the Microsoft C runtime does: the program name ends at
// the first blank (or is quoted), then arguments follow the runtime's quote and backslash rules.
QStringList splitWindowsCommandLine(const QString& commandLine);

// The text to put between two double quotes so that the runtime gives back `argument` unchanged.
// A text without double quotes and without trailing backslashes comes back as it is.
QString escapeForQuotes(const QString& argument);

// The file to start for the program name of a command line: relative names are taken from
// `workingDir` only (never from PATH), "\" is read as "/", and a trailing ".exe" is dropped when
// only the name without it exists.
QString resolveProgramPath(const QString& program, const QDir& workingDir);

} // namespace ranupa::commandline
