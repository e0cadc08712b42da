#pragma once

#include "core/model/failure.h"

#include <QByteArray>
#include <QString>
#include <QTimer>
#include <optional>

namespace ranupa {

class Operation;

// What others on a shared server can put in the way of replacing pendataan.

// Refuses, before anything is touched, a pendataan that a restore cannot replace: one with
// logical replication (its subscriptions stay with the old copy, which can then never be
// dropped; its slots would go with it) or with prepared transactions (they keep it from being
// renamed until an administrator ends them). The failure names them.
std::optional<Failure> checkPendataanReplaceable(Operation& operation);

// The first lines of the swap's script: a lock it waits for gives up after a while, and the
// session is named so that the watch below can find what it waits for.
QByteArray swapSessionSettings();

// While it lives, asks through the lock's own session every second which sessions hold a lock
// that the swap waits for; shows them in the progress while the wait lasts and keeps the last
// ones seen. Its timer fires while a tool runs.
class SwapWaitWatch final
{
    Q_DISABLE_COPY_MOVE(SwapWaitWatch)

public:
    explicit SwapWaitWatch(Operation& operation);

    // Says in the details of a swap that gave up waiting which sessions held it up.
    void explain(Failure& failure, int attempts) const;

private:
    void look();

    Operation& m_op;
    QTimer m_timer;
    QString m_waitingFor; // the sessions, one a line, while the swap waits; "" otherwise
    QString m_lastSeen;
};

} // namespace ranupa
