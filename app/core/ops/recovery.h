#pragma once

#include "core/model/failure.h"

#include <optional>

namespace ranupa {

class Operation;

// Sets right what an operation that was interrupted left on the server: drops the program's own
// marked and unfinished databases (an unfinished load, a previous pendataan not yet dropped, a
// database cut off while it was created) and puts a
// previous pendataan that an earlier version set aside back under its name when there is no
// pendataan. Stops, touching nothing, when a database under a reserved name lacks the mark.
// What it did goes into the operation's notes.
std::optional<Failure> recoverInterruptedWork(Operation& operation);

} // namespace ranupa
