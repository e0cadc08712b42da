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

// The failure of a question to the server, from what psql said of it.
Failure queryFailure(const QString& step, const QString& said);

// The program's own psql session on the server, in the postgres database, for the whole of an
// operation: statements go in on its standard input, the rows of their answers come back in CSV.
// Waiting for an answer never holds up the thread's other work: a running tool's output and its
// cancel check go on meanwhile.
class ServerSession final
{
    Q_DISABLE_COPY_MOVE(ServerSession)

public:
    ServerSession() = default;

    // Starts psql and waits until it has answered once; the failure when it cannot be started or
    // reach the server.
    std::optional<Failure> start(const QString& port, const QString& programDir,
                                 const std::function<bool()>& cancelled);

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

    ToolSession m_tool;
    quint64 m_sent = 0;    // questions sent
    quint64 m_awaited = 0; // the question whose answer someone waits for; 0 for none
    std::function<void(const Answer&)> m_answered;
    bool m_connected = false; // it has answered once
};

} // namespace ranupa
