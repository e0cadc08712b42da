#include "core/model/outcome.h"

#include "core/model/wording.h"

#include <QDir>
#include <array>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

QString whatRan(const RunRecord& record)
{
    constexpr std::array<QStringView, 3> kinds{u"backup", u"restore", u"uji restore"};
    constexpr std::array<QStringView, 3> origins{u"dari jendela", u"dari baris perintah",
                                                 u"terjadwal"};
    return u"%1 %2"_s.arg(kinds[std::size_t(record.kind)], origins[std::size_t(record.origin)]);
}

QString howItEnded(const RunRecord& record)
{
    switch (record.result) {
    case RunResult::Succeeded:
        if (record.kind == OperationKind::Backup) {
            return record.tried ? u"berhasil, sudah diuji"_s : u"berhasil, belum diuji"_s;
        }
        return u"berhasil"_s;
    case RunResult::Failed:
        return u"gagal: "_s + record.cause;
    case RunResult::Cancelled:
        return u"dibatalkan"_s;
    }
    return {};
}

} // namespace

OperationOutcome failedOutcome(OperationKind kind, const Failure& failure, const QString& port,
                               const QString& notes)
{
    OperationOutcome outcome;
    outcome.status = failure.cancelled ? OperationStatus::Cancelled : OperationStatus::Failed;
    // In the order of OperationKind: failed, cancelled.
    constexpr QStringView messages[][2] = {
        {u"Gagal melakukan backup", u"Backup dibatalkan"},
        {u"Gagal melakukan restore", u"Restore dibatalkan"},
        {u"Backup tidak dapat di-restore", u"Uji restore dibatalkan"},
    };
    outcome.message = messages[int(kind)][failure.cancelled ? 1 : 0].toString();
    outcome.cause = failure.cause;
    outcome.pendataanUnchanged = failure.pendataanUnchanged;
    // A cancel has no cause to explain, only whether pendataan is unchanged.
    const QString unchanged = failure.pendataanUnchanged ? pendataanUnchangedText() : QString();
    if (failure.cancelled) {
        outcome.summary = unchanged;
    } else if (!failure.said.isEmpty()) {
        outcome.summary = (failure.said + u'\n' + unchanged).trimmed();
    } else {
        outcome.summary = failureSummary(failure.cause, port, failure.pendataanUnchanged);
    }
    // What was set right before comes first: the operator must learn of it whatever followed.
    QStringList details{notes, failedStepText(failure, unchanged)};
    details.removeAll(QString());
    outcome.details = details.join(u"\n\n"_s);
    return outcome;
}

QString describeRun(const RunRecord& record)
{
    return QStringList{wording::dateTime(record.started),
                       whatRan(record),
                       howItEnded(record),
                       record.fileSize < 0 ? u"-"_s : wording::size(record.fileSize),
                       wording::duration(record.durationMs),
                       record.filePath.isEmpty() ? u"-"_s
                                                 : QDir::toNativeSeparators(record.filePath)}
        .join(u" | "_s);
}

} // namespace ranupa
