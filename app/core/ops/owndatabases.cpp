#include "core/ops/owndatabases.h"

#include <QRandomGenerator>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// pendataan and the reserved names, for an SQL list.
QString namesList()
{
    return u"'pendataan', '%1', '%2', '%3', '%4'"_s.arg(scratchDatabaseName, replacedDatabaseName,
                                                        trialDatabaseName, legacySetAsideName);
}

// Only names the program itself gives: they are read back from the server and put into
// statements as they are.
QString unfinishedNamePattern()
{
    return u"^%1[0-9a-f]{12}$"_s.arg(unfinishedDatabasePrefix);
}

QString markedExpression()
{
    return u"(coalesce(shobj_description(oid, 'pg_database'), '') = '%1')::text"_s.arg(
        ownDatabaseMark);
}

// One text for the databases in question, "name:true" or "name:false" for marked or not, in name
// order: as the server gives it for stateUnchanged(), and as ServerDatabases::state reads it.
QString stateExpression()
{
    return u"(SELECT coalesce(string_agg(datname || ':' || %1, ' ' ORDER BY datname), '') FROM "
           u"pg_database WHERE datname IN (%2))"_s.arg(markedExpression(), namesList());
}

std::optional<Failure> dropUnfinishedDatabase(Operation& operation, const QString& name)
{
    const QString stillUnfinished =
        u"DO $ranupa$ BEGIN IF NOT EXISTS (SELECT FROM pg_database WHERE datname = '%1' AND NOT "
        u"datallowconn) THEN RAISE EXCEPTION 'ranupa-helper: database di server berubah'; END "
        u"IF; END $ranupa$;"_s.arg(name);
    return operation.change(u"menghapus database %1 (psql)"_s.arg(name),
                            {stillUnfinished, u"DROP DATABASE "_s + name});
}

QString droppedNote(const QString& name)
{
    if (name == scratchDatabaseName) {
        return u"Restore sebelumnya terhenti sebelum selesai; database pendataan tidak diubah "
               u"olehnya, dan database yang belum selesai dimuatnya (%1) telah dihapus."_s.arg(
                   name);
    }
    if (name == trialDatabaseName) {
        return u"Uji restore sebelumnya terhenti sebelum selesai; database ujinya (%1) telah "
               u"dihapus. Database pendataan tidak diubah olehnya."_s.arg(name);
    }
    return u"Restore sebelumnya sudah selesai, tetapi salinan database lamanya (%1) belum "
           u"terhapus; salinan itu kini dihapus."_s.arg(name);
}

} // namespace

Result<ServerDatabases> readServerDatabases(Operation& operation)
{
    const Result<Rows> rows = operation.query(
        u"memeriksa database di server"_s,
        u"SELECT datname, %1, datname ~ '%2' AND NOT datallowconn FROM pg_database WHERE datname "
        u"IN (%3) OR (datname ~ '%2' AND NOT datallowconn) ORDER BY datname"_s.arg(
            markedExpression(), unfinishedNamePattern(), namesList()));
    if (!rows) {
        return rows.failure();
    }
    ServerDatabases found;
    QStringList state;
    for (const QStringList& row : *rows) {
        const QString& name = row.value(0);
        if (row.value(2) == u"t"_s) {
            found.unfinished << name;
            continue;
        }
        state << name + u':' + row.value(1);
        if (name == pendataan) {
            found.pendataan = true;
        } else {
            (row.value(1) == u"true"_s ? found.marked : found.unmarked).append(name);
        }
    }
    found.state = state.join(u' ');
    return found;
}

QString stateUnchanged(const ServerDatabases& expected)
{
    return u"DO $ranupa$ BEGIN IF %1 <> '%2' THEN RAISE EXCEPTION 'ranupa-helper: database di "
           u"server berubah'; END IF; END $ranupa$;"_s.arg(stateExpression(), expected.state);
}

QString createUnfinishedDatabase(const QString& unfinishedName, const QString& createOptions)
{
    return u"CREATE DATABASE %1 WITH %2 ALLOW_CONNECTIONS=false"_s.arg(unfinishedName,
                                                                       createOptions);
}

std::optional<Failure> createOwnDatabase(Operation& operation, const QString& name,
                                         const QString& createOptions)
{
    const QString unfinished =
        unfinishedDatabasePrefix.toString() +
        QString::number(QRandomGenerator::global()->generate64() & 0xFFFF'FFFF'FFFFu, 16)
            .rightJustified(12, u'0');
    const QString step = u"membuat database %1 (psql)"_s.arg(name);
    if (auto failure =
            operation.change(step, {createUnfinishedDatabase(unfinished, createOptions)})) {
        return failure;
    }
    // One transaction: the database stays unfinished or becomes `name` with the mark.
    if (auto failure =
            operation.change(step,
                             {u"COMMENT ON DATABASE %1 IS '%2'"_s.arg(unfinished, ownDatabaseMark),
                              u"ALTER DATABASE %1 RENAME TO %2"_s.arg(unfinished, name),
                              u"ALTER DATABASE %1 WITH ALLOW_CONNECTIONS true"_s.arg(name)},
                             true)) {
        return failure;
    }
    const Result<ServerDatabases> found = readServerDatabases(operation);
    if (!found) {
        return found.failure();
    }
    if (!found->marked.contains(name)) {
        return Failure{.step = u"membuat database %1"_s.arg(name),
                       .details =
                           u"Database %1 tidak ditemukan di server setelah dibuat."_s.arg(name)};
    }
    return std::nullopt;
}

Result<QStringList> dropUnfinishedDatabases(Operation& operation,
                                            const std::optional<ServerDatabases>& known)
{
    const Result<ServerDatabases> found = known ? *known : readServerDatabases(operation);
    if (!found) {
        return found.failure();
    }
    for (const QString& name : found->unfinished) {
        if (std::optional<Failure> notDropped = dropUnfinishedDatabase(operation, name)) {
            return *notDropped;
        }
    }
    return found->unfinished;
}

std::optional<Failure> dropOwnDatabase(Operation& operation, const QString& name)
{
    const Result<ServerDatabases> found = readServerDatabases(operation);
    if (!found) {
        return found.failure();
    }
    if (!found->marked.contains(name)) {
        return found->has(name) ? Failure{.step = u"menghapus database %1"_s.arg(name),
                                          .details = u"Database itu tidak bertanda buatan "
                                                     u"program ini, jadi tidak dihapus."_s,
                                          .cause = FailureCause::ReservedName}
                                : std::optional<Failure>();
    }
    return operation.change(
        u"menghapus database %1 (psql)"_s.arg(name),
        {stateUnchanged(*found),
         u"SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '%1'"_s.arg(name),
         u"DROP DATABASE %1"_s.arg(name)});
}

std::optional<Failure> recoverInterruptedWork(Operation& operation)
{
    operation.step(u"Memeriksa database di server..."_s);
    const Result<ServerDatabases> found = readServerDatabases(operation);
    if (!found) {
        return found.failure();
    }
    QStringList foreign = found->unmarked;
    foreign.removeAll(legacySetAsideName.toString());
    if (!foreign.isEmpty()) {
        return Failure{
            .step = u"memeriksa database di server"_s,
            .details = u"Di server ada database bernama %1, nama yang dipakai program ini untuk "
                       u"restore, tetapi database itu tidak bertanda buatan program ini. Program "
                       u"tidak menghapus atau mengubahnya. Ganti nama database itu (misalnya "
                       u"dengan ALTER DATABASE ... RENAME TO ... di psql), lalu coba lagi."_s.arg(
                           foreign.join(u", "_s)),
            .cause = FailureCause::ReservedName,
            .pendataanUnchanged = true};
    }
    if (const Result<QStringList> unfinished = dropUnfinishedDatabases(operation, *found);
        !unfinished) {
        operation.note(u"Database yang belum selesai dibuat oleh pekerjaan sebelumnya belum dapat "
                       u"dihapus; dicoba lagi pada backup atau restore berikutnya.\n%1"_s.arg(
                           unfinished.failure().details));
    } else if (!unfinished->isEmpty()) {
        operation.note(
            u"Pekerjaan sebelumnya terhenti saat membuat database; database kosong "
            u"yang belum selesai dibuatnya (%1) telah dihapus."_s.arg(unfinished->join(u", "_s)));
    }
    for (const QString& name : found->marked) {
        if (const std::optional<Failure> notDropped = dropOwnDatabase(operation, name)) {
            // Only room on the disk is at stake: the work goes on, the next run tries again.
            operation.note(
                u"Database %1 dari pekerjaan sebelumnya belum dapat dihapus; dicoba "
                u"lagi pada backup atau restore berikutnya.\n%2"_s.arg(name, notDropped->details));
        } else {
            operation.note(droppedNote(name));
        }
    }
    if (!found->unmarked.contains(legacySetAsideName.toString())) {
        return std::nullopt;
    }
    if (found->pendataan) {
        operation.note(u"Di server ada database %1, sisa restore oleh versi program sebelumnya: "
                       u"isi database pendataan sebelum restore itu. Database itu dibiarkan; "
                       u"hapus sendiri bila tidak diperlukan lagi."_s.arg(legacySetAsideName));
        return std::nullopt;
    }
    if (auto failure = operation.change(
            u"mengembalikan database %1 menjadi pendataan (psql)"_s.arg(legacySetAsideName),
            {u"ALTER DATABASE %1 RENAME TO pendataan"_s.arg(legacySetAsideName)})) {
        return failure;
    }
    operation.note(u"Restore oleh versi program sebelumnya terhenti sebelum selesai dan tidak "
                   u"ada database pendataan: isi database sebelum restore itu (%1) telah "
                   u"dikembalikan menjadi database pendataan."_s.arg(legacySetAsideName));
    return std::nullopt;
}

} // namespace ranupa
