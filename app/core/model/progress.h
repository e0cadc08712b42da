#pragma once

#include <QList>
#include <QMetaType>
#include <QString>
#include <optional>

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
// (public.nilai: 40%)" or "Menunggu tabel public.nilai yang sedang dikunci pengguna lain".
QString progressText(const ProgressMeasure& measure);

// "0:07", "12:45", "1:02:03".
QString elapsedText(qint64 milliseconds);

// The parts of an operation the operator is told of as numbered steps. The functions that do the
// work say which of them they begin; the operation's plan says which of them count and how much.
enum class StepKind
{
    Backup,       // pg_dump writes the new backup file, which is then checked
    SafetyBackup, // the same, of pendataan as it is before a restore
    Examine,      // a trial reads the backup file: its structure and its rows
    Load,         // a new database is created and pg_restore loads the backup into it
    Compare,      // a trial counts what was loaded against the file
    Swap,         // the new database takes pendataan's place
};

// Which numbered step runs and how far the operation as a whole has come.
struct PlanPosition
{
    QString title;   // "Langkah 1 dari 3: backup pengaman database saat ini"; "" for a lone step
    int percent = 0; // of the whole operation, 0 to 100
    friend bool operator==(const PlanPosition&, const PlanPosition&) = default;
};

// The steps of one operation with their shares of a single bar over all of it, so that the bar
// moves on from one step to the next instead of starting again at 0.
class StepPlan final
{
public:
    // A step whose share follows the bytes it works through, against the other sized steps; 0
    // when that is not known, and the step counts as their average.
    StepPlan& sized(StepKind kind, const QString& name, qint64 bytes);
    // A step with a small share of its own, in percent of the whole: one that does little, or
    // that has nothing to be measured by.
    StepPlan& fixed(StepKind kind, const QString& name, int percent);

    qsizetype count() const { return m_steps.size(); }
    std::optional<qsizetype> indexOf(StepKind kind) const;
    QString title(qsizetype index) const;
    // Where the whole is, 0 to 100, when step `index` has come `percent` (0 to 100) of its way.
    double overall(qsizetype index, int percent) const;

private:
    struct Step
    {
        StepKind kind;
        QString name;
        qint64 bytes = 0;
        int fixedPercent = -1; // -1: sized
    };
    QList<double> shares() const;

    QList<Step> m_steps;
};

// The bar over a running plan: the position to show as steps begin and their measures move on.
// It never goes back, not even where a measure does (a dump finding more tables than it was
// told of), and it reaches 100 only once the plan is finished, as the last step may still work
// when its measure is complete (a backup is checked after it is written).
class PlanProgress final
{
public:
    // Nothing to tell until a plan is set.
    void setPlan(StepPlan plan);
    // The position to show once step `kind` begins; nothing when the plan has no such step.
    std::optional<PlanPosition> begin(StepKind kind);
    // The position to show for the running step's `measure`; nothing when it stays the same.
    std::optional<PlanPosition> take(const ProgressMeasure& measure);
    // All the plan's steps are done.
    std::optional<PlanPosition> finish();

private:
    std::optional<PlanPosition> moveTo(double overall, bool finished = false);

    std::optional<StepPlan> m_plan;
    qsizetype m_step = -1;
    std::optional<PlanPosition> m_shown;
};

} // namespace ranupa

Q_DECLARE_METATYPE(ranupa::ProgressMeasure)
Q_DECLARE_METATYPE(ranupa::PlanPosition)
