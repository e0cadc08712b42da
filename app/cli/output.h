#pragma once

#include <QString>
#include <cstdio>

namespace ranupa::cli {

// Writes `text` and a line end to `stream` in the local encoding. Every line on standard error
// starts with the moment it was written, so that a scheduler's log says when a failure happened;
// standard output keeps the messages exactly as they are.
void print(FILE* stream, QString text);

} // namespace ranupa::cli
