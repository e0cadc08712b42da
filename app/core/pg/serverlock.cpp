#include "core/pg/serverlock.h"

#include "core/model/installation.h"
#include "core/pg/toolcommands.h"
#include "core/pg/toolrunner.h"

#include <QDeadlineTimer>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// The two keys of the advisory lock: "Ranu" and "pa H" as numbers, the same on every copy.
constexpr int lockClassKey = 0x52616E75;
constexpr int lockObjectKey = 0x70612048;

// A question asked while a tool runs holds the tool up: it gets a moment, not more.
constexpr int queryTimeoutMs = 5'000;

// What starts the line of psql's output that answers the program's question.
constexpr QStringView lockMarker = u"ranupa-kunci:";
constexpr QStringView roomMarker = u"ranupa-ruang:";
constexpr QStringView queryMarker = u"ranupa-jawab:";

} // namespace

ServerLock::ServerLock() = default;

ServerLock::~ServerLock()
{
    if (m_session.state() == QProcess::NotRunning) {
        return;
    }
    // The end of its input ends psql, and with its session the lock and the room reserve.
    m_session.closeWriteChannel();
    if (!m_session.waitForFinished(5000)) {
        m_session.kill();
        m_session.waitForFinished(5000);
    }
}

std::optional<Failure> ServerLock::take(const Installation& installation,
                                        const std::function<bool()>& cancelled)
{
    const QString step = u"menghubungi server database (psql)"_s;
    prepareToolProcess(m_session, tools::lockSession(installation.port), installation.dir);
    m_session.start(QIODevice::ReadWrite);
    if (!m_session.waitForStarted(30'000)) {
        return Failure{.step = step,
                       .details = u"Program tidak dapat dijalankan: "_s + m_session.errorString(),
                       .cause = FailureCause::ToolsMissing};
    }
    // A server set to end idle sessions would end this one, and the lock with it.
    const QByteArray statements =
        "SET idle_session_timeout = 0;\n"
        "SELECT '" +
        lockMarker.toLatin1() + "' || pg_backend_pid() || ':' || pg_try_advisory_lock(" +
        QByteArray::number(lockClassKey) + ", " + QByteArray::number(lockObjectKey) + ");\n";
    const std::optional<QString> answer = ask(statements, lockMarker, cancelled);
    if (!answer) {
        if (cancelled && cancelled()) {
            return Failure::cancel();
        }
        const QString said = QString::fromLocal8Bit(m_session.readAllStandardError()).trimmed();
        return Failure{.step = step,
                       .details = said.isEmpty() ? u"Server tidak menjawab."_s : said,
                       .cause = causeFromToolText(said)};
    }
    const QStringList parts = answer->split(u':');
    if (parts.size() != 2 || parts.at(1) != u"true"_s) {
        return Failure{.step = u"memastikan tidak ada backup atau restore lain di server ini"_s,
                       .details = u"Backup atau restore lain sedang berjalan di server database "
                                  u"ini (dari komputer, pengguna, atau folder lain pun)."_s,
                       .cause = FailureCause::Busy};
    }
    m_backendPid = parts.at(0);
    return std::nullopt;
}

QString ServerLock::heldCheck() const
{
    return u"DO $ranupa$ BEGIN IF NOT EXISTS (SELECT FROM pg_locks WHERE locktype = 'advisory' "
           u"AND granted AND pid = %1 AND classid = %2 AND objid = %3 AND objsubid = 2) THEN "
           u"RAISE EXCEPTION 'ranupa-helper: kunci server tidak dipegang lagi'; END IF; END "
           u"$ranupa$;"_s.arg(m_backendPid.toInt())
               .arg(lockClassKey)
               .arg(lockObjectKey);
}

bool ServerLock::reserveRoom()
{
    const std::optional<QString> answer =
        ask("CREATE TEMP TABLE ranupa_ruang_cadangan AS SELECT g AS isi FROM "
            "generate_series(1, 225000) AS g;\n"
            "SELECT '" +
                roomMarker.toLatin1() +
                "' || (to_regclass('pg_temp.ranupa_ruang_cadangan') IS NOT NULL);\n",
            roomMarker);
    return answer == u"true"_s;
}

void ServerLock::freeRoom()
{
    ask("DROP TABLE IF EXISTS pg_temp.ranupa_ruang_cadangan;\nSELECT '" + roomMarker.toLatin1() +
            "';\n",
        roomMarker);
}

std::optional<QStringList> ServerLock::query(const QString& statement)
{
    // psql sets ERROR after every statement; the session goes on after one that failed.
    QStringList rows;
    const std::optional<QString> failed =
        ask(statement.toUtf8() + ";\n\\echo " + queryMarker.toLatin1() + " :ERROR\n", queryMarker,
            {}, queryTimeoutMs, &rows);
    m_session.readAllStandardError(); // asked once a second, its errors must not pile up
    return failed && failed->trimmed() == u"false"_s ? std::optional(rows) : std::nullopt;
}

std::optional<QString> ServerLock::ask(const QByteArray& statements, QStringView marker,
                                       const std::function<bool()>& cancelled, int timeoutMs,
                                       QStringList* before)
{
    if (m_session.state() != QProcess::Running) {
        return std::nullopt;
    }
    m_session.readAllStandardOutput(); // what came after an earlier answer's time ran out
    m_session.write(statements);
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired() && !(cancelled && cancelled())) {
        while (m_session.canReadLine()) {
            const QString line = QString::fromLocal8Bit(m_session.readLine()).trimmed();
            if (line.startsWith(marker)) {
                return line.mid(marker.size());
            }
            if (before) {
                before->append(line);
            }
        }
        if (m_session.state() != QProcess::Running) {
            return std::nullopt;
        }
        m_session.waitForReadyRead(50);
    }
    return std::nullopt;
}

} // namespace ranupa
