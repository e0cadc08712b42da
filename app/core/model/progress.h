#pragma once

#include <QMetaType>
#include <QString>

namespace ranupa {

// How far the running step of a backup or restore has come, where there is an honest measure:
// the tables pg_dump has dumped and how far it is in the one it copies, the bytes of the backup
// file read (by the program for its copy, or by pg_restore), or the entries of the backup's
// table of contents that pg_restore has loaded.
struct ProgressMeasure
{
    enum class Unit
    {
        Tables,  // of pendataan, dumped
        Bytes,   // of the backup file, read
        Entries, // of the backup's table of contents, loaded
    };
    Unit unit = Unit::Bytes;
    qint64 done = 0;
    qint64 total = 0;         // 0: nothing known to count against
    double partOfNext = 0;    // Tables: how far the table being copied is, 0 to 1
    QString table;            // Tables: the one being copied or waited for; "" when unknown
    bool waiting = false;     // pg_dump waits for a lock another session holds on `table`
    qint64 bytesWritten = -1; // Tables: the backup file so far; -1 where nothing is written
    int itemsLoaded = -1;     // Bytes: the backup's entries pg_restore has loaded; -1 for none

    bool isDeterminate() const { return total > 0; }
    // How far, 0 to 100; 100 only once everything is done; -1 where nothing is known to count
    // against.
    int percent() const;
    friend bool operator==(const ProgressMeasure&, const ProgressMeasure&) = default;
};

// In words, e.g. "3 dari 5 tabel selesai, 12,4 MB ditulis", "3 dari 5 tabel selesai
// (public.nilai: 40%)" or
// "Menunggu tabel public.nilai yang sedang dikunci pengguna lain".
QString progressText(const ProgressMeasure& measure);

// "0:07", "12:45", "1:02:03".
QString elapsedText(qint64 milliseconds);

} // namespace ranupa

Q_DECLARE_METATYPE(ranupa::ProgressMeasure)
