#include "core/pg/serversession.h"

#include "core/pg/tools.h"

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// The two keys of the advisory lock: "Ranu" and "pa H" as numbers, the same on every copy.
constexpr int lockClassKey = 0x52616E75;
constexpr int lockObjectKey = 0x70612048;

// psql ends every answer with this line, the question's number and whether its statement failed
// ("true" or "false"): what comes before it is that answer's.
constexpr QByteArrayView answerEnd = "ranupa-selesai ";

// The first line that ends an answer, when one has arrived.
struct AnswerEnd
{
    qsizetype start = 0; // of the line
    qsizetype next = 0;  // after it
    quint64 number = 0;
    bool failed = false;
};

std::optional<AnswerEnd> findAnswerEnd(const QByteArray& output)
{
    for (qsizetype at = output.indexOf(answerEnd); at >= 0;
         at = output.indexOf(answerEnd, at + 1)) {
        if (at > 0 && output[at - 1] != '\n') {
            continue;
        }
        const qsizetype lineEnd = output.indexOf('\n', at);
        if (lineEnd < 0) {
            return std::nullopt;
        }
        const QList<QByteArray> words =
            output.sliced(at + answerEnd.size(), lineEnd - at - answerEnd.size())
                .trimmed()
                .split(' ');
        return AnswerEnd{.start = at,
                         .next = lineEnd + 1,
                         .number = words.value(0).toULongLong(),
                         .failed = words.value(1) != "false"};
    }
    return std::nullopt;
}

// The failure of a question to the server, from what psql said of it.
Failure queryFailure(const QString& step, const QString& said)
{
    return {.step = step,
            .details = said.isEmpty() ? u"Server tidak menjawab."_s : said,
            .cause = causeFromToolText(said)};
}

} // namespace

Rows csvRows(QByteArrayView csv)
{
    Rows rows;
    QStringList row;
    QByteArray field;
    bool quoted = false;
    const auto endField = [&] {
        row << QString::fromUtf8(field);
        field.clear();
    };
    for (qsizetype i = 0; i < csv.size(); ++i) {
        const char c = csv[i];
        if (quoted) {
            const bool doubled = c == '"' && i + 1 < csv.size() && csv[i + 1] == '"';
            quoted = c != '"' || doubled;
            if (quoted) {
                field += c;
            }
            i += doubled ? 1 : 0;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            endField();
        } else if (c == '\n') {
            endField();
            rows << row;
            row.clear();
        } else if (c != '\r') {
            field += c;
        }
    }
    if (!field.isEmpty() || !row.isEmpty()) {
        endField();
        rows << row;
    }
    return rows;
}

std::optional<Failure> ServerSession::start(const QString& port, const QString& programDir)
{
    if (!m_tool.start(tools::session(port), programDir)) {
        return Failure{.step = u"menghubungi server database (psql)"_s,
                       .details = u"Program tidak dapat dijalankan: "_s + m_tool.errorString(),
                       .cause = FailureCause::ToolsMissing};
    }
    m_tool.setOnOutput([this] { takeAnswers(); });
    return std::nullopt;
}

std::optional<Failure> ServerSession::lock(const std::function<bool()>& cancelled)
{
    // The first question, which also finds whether the server can be reached. A server set to end
    // idle sessions (14 on) would end this one, and the lock with it.
    const Result<Rows> taken =
        query(u"menghubungi server database (psql)"_s,
              u"SELECT pg_backend_pid(), pg_try_advisory_lock(%1, %2), (SELECT "
              u"set_config('idle_session_timeout', '0', false) WHERE "
              u"current_setting('server_version_num')::int >= 140000)"_s.arg(lockClassKey)
                  .arg(lockObjectKey),
              cancelled);
    if (!taken) {
        return taken.failure();
    }
    if (taken->value(0).value(1) != u"t"_s) {
        return Failure{.step = u"memastikan tidak ada backup atau restore lain di server ini"_s,
                       .details = u"Backup atau restore lain sedang berjalan di server database "
                                  u"ini (dari komputer, pengguna, atau folder lain pun)."_s,
                       .cause = FailureCause::Busy};
    }
    m_backendPid = taken->value(0).value(0);
    return std::nullopt;
}

QString ServerSession::heldCheck() const
{
    return u"DO $ranupa$ BEGIN IF NOT EXISTS (SELECT FROM pg_locks WHERE locktype = 'advisory' "
           u"AND granted AND pid = %1 AND classid = %2 AND objid = %3 AND objsubid = 2) THEN "
           u"RAISE EXCEPTION 'ranupa-helper: kunci server tidak dipegang lagi'; END IF; END "
           u"$ranupa$;"_s.arg(m_backendPid.toInt())
               .arg(lockClassKey)
               .arg(lockObjectKey);
}

bool ServerSession::reserveRoom()
{
    return bool(query({}, u"CREATE TEMP TABLE ranupa_ruang_cadangan AS SELECT g AS isi FROM "
                          u"generate_series(1, 225000) AS g"_s));
}

void ServerSession::freeRoom()
{
    [[maybe_unused]] const Result<Rows> dropped =
        query({}, u"DROP TABLE IF EXISTS pg_temp.ranupa_ruang_cadangan"_s);
}

Result<Rows> ServerSession::query(const QString& step, const QString& statement,
                                  const std::function<bool()>& cancelled)
{
    std::optional<Answer> answer;
    send(statement, [&answer](const Answer& given) { answer = given; });
    m_tool.waitFor([&answer] { return answer.has_value(); }, QDeadlineTimer::Forever, cancelled);
    if (!answer) {
        forget();
        if (cancelled && cancelled()) {
            return Failure::cancel();
        }
        return ended(step);
    }
    if (answer->failed) {
        return queryFailure(step, QString::fromUtf8(answer->text).trimmed());
    }
    m_connected = true;
    return csvRows(answer->text);
}

Failure ServerSession::ended(const QString& step) const
{
    // psql said why it ended: it never reached the server, the server went, or someone ended
    // the session.
    Failure failure = queryFailure(step, QString::fromUtf8(m_tool.output()).trimmed());
    if (m_connected) {
        failure.details.prepend(u"Sesi server milik program ini berakhir.\n"_s);
        if (failure.cause == FailureCause::Unknown) {
            failure.cause = FailureCause::LockLost;
        }
    }
    return failure;
}

bool ServerSession::ask(const QString& statement, std::function<void(std::optional<Rows>)> answered)
{
    if (m_awaited != 0 || !m_tool.running()) {
        return false;
    }
    send(statement, [answered = std::move(answered)](const Answer& answer) {
        answered(answer.failed ? std::nullopt : std::optional(csvRows(answer.text)));
    });
    return true;
}

void ServerSession::forget()
{
    m_awaited = 0;
    m_answered = {};
}

void ServerSession::send(const QString& statement, std::function<void(const Answer&)> answered)
{
    m_awaited = ++m_sent;
    m_answered = std::move(answered);
    // psql runs a statement once it has read its semicolon, and a meta-command at once: without
    // one the answer's end would come before the answer. It sets ERROR after each statement and
    // goes on after one that failed.
    QByteArray text = statement.trimmed().toUtf8();
    if (!text.endsWith(';')) {
        text += ';';
    }
    m_tool.write(text + "\n\\echo " + answerEnd.toByteArray() + QByteArray::number(m_sent) +
                 " :ERROR\n");
}

void ServerSession::takeAnswers()
{
    while (const std::optional<AnswerEnd> end = findAnswerEnd(m_tool.output())) {
        const Answer answer{.failed = end->failed, .text = m_tool.output().left(end->start)};
        m_tool.output().remove(0, end->next);
        if (end->number == m_awaited) {
            const auto answered = std::move(m_answered);
            forget();
            answered(answer);
        }
    }
}

} // namespace ranupa
