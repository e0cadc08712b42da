#include "core/model/progress.h"

#include "core/model/wording.h"

#include <QLocale>
#include <QStringList>
#include <algorithm>

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

} // namespace ranupa
