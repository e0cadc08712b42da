#include "core/ops/recovery.h"

#include "core/model/names.h"
#include "core/ops/operation.h"
#include "core/ops/owndatabases.h"
#include "core/pg/serverlock.h"
#include "core/pg/toolcommands.h"
#include "core/pg/tooldetails.h"

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

QString droppedNote(const QString& name)
{
    if (name == scratchDatabaseName()) {
        return u"Restore sebelumnya terhenti sebelum selesai; database pendataan tidak diubah "
               u"olehnya, dan database yang belum selesai dimuatnya (%1) telah dihapus."_s.arg(
                   name);
    }
    if (name == trialDatabaseName()) {
        return u"Uji restore sebelumnya terhenti sebelum selesai; database ujinya (%1) telah "
               u"dihapus. Database pendataan tidak diubah olehnya."_s.arg(name);
    }
    return u"Restore sebelumnya sudah selesai, tetapi salinan database lamanya (%1) belum "
           u"terhapus; salinan itu kini dihapus."_s.arg(name);
}

std::optional<Failure> putLegacyCopyBack(Operation& operation)
{
    const ToolResult result = operation.run(
        tools::psql(operation.installation().port, {},
                    {operation.lock().heldCheck(),
                     u"ALTER DATABASE %1 RENAME TO pendataan"_s.arg(legacySetAsideName())}));
    if (!result.succeeded()) {
        return toolFailure(
            u"mengembalikan database %1 menjadi pendataan (psql)"_s.arg(legacySetAsideName()),
            result);
    }
    operation.note(u"Restore oleh versi program sebelumnya terhenti sebelum selesai dan tidak "
                   u"ada database pendataan: isi database sebelum restore itu (%1) telah "
                   u"dikembalikan menjadi database pendataan."_s.arg(legacySetAsideName()));
    return std::nullopt;
}

} // namespace

std::optional<Failure> recoverInterruptedWork(Operation& operation)
{
    operation.step(u"Memeriksa database di server..."_s);
    const Result<ServerDatabases> found = readServerDatabases(operation);
    if (!found) {
        return found.failure();
    }
    QStringList foreign = found->unmarked;
    foreign.removeAll(legacySetAsideName());
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
    if (const Result<QStringList> unfinished = dropUnfinishedDatabases(operation); !unfinished) {
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
    if (!found->unmarked.contains(legacySetAsideName())) {
        return std::nullopt;
    }
    if (found->pendataan) {
        operation.note(u"Di server ada database %1, sisa restore oleh versi program sebelumnya: "
                       u"isi database pendataan sebelum restore itu. Database itu dibiarkan; "
                       u"hapus sendiri bila tidak diperlukan lagi."_s.arg(legacySetAsideName()));
        return std::nullopt;
    }
    return putLegacyCopyBack(operation);
}

} // namespace ranupa
