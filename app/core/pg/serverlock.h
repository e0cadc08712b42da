#pragma once

#include "core/model/outcome.h"
#include "core/pg/serversession.h"

#include <QString>
#include <functional>
#include <optional>

namespace ranupa {

struct Installation;

// One backup or restore at a time on a server, across every copy of the program, whatever
// installation directory, temp directory, user or machine it runs from: a PostgreSQL advisory
// lock held by the program's own session (serversession.h) for the whole operation. The session
// ends, and the server lets go of the lock, when the program closes its input or ends in any way
// at all.
//
// The session also holds the room reserve: a temporary table of about 8 MB on the server's
// disk. A load that fills the disk leaves the server unable even to drop the unfinished database
// (that needs a checkpoint, which needs room), until the reserve gives its room back. Being a
// temporary table of the lock's session, it can never be left behind in any database.
class ServerLock final
{
    Q_DISABLE_COPY_MOVE(ServerLock)

public:
    ServerLock() = default;

    // Starts the session and takes the lock. A failure when the session cannot be started or
    // reach the server, or when another copy holds the lock (FailureCause::Busy).
    std::optional<Failure> take(const Installation& installation,
                                const std::function<bool()>& cancelled);

    // The statement, for a script of the program's, that fails unless this session still holds
    // the lock: whatever a script does after it is done only under the lock.
    QString heldCheck() const;

    // Holds the room reserve until freeRoom() or the end of the session; false when the server
    // had no room for it (the work goes on without).
    bool reserveRoom();
    void freeRoom();

    // The session that holds the lock, for the program's questions to the server.
    ServerSession& session() { return m_session; }

private:
    ServerSession m_session;
    QString m_backendPid;
};

} // namespace ranupa
