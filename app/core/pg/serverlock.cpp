#include "core/pg/serverlock.h"

#include "core/files/installation.h"

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// The two keys of the advisory lock: "Ranu" and "pa H" as numbers, the same on every copy.
constexpr int lockClassKey = 0x52616E75;
constexpr int lockObjectKey = 0x70612048;

} // namespace

std::optional<Failure> ServerLock::take(const Installation& installation,
                                        const std::function<bool()>& cancelled)
{
    if (auto failure = m_session.start(installation.port, installation.dir, cancelled)) {
        return failure;
    }
    const Result<Rows> taken =
        m_session.query(u"menghubungi server database (psql)"_s,
                        u"SELECT pg_backend_pid(), pg_try_advisory_lock(%1, %2)"_s.arg(lockClassKey)
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
    return bool(m_session.query({}, u"CREATE TEMP TABLE ranupa_ruang_cadangan AS SELECT g AS isi "
                                    u"FROM generate_series(1, 225000) AS g"_s));
}

void ServerLock::freeRoom()
{
    [[maybe_unused]] const Result<Rows> dropped =
        m_session.query({}, u"DROP TABLE IF EXISTS pg_temp.ranupa_ruang_cadangan"_s);
}

} // namespace ranupa
