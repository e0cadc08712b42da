#include "core/model/progress.h"

#include "core/model/wording.h"

#include <QStringList>
#include <algorithm>
#include <cmath>
#include <numeric>

using namespace Qt::StringLiterals;

namespace ranupa {

int ProgressMeasure::percent() const
{
    if (!isDeterminate()) {
        return -1;
    }
    // A table under way is never all of it: 100 means done.
    const double part = unit == Unit::Tables ? std::clamp(partOfNext, 0.0, 0.99) : 0.0;
    return std::clamp(int((double(done) + part) * 100 / double(total)), 0, 100);
}

QString progressText(const ProgressMeasure& measure)
{
    if (measure.waiting) {
        return measure.table.isEmpty()
                   ? u"Menunggu tabel yang sedang dikunci pengguna lain"_s
                   : u"Menunggu tabel %1 yang sedang dikunci pengguna lain"_s.arg(measure.table);
    }
    QStringList parts;
    if (measure.unit == ProgressMeasure::Unit::Bytes) {
        parts << (measure.isDeterminate() ? u"%1 dari %2 dibaca"_s.arg(wording::size(measure.done),
                                                                       wording::size(measure.total))
                                          : u"%1 dibaca"_s.arg(wording::size(measure.done)));
        if (measure.itemsLoaded >= 0) {
            parts << u"%1 objek database selesai"_s.arg(measure.itemsLoaded);
        }
        return parts.join(u", "_s);
    }
    if (measure.unit == ProgressMeasure::Unit::Entries) {
        return measure.isDeterminate()
                   ? u"%1 dari %2 objek database selesai"_s.arg(measure.done).arg(measure.total)
                   : u"%1 objek database selesai"_s.arg(measure.done);
    }
    QString tables = measure.isDeterminate()
                         ? u"%1 dari %2 tabel selesai"_s.arg(measure.done).arg(measure.total)
                         : u"%1 tabel selesai"_s.arg(measure.done);
    if (measure.partOfNext > 0 && !measure.table.isEmpty()) {
        tables +=
            u" (%1: %2%)"_s.arg(measure.table).arg(int(std::min(measure.partOfNext, 0.99) * 100));
    }
    parts << tables;
    // pg_dump adds a table to the file only once it is whole: while the bar moves through one,
    // the figure would stand still.
    if (measure.bytesWritten >= 0 && measure.partOfNext <= 0) {
        parts << u"%1 MB ditulis"_s.arg(wording::indonesian().toString(
            double(measure.bytesWritten) / (1024.0 * 1024.0), 'f', 1));
    }
    return parts.join(u", "_s);
}

QString elapsedText(qint64 milliseconds)
{
    const qint64 seconds = std::max<qint64>(milliseconds, 0) / 1000;
    const qint64 hours = seconds / 3600;
    const qint64 minutes = seconds / 60 % 60;
    const QString rest = u"%1:%2"_s.arg(minutes, hours > 0 ? 2 : 1, 10, QLatin1Char('0'))
                             .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return hours > 0 ? u"%1:%2"_s.arg(hours).arg(rest) : rest;
}

StepPlan& StepPlan::sized(StepKind kind, const QString& name, qint64 bytes)
{
    m_steps.append({.kind = kind, .name = name, .bytes = std::max<qint64>(bytes, 0)});
    return *this;
}

StepPlan& StepPlan::fixed(StepKind kind, const QString& name, int percent)
{
    m_steps.append({.kind = kind, .name = name, .fixedPercent = std::clamp(percent, 0, 100)});
    return *this;
}

std::optional<qsizetype> StepPlan::indexOf(StepKind kind) const
{
    const auto found = std::ranges::find(m_steps, kind, &Step::kind);
    return found == m_steps.cend() ? std::nullopt : std::optional(found - m_steps.cbegin());
}

QString StepPlan::title(qsizetype index) const
{
    if (m_steps.size() < 2) {
        return {};
    }
    return u"Langkah %1 dari %2: %3"_s.arg(index + 1).arg(m_steps.size()).arg(m_steps[index].name);
}

// The fixed shares are taken first; the sized steps divide the rest by their bytes. Shares that
// do not add up to 100 (fixed shares alone) are scaled to it.
QList<double> StepPlan::shares() const
{
    qint64 knownBytes = 0;
    int knownSizes = 0;
    int fixedTotal = 0;
    for (const Step& step : m_steps) {
        if (step.fixedPercent >= 0) {
            fixedTotal += step.fixedPercent;
        } else if (step.bytes > 0) {
            knownBytes += step.bytes;
            ++knownSizes;
        }
    }
    const double average = knownSizes > 0 ? double(knownBytes) / knownSizes : 1.0;
    const auto weight = [average](const Step& step) {
        return step.bytes > 0 ? double(step.bytes) : average;
    };
    double sizedTotal = 0;
    for (const Step& step : m_steps) {
        sizedTotal += step.fixedPercent < 0 ? weight(step) : 0.0;
    }
    const double rest = std::max(0, 100 - fixedTotal);
    QList<double> shares;
    double total = 0;
    for (const Step& step : m_steps) {
        shares << (step.fixedPercent >= 0 ? double(step.fixedPercent)
                                          : rest * weight(step) / sizedTotal);
        total += shares.last();
    }
    for (double& share : shares) {
        share = total > 0 ? share * 100.0 / total : 100.0 / double(m_steps.size());
    }
    return shares;
}

double StepPlan::overall(qsizetype index, int percent) const
{
    const QList<double> all = shares();
    const double start = std::accumulate(all.cbegin(), all.cbegin() + index, 0.0);
    return std::min(100.0, start + all[index] * std::clamp(percent, 0, 100) / 100.0);
}

void PlanProgress::setPlan(StepPlan plan)
{
    m_plan = std::move(plan);
    m_step = -1;
    m_shown.reset();
}

std::optional<PlanPosition> PlanProgress::begin(StepKind kind)
{
    const std::optional<qsizetype> index = m_plan ? m_plan->indexOf(kind) : std::nullopt;
    if (!index) {
        return std::nullopt;
    }
    m_step = *index;
    return moveTo(m_plan->overall(m_step, 0));
}

std::optional<PlanPosition> PlanProgress::take(const ProgressMeasure& measure)
{
    const bool moves = m_step >= 0 && !measure.waiting && measure.isDeterminate();
    return moves ? moveTo(m_plan->overall(m_step, measure.percent())) : std::nullopt;
}

std::optional<PlanPosition> PlanProgress::finish()
{
    return m_step < 0 ? std::nullopt : moveTo(100, true);
}

std::optional<PlanPosition> PlanProgress::moveTo(double overall, bool finished)
{
    int percent = finished ? 100 : std::min(99, int(std::floor(overall)));
    if (m_shown) {
        percent = std::max(percent, m_shown->percent);
    }
    const PlanPosition position{.title = m_plan->title(m_step), .percent = percent};
    if (m_shown == position) {
        return std::nullopt;
    }
    m_shown = position;
    return position;
}

} // namespace ranupa
