#pragma once

#include <QDir>
#include <QString>
#include <QStringList>

// A command line is one text, as Windows hands it to a child process. These helpers give on
// other systems what a Windows child would make of it.
namespace ranupa::commandline {

// Splits a command line into argv the way the Microsoft C runtime does: the program name ends at
// the first blank outside double quotes (its quotes are dropped, backslashes are plain), then
// arguments follow the runtime's quote and backslash rules:
//   2n backslashes + quote   -> n backslashes, the quote opens or closes a quoted part
//                               (inside a quoted part, "" gives one literal quote)
//   2n+1 backslashes + quote -> n backslashes and a literal quote
//   backslashes elsewhere    -> kept as they are
// Blanks (space, tab) outside quotes separate arguments; runs of them give no empty argument.
QStringList splitWindowsCommandLine(const QString& commandLine);

// The text to put between two double quotes so that the runtime gives back `argument` unchanged.
// A text without double quotes and without trailing backslashes comes back as it is.
QString escapeForQuotes(const QString& argument);

// The file to start for the program name of a command line: relative names are taken from
// `workingDir` only (never from PATH), "\" is read as "/", and a trailing ".exe" is dropped when
// only the name without it exists. The result is an absolute, cleaned path ("" for "").
QString resolveProgramPath(const QString& program, const QDir& workingDir);

// `path` as it goes into a command line: relative to the working directory made absolute, so
// that a name starting with "-" is never read as an option. Nothing else of it is changed ("."
// and ".." stay for the system to resolve, as links may stand in between).
QString absolutePathForTool(const QString& path);

// Drops the leading characters with codes 1 to 32 (blanks and control characters), as the
// runner does before it starts anything.
QString withoutLeadingControls(const QString& commandLine);

} // namespace ranupa::commandline
