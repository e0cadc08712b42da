#pragma once

#include "core/model/outcome.h"
#include "core/pg/toolrunner.h"

#include <QString>

namespace ranupa {

// The end of what a tool wrote: enough to see why it failed without flooding the details box.
QString toolOutputTail(const ToolResult& result);

// How a tool run ended, in words: did not start, ended with code N, was stopped, ...
QString describeToolEnd(const ToolResult& result);

// The first errors a PostgreSQL client program reported, each with the lines that belong to it
// ("from TOC entry ...", "Command was: ..."), so that the cause shows without the verbose
// progress around it. "" when the output holds no error line.
QString firstToolErrors(const ToolResult& result, int maxErrors = 3);

// A step whose tool failed: the cause from the tool's words, the details from its output and
// the command as it could be typed.
Failure toolFailure(const QString& step, const ToolResult& result);

// A full disk while the server writes a database is the server's disk, not the backup's.
Failure onServer(Failure failure);

// The cause of one tool run's failure, including a program that could not be started at all.
FailureCause causeFromToolResult(const ToolResult& result);

} // namespace ranupa
