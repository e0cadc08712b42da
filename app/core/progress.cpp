#include "core/progress.h"

#include <QLocale>
#include <QStringList>
#include <algorithm>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// pg_dump 15 names each table as it begins to dump its contents.
bool startsTableDump(QStringView line)
{
    return line.startsWith(u"pg_dump: dumping contents of table ");
}

// pg_restore 15 writes one of these for each entry of the table of contents that it restores;
// errors, notices and large objects come in lines of their own.
bool restoresItem(QStringView line)
{
    return line.startsWith(u"pg_restore: creating ") ||
           line.startsWith(u"pg_restore: processing ") ||
           line.startsWith(u"pg_restore: executing ");
}

} // namespace

QString progressText(const ProgressMeasure& measure)
{
    const QString what =
        measure.unit == ProgressMeasure::Unit::Tables ? u"tabel"_s : u"objek database"_s;
    QStringList parts;
    if (measure.isDeterminate()) {
        parts << u"%1 dari %2 %3 selesai"_s.arg(measure.done).arg(measure.total).arg(what);
    } else {
        parts << u"%1 %2 selesai"_s.arg(measure.done).arg(what);
    }
    if (measure.bytesWritten >= 0) {
        const QLocale indonesian(QLocale::Indonesian, QLocale::Indonesia);
        parts << u"%1 MB ditulis"_s.arg(
            indonesian.toString(double(measure.bytesWritten) / (1024.0 * 1024.0), 'f', 1));
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

ProgressCounter::ProgressCounter(ProgressMeasure::Unit unit, int total)
{
    m_measure.unit = unit;
    m_measure.total = std::max(total, 0);
}

bool ProgressCounter::take(const QString& line)
{
    const int before = m_measure.done;
    if (m_measure.unit == ProgressMeasure::Unit::Tables) {
        // A table is done once pg_dump says anything after naming it.
        if (m_tableRunning) {
            ++m_measure.done;
        }
        m_tableRunning = startsTableDump(line);
    } else if (restoresItem(line)) {
        ++m_measure.done;
    }
    // A count taken before the work began may fall short; the bar never runs past its end.
    if (m_measure.total > 0 && m_measure.done > m_measure.total) {
        m_measure.total = m_measure.done;
    }
    return m_measure.done != before;
}

void ProgressCounter::finishLast()
{
    if (m_tableRunning) {
        m_tableRunning = false;
        ++m_measure.done;
        m_measure.total = m_measure.total > 0 ? std::max(m_measure.total, m_measure.done) : 0;
    }
}

QString tableCountMarker()
{
    return u"tabel:"_s;
}

QString tableCountStatement()
{
    return u"select '%1' || count(*) from pg_class c join pg_namespace n on n.oid = "
           u"c.relnamespace where c.relkind = 'r' and n.nspname <> 'information_schema' and "
           u"n.nspname !~ '^pg_' and not exists (select from pg_depend d where d.classid = "
           u"'pg_class'::regclass and d.objid = c.oid and d.deptype = 'e')"_s.arg(
               tableCountMarker());
}

int tableCountFromOutput(const QString& output)
{
    for (const QString& line : output.split(u'\n')) {
        const QString trimmed = line.trimmed();
        if (trimmed.startsWith(tableCountMarker())) {
            bool ok = false;
            const int count = trimmed.mid(tableCountMarker().size()).toInt(&ok);
            return ok && count >= 0 ? count : -1;
        }
    }
    return -1;
}

} // namespace ranupa
