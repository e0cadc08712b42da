#include "core/ops/obstacles.h"

#include "core/ops/operation.h"
#include "core/pg/serverlock.h"
#include "core/pg/toolcommands.h"
#include "core/pg/tooldetails.h"

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// How long the swap waits for one lock before it gives up and tries again.
constexpr auto swapLockTimeout = "5s";
constexpr auto swapApplicationName = "ranupa-helper-tukar";

// One line for each, "<kind>:<name>", and a last line that is always there.
QString replaceabilityStatement()
{
    return u"SELECT 'langganan:' || s.subname FROM pg_subscription AS s JOIN pg_database AS d ON "
           u"d.oid = s.subdbid WHERE d.datname = 'pendataan' UNION ALL SELECT 'slot:' || "
           u"slot_name FROM pg_replication_slots WHERE database = 'pendataan' UNION ALL SELECT "
           u"'transaksi:' || gid FROM pg_prepared_xacts WHERE database = 'pendataan' UNION ALL "
           u"SELECT 'ranupa-periksa:selesai'"_s;
}

struct Found
{
    QStringList subscriptions;
    QStringList replicationSlots;
    QStringList preparedTransactions;
};

std::optional<Found> parseFound(const QString& output)
{
    Found found;
    bool complete = false;
    for (const QString& line : output.split(u'\n')) {
        const QString name = line.section(u':', 1);
        if (line.startsWith(u"langganan:")) {
            found.subscriptions << name;
        } else if (line.startsWith(u"slot:")) {
            found.replicationSlots << name;
        } else if (line.startsWith(u"transaksi:")) {
            found.preparedTransactions << name;
        } else {
            complete = complete || line == u"ranupa-periksa:selesai";
        }
    }
    return complete ? std::optional(found) : std::nullopt;
}

Failure replicationFailure(const Found& found)
{
    QStringList named;
    if (!found.subscriptions.isEmpty()) {
        named << u"langganan (subscription) %1"_s.arg(found.subscriptions.join(u", "_s));
    }
    if (!found.replicationSlots.isEmpty()) {
        named << u"slot replikasi logis %1"_s.arg(found.replicationSlots.join(u", "_s));
    }
    return {.step = u"memeriksa database pendataan di server"_s,
            .details = u"Database pendataan dipakai replikasi logis: %1. Restore mengganti "
                       u"database pendataan dengan database baru: langganan tetap terikat pada "
                       u"database lama, yang karenanya tidak dapat dihapus, dan slot ikut "
                       u"terhapus bersama database lama. Administrator server harus menghapusnya "
                       u"lebih dahulu (DROP SUBSCRIPTION, pg_drop_replication_slot), lalu restore "
                       u"dapat dicoba lagi."_s.arg(named.join(u"; "_s)),
            .cause = FailureCause::ReplicationInUse};
}

Failure preparedTransactionFailure(const Found& found)
{
    return {.step = u"memeriksa database pendataan di server"_s,
            .details = u"Di database pendataan ada transaksi yang disiapkan (prepared "
                       u"transaction) dan belum diselesaikan: %1. Selama transaksi itu ada, "
                       u"database pendataan tidak dapat diganti namanya atau dihapus. "
                       u"Administrator server harus menyelesaikannya lebih dahulu dengan COMMIT "
                       u"PREPARED atau ROLLBACK PREPARED di database pendataan, lalu restore "
                       u"dapat dicoba lagi."_s.arg(found.preparedTransactions.join(u", "_s)),
            .cause = FailureCause::PreparedTransaction};
}

// Each session that holds what the swap's session waits for, in words, one a row; a prepared
// transaction shows as process 0.
QString blockingSessionsStatement()
{
    return u"SELECT CASE WHEN b.pid IS NULL THEN 'transaksi yang disiapkan (prepared "
           u"transaction)' ELSE format('pid %s, aplikasi %s, pengguna %s, alamat %s, "
           u"database %s', b.pid, coalesce(nullif(b.application_name, ''), '-'), "
           u"coalesce(b.usename::text, '-'), coalesce(host(b.client_addr), 'soket lokal'), "
           u"coalesce(b.datname::text, '-')) END FROM pg_stat_activity AS w, "
           u"unnest(pg_blocking_pids(w.pid)) AS p(pid) LEFT JOIN pg_stat_activity AS b ON b.pid "
           u"= p.pid WHERE w.application_name = '%1' ORDER BY p.pid"_s.arg(
               QLatin1StringView(swapApplicationName));
}

} // namespace

std::optional<Failure> checkPendataanReplaceable(Operation& operation)
{
    const ToolResult result =
        operation.run(tools::psql(operation.installation().port, {}, {replaceabilityStatement()}));
    const std::optional<Found> found = parseFound(result.resultText());
    if (!found) {
        return toolFailure(u"memeriksa database pendataan di server (psql)"_s, result);
    }
    if (!found->subscriptions.isEmpty() || !found->replicationSlots.isEmpty()) {
        return replicationFailure(*found);
    }
    if (!found->preparedTransactions.isEmpty()) {
        return preparedTransactionFailure(*found);
    }
    return std::nullopt;
}

QByteArray swapSessionSettings()
{
    return QByteArray("SET lock_timeout = '") + swapLockTimeout + "';\nSET application_name = '" +
           swapApplicationName + "';\n";
}

SwapWaitWatch::SwapWaitWatch(Operation& operation) : m_op(operation)
{
    m_timer.setInterval(1000);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { look(); });
    m_timer.start();
}

void SwapWaitWatch::explain(Failure& failure, int attempts) const
{
    const QString sessions =
        m_lastSeen.isEmpty() ? u"(sesi itu tidak sempat terbaca)"_s : m_lastSeen;
    failure.details =
        u"Database pendataan tidak dapat diganti: sesi lain memegang kunci yang dibutuhkan, dan "
        u"setelah %1 kali mencoba kunci itu tetap tidak dilepas. Sesi yang menahannya:\n%2\n"
        u"Selesaikan transaksi sesi itu atau akhiri sesinya (pg_terminate_backend), lalu coba "
        u"lagi.\n\n"_s.arg(attempts)
            .arg(sessions) +
        failure.details;
}

void SwapWaitWatch::look()
{
    const std::optional<QStringList> rows = m_op.lock().query(blockingSessionsStatement());
    const QString waitingFor = rows ? rows->join(u'\n') : QString();
    if (waitingFor == m_waitingFor) {
        return;
    }
    m_waitingFor = waitingFor;
    if (waitingFor.isEmpty()) {
        m_op.step(u"Menyelesaikan restore..."_s);
        return;
    }
    m_lastSeen = waitingFor;
    m_op.step(u"Menyelesaikan restore: menunggu sesi lain melepaskan database pendataan..."_s);
    m_op.toolLine(u"Menunggu "_s + rows->join(u"; "_s));
}

} // namespace ranupa
