#pragma once

#include "core/model/outcome.h"

#include <QString>
#include <optional>

namespace ranupa {

class Operation;
struct RestorePlan;

// What others on a shared server can put in the way of replacing pendataan.

// Refuses, before anything is touched, a pendataan that a restore cannot replace: one with
// logical replication (its subscriptions stay with the old copy, which can then never be
// dropped; its slots would go with it) or with prepared transactions (they keep it from being
// renamed until an administrator ends them). The failure names them.
std::optional<Failure> checkPendataanReplaceable(Operation& operation);

// The one transaction that sets pendataan aside as the marked old copy and gives the loaded
// scratch database its name and the backup's owner and settings (`plan`). It runs only on the
// server state just read back, and only while this session holds the server lock. A lock
// another session holds is waited for a while, shown in the progress, and tried again a few
// times; then the swap fails naming that session.
//
// A failure's pendataanUnchanged says whether the server was read back as it was before: then
// the scratch database may go. Without it nobody can tell which way the transaction went, and
// the next run finishes or undoes it.
std::optional<Failure> swapIntoPendataan(Operation& operation, const RestorePlan& plan);

// Drops the old copy the swap set aside; says in a note when it could not.
QString dropReplacedDatabase(Operation& operation);

} // namespace ranupa
