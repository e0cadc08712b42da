#include "core/model/outcome.h"

using namespace Qt::StringLiterals;

namespace ranupa {

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

} // namespace ranupa
