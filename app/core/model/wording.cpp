#include "core/model/wording.h"

#include <QLocale>

using namespace Qt::StringLiterals;

namespace ranupa::wording {

QLocale indonesian()
{
    return QLocale(QLocale::Indonesian, QLocale::Indonesia);
}

QString number(qint64 value)
{
    return indonesian().toString(value);
}

QString dateTime(const QDateTime& when)
{
    if (!when.isValid()) {
        return u"tidak diketahui"_s;
    }
    // The Indonesian day and month names come from the locale; times are written with a dot.
    return indonesian().toString(when.toLocalTime(), u"dddd, d MMMM yyyy 'pukul' HH.mm"_s);
}

QString age(const QDateTime& when, const QDateTime& now)
{
    const qint64 minutes = when.secsTo(now) / 60;
    const qint64 days = when.toLocalTime().date().daysTo(now.toLocalTime().date());
    return minutes < 1    ? u"baru saja"_s
           : minutes < 60 ? u"%1 menit yang lalu"_s.arg(minutes)
           : days < 1     ? u"%1 jam yang lalu"_s.arg(minutes / 60)
           : days == 1    ? u"kemarin"_s
           : days < 60    ? u"%1 hari yang lalu"_s.arg(days)
           : days < 730   ? u"%1 bulan yang lalu"_s.arg(days / 30)
                          : u"%1 tahun yang lalu"_s.arg(days / 365);
}

QString size(qint64 bytes)
{
    return indonesian().formattedDataSize(bytes, 1, QLocale::DataSizeTraditionalFormat);
}

QString duration(qint64 milliseconds)
{
    const qint64 seconds = milliseconds / 1000;
    return seconds < 60     ? u"%1 detik"_s.arg(seconds)
           : seconds < 3600 ? u"%1 menit %2 detik"_s.arg(seconds / 60).arg(seconds % 60)
                            : u"%1 jam %2 menit"_s.arg(seconds / 3600).arg(seconds % 3600 / 60);
}

QString upcoming(const QDateTime& when, const QDateTime& now)
{
    const qint64 days = now.toLocalTime().date().daysTo(when.toLocalTime().date());
    const QString time = when.toLocalTime().toString(u"HH.mm"_s);
    return days == 0   ? u"hari ini pukul "_s + time
           : days == 1 ? u"besok pukul "_s + time
                       : dateTime(when);
}

} // namespace ranupa::wording
