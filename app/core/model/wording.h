#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

// The program's own Indonesian for dates, ages and sizes, the same in the windows, the command
// line and the guide.
namespace ranupa::wording {

// The one locale the program writes its numbers, dates and sizes in.
QLocale indonesian();

// "1.234.567"
QString number(qint64 value);

// "Senin, 8 Desember 2026 pukul 04.59", in local time; "tidak diketahui" when invalid.
QString dateTime(const QDateTime& when);

// How long ago `when` was at `now`: "baru saja", "5 menit yang lalu", "3 jam yang lalu",
// "kemarin", "3 hari yang lalu", "2 bulan yang lalu", "1 tahun yang lalu"; a time ahead of
// `now` is "baru saja".
QString age(const QDateTime& when, const QDateTime& now = QDateTime::currentDateTime());

// "1,2 MB", "850 KB", "3,4 GB".
QString size(qint64 bytes);

// How long something took: "45 detik", "3 menit 20 detik", "1 jam 5 menit".
QString duration(qint64 milliseconds);

// When something comes: "hari ini pukul 10.00", "besok pukul 10.00", or dateTime() further on.
QString upcoming(const QDateTime& when, const QDateTime& now = QDateTime::currentDateTime());

} // namespace ranupa::wording
