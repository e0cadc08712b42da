#pragma once

#include <QString>
#include <cstdio>

namespace ranupa::cli {

// Writes `text` and a line end to `stream` in the local encoding. Every line that can end up in a
// log starts with the moment it was written, so that a scheduler's log says when each thing
// happened: all of standard error, and standard output unless it is a terminal, where the
// operator sees the moment anyway.
void print(FILE* stream, QString text);

// Writes `text` and a line end as they are: the help and the version describe the program, not a
// moment of a run.
void printAsIs(FILE* stream, const QString& text);

// `text` without the sentences of `said`, which were printed just before: the details repeat the
// sentences under a message so that they can be copied alone from the window, but the command
// line prints both, one after the other.
QString unsaid(const QString& text, const QString& said);

} // namespace ranupa::cli
