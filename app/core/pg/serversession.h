#pragma once

#include "core/model/outcome.h"
#include "core/pg/toolrunner.h"

#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace ranupa {

// The rows of an answer from the server, each the text of its fields as psql --csv writes them
// (NULL and the empty text alike as ""; true and false as "t" and "f").
using Rows = QList<QStringList>;

// The rows of psql's --csv output, in UTF-8: fields in double quotes may hold commas, quotes and
// line ends.
Rows csvRows(QByteArrayView csv);

// The program's own psql session on the server, in the postgres database, for the whole of an
// operation: statements go in on its standard input, the rows of their answers come back in CSV.
// Waiting for an answer never holds up the thread's other work: a running tool's output and its
// cancel check go on meanwhile.
//
// It holds the server lock: one backup or restore at a time on a server, across every copy of the
// program, whatever installation directory, temp directory, user or machine it runs from. The
// session ends, and the server lets go of the lock, when the program closes its input or ends in
// any way at all. It also holds the room reserve: a temporary table of about 8 MB on the
// server's disk. A load that fills the disk leaves the server unable even to drop the unfinished
// database (that needs a checkpoint, which needs room), until the reserve gives its room back.
// Being a temporary table of this session, it can never be left behind in any database.
class ServerSession final
{
    Q_DISABLE_COPY_MOVE(ServerSession)

public:
    ServerSession() = default;

    // Starts psql; the failure when it cannot be started.
    std::optional<Failure> start(const QString& port, const QString& programDir);

    // Takes the server lock, the session's first question: a failure when the server cannot be
    // reached, FailureCause::Busy when another copy holds the lock.
    std::optional<Failure> lock(const std::function<bool()>& cancelled);
    // The statement, for a script of the program's, that fails unless this session still holds
    // the lock: whatever a script does after it is done only under the lock.
    QString heldCheck() const;

    // Holds the room reserve until freeRoom() or the end of the session; false when the server
    // had no room for it (the work goes on without).
    bool reserveRoom();
    void freeRoom();

    // The rows of one statement. A failure when the server refused it or the session ended; a
    // cancel stops the wait.
    Result<Rows> query(const QString& step, const QString& statement,
                       const std::function<bool()>& cancelled = {});

    // Asks without waiting: `answered` gets the rows, or nothing when the question failed. Asks
    // nothing and gives false while an earlier question is unanswered.
    bool ask(const QString& statement, std::function<void(std::optional<Rows>)> answered);
    // The question asked last gets no answer any more: its asker is gone.
    void forget();

private:
    struct Answer
    {
        bool failed = false;
        QByteArray text; // the rows, or psql's error
    };
    void send(const QString& statement, std::function<void(const Answer&)> answered);
    void takeAnswers();
    Failure ended(const QString& step) const;

    BackgroundTool m_tool;
    quint64 m_sent = 0;    // questions sent
    quint64 m_awaited = 0; // the question whose answer someone waits for; 0 for none
    std::function<void(const Answer&)> m_answered;
    bool m_connected = false; // it has answered once
    QString m_backendPid;     // once it holds the lock
};

} // namespace ranupa
