#pragma once

#include <QMetaType>
#include <QString>

namespace ranupa {

// How far the running step of a backup or restore has come, where there is an honest measure:
// the tables pg_dump has dumped, or the archive entries pg_restore has loaded.
struct ProgressMeasure
{
    enum class Unit
    {
        Tables, // of pendataan, dumped
        Items,  // of the backup's table of contents, loaded
    };
    Unit unit = Unit::Items;
    int done = 0;
    int total = 0;            // 0: nothing known to count against
    qint64 bytesWritten = -1; // the backup file so far; -1 where nothing is written

    bool isDeterminate() const { return total > 0; }
    // How far, 0 to 100; -1 where nothing is known to count against.
    int percent() const { return isDeterminate() ? int(qint64(done) * 100 / total) : -1; }
    friend bool operator==(const ProgressMeasure&, const ProgressMeasure&) = default;
};

// In words, e.g. "3 dari 5 tabel selesai, 12,4 MB ditulis".
QString progressText(const ProgressMeasure& measure);

// "0:07", "12:45", "1:02:03".
QString elapsedText(qint64 milliseconds);

// Counts what a tool has done from its --verbose lines.
class ProgressCounter final
{
public:
    explicit ProgressCounter(ProgressMeasure::Unit unit, int total = 0);

    // Takes one line of the tool's output; true when the count changed.
    bool take(const QString& line);
    // A tool that ended well has finished what it had begun.
    void finishLast();
    void setBytesWritten(qint64 bytes) { m_measure.bytesWritten = bytes; }
    ProgressMeasure measure() const { return m_measure; }

private:
    ProgressMeasure m_measure;
    bool m_tableRunning = false; // pg_dump names a table as it starts on it
};

// The psql statement that counts the tables whose contents pg_dump dumps: the ordinary tables
// (partitions included) outside the system schemas that no extension owns. Its answer is one
// line starting with tableCountMarker().
QString tableCountStatement();
QString tableCountMarker();
// The count from psql's output; -1 when the output holds no answer.
int tableCountFromOutput(const QString& output);

} // namespace ranupa

Q_DECLARE_METATYPE(ranupa::ProgressMeasure)
