#include "core/ops/load.h"
#include "core/ops/owndatabases.h"
#include "core/pg/tools.h"

#include <QMap>
#include <QThread>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// How long the swap waits for one lock before it gives up and tries again.
constexpr auto swapLockTimeout = "5s";
constexpr auto swapApplicationName = "ranupa-helper-tukar";

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

// Connections to pendataan that keep coming back, and locks held by other sessions, get this
// many attempts at the swap.
constexpr int swapAttempts = 3;
constexpr int swapRetryPauseMs = 500;

// While it lives, asks every second which sessions hold a lock that the swap waits for; shows
// them in the progress while the wait lasts and keeps the last ones seen.
class SwapWaitWatch final
{
public:
    explicit SwapWaitWatch(Operation& operation)
        : m_op(operation), m_watch(operation.session(), blockingSessionsStatement(),
                                   [this](const Rows& rows) { show(rows); })
    {}

    // Says in the details of a swap that gave up waiting which sessions held it up.
    void explain(Failure& failure, int attempts) const
    {
        const QString sessions =
            m_lastSeen.isEmpty() ? u"(sesi itu tidak sempat terbaca)"_s : m_lastSeen;
        failure.details =
            u"Database pendataan tidak dapat diganti: sesi lain memegang kunci yang dibutuhkan, "
            u"dan setelah %1 kali mencoba kunci itu tetap tidak dilepas. Sesi yang menahannya:\n"
            u"%2\nSelesaikan transaksi sesi itu atau akhiri sesinya (pg_terminate_backend), lalu "
            u"coba lagi.\n\n"_s.arg(attempts)
                .arg(sessions) +
            failure.details;
    }

private:
    void show(const Rows& rows)
    {
        QStringList sessions;
        for (const QStringList& row : rows) {
            sessions << row.value(0);
        }
        const QString waitingFor = sessions.join(u'\n');
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
        m_op.toolLine(u"Menunggu "_s + sessions.join(u"; "_s));
    }

    Operation& m_op;
    QString m_waitingFor; // the sessions, one a line, while the swap waits; "" otherwise
    QString m_lastSeen;
    SessionWatch m_watch; // last, so that it goes first
};

// The one transaction. A lock it waits for gives up after a while, and its session is named so
// that the watch can find what it waits for.
QStringList swapStatements(const ServerDatabases& state, const RestorePlan& plan)
{
    const QString replaced = replacedDatabaseName.toString();
    QStringList statements{
        u"SET lock_timeout = '%1'"_s.arg(QLatin1StringView(swapLockTimeout)),
        u"SET application_name = '%1'"_s.arg(QLatin1StringView(swapApplicationName)),
        stateUnchanged(state)};
    if (state.pendataan) {
        // A session that changed pendataan's row is waited for before any connection ends.
        // A template database cannot be dropped: the old copy stops being one.
        statements << u"SELECT FROM pg_database WHERE datname = '%1' FOR UPDATE"_s.arg(pendataan)
                   << u"SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE "
                      u"datname = '%1'"_s.arg(pendataan)
                   << u"ALTER DATABASE %1 RENAME TO %2"_s.arg(pendataan, replaced)
                   << u"ALTER DATABASE %1 IS_TEMPLATE false"_s.arg(replaced)
                   << u"COMMENT ON DATABASE %1 IS '%2'"_s.arg(replaced, ownDatabaseMark);
    }
    return statements << u"ALTER DATABASE %1 RENAME TO %2"_s.arg(scratchDatabaseName, pendataan)
                      << u"COMMENT ON DATABASE %1 IS NULL"_s.arg(pendataan)
                      << QString::fromUtf8(databaseStatements(plan, pendataan.toString()));
}

// The transaction may still have been committed when its answer was lost: the server says.
std::optional<Failure> afterFailedSwap(Operation& op, Failure failure)
{
    const Result<ServerDatabases> after = readServerDatabases(op);
    if (after && after->pendataan && !after->has(scratchDatabaseName.toString())) {
        return std::nullopt;
    }
    failure.pendataanUnchanged = bool(after);
    if (!after) {
        failure.details += u"\n\nKeadaan database di server tidak dapat diperiksa. Backup atau "
                           u"restore berikutnya menyelesaikan atau membatalkan restore ini."_s;
    }
    return failure;
}

} // namespace

std::optional<Failure> checkPendataanReplaceable(Operation& operation)
{
    const QString step = u"memeriksa database pendataan di server"_s;
    const Result<Rows> rows = operation.query(
        step, u"SELECT 'langganan', s.subname FROM pg_subscription AS s JOIN pg_database AS d ON "
              u"d.oid = s.subdbid WHERE d.datname = 'pendataan' UNION ALL SELECT 'slot', "
              u"slot_name FROM pg_replication_slots WHERE database = 'pendataan' UNION ALL SELECT "
              u"'transaksi', gid FROM pg_prepared_xacts WHERE database = 'pendataan'"_s);
    if (!rows) {
        return rows.failure();
    }
    QMap<QString, QStringList> found; // the names of each kind
    for (const QStringList& row : *rows) {
        found[row.value(0)] << row.value(1);
    }
    QStringList replication;
    if (found.contains(u"langganan"_s)) {
        replication << u"langganan (subscription) %1"_s.arg(found[u"langganan"_s].join(u", "_s));
    }
    if (found.contains(u"slot"_s)) {
        replication << u"slot replikasi logis %1"_s.arg(found[u"slot"_s].join(u", "_s));
    }
    if (!replication.isEmpty()) {
        return Failure{
            .step = step,
            .details = u"Database pendataan dipakai replikasi logis: %1. Restore mengganti "
                       u"database pendataan dengan database baru: langganan tetap terikat pada "
                       u"database lama, yang karenanya tidak dapat dihapus, dan slot ikut "
                       u"terhapus bersama database lama. Administrator server harus menghapusnya "
                       u"lebih dahulu (DROP SUBSCRIPTION, pg_drop_replication_slot), lalu restore "
                       u"dapat dicoba lagi."_s.arg(replication.join(u"; "_s)),
            .cause = FailureCause::ReplicationInUse};
    }
    if (found.contains(u"transaksi"_s)) {
        return Failure{
            .step = step,
            .details = u"Di database pendataan ada transaksi yang disiapkan (prepared "
                       u"transaction) dan belum diselesaikan: %1. Selama transaksi itu ada, "
                       u"database pendataan tidak dapat diganti namanya atau dihapus. "
                       u"Administrator server harus menyelesaikannya lebih dahulu dengan COMMIT "
                       u"PREPARED atau ROLLBACK PREPARED di database pendataan, lalu restore "
                       u"dapat dicoba lagi."_s.arg(found[u"transaksi"_s].join(u", "_s)),
            .cause = FailureCause::PreparedTransaction};
    }
    return std::nullopt;
}

std::optional<Failure> swapIntoPendataan(Operation& operation, const RestorePlan& plan)
{
    // Until the transaction is sent, pendataan is as it was.
    const auto unchanged = [](Failure failure) {
        failure.pendataanUnchanged = true;
        return failure;
    };
    // A cancel now could cut the transaction off after its commit, leaving nobody to tell
    // which way it went; it takes a moment, and the restore finishes as it would have.
    if (operation.cancelled()) {
        return unchanged(Failure::cancel());
    }
    const auto wholeSwap = operation.uncancellable();
    operation.step(u"Menyelesaikan restore..."_s);
    const SwapWaitWatch watch(operation);
    for (int attempt = 1;; ++attempt) {
        const Result<ServerDatabases> state = readServerDatabases(operation);
        if (!state) {
            return unchanged(state.failure());
        }
        std::optional<Failure> swapped = operation.change(
            u"menukar database baru dengan pendataan (psql)"_s, swapStatements(*state, plan), true);
        if (!swapped) {
            return std::nullopt;
        }
        Failure failure = onServer(*swapped);
        const bool passing = failure.cause == FailureCause::DatabaseInUse ||
                             failure.cause == FailureCause::DatabaseLocked;
        if (passing && attempt < swapAttempts) {
            // Most likely a client that connected again between two statements, or a
            // transaction that is about to end. Nothing has changed yet: a cancel may stop.
            if (operation.cancelRequested()) {
                return unchanged(Failure::cancel());
            }
            QThread::msleep(swapRetryPauseMs);
            continue;
        }
        if (failure.cause == FailureCause::DatabaseLocked) {
            watch.explain(failure, attempt);
        }
        return afterFailedSwap(operation, failure);
    }
}

QString dropReplacedDatabase(Operation& operation)
{
    const auto toTheEnd = operation.uncancellable();
    operation.step(u"Menghapus database lama..."_s);
    if (const std::optional<Failure> notDropped =
            dropOwnDatabase(operation, replacedDatabaseName.toString())) {
        return u"Salinan database lama (%1) belum dapat dihapus; backup atau restore "
               u"berikutnya menghapusnya.\n%2"_s.arg(replacedDatabaseName, notDropped->details);
    }
    return {};
}

} // namespace ranupa
