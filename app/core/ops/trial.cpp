#include "core/model/wording.h"
#include "core/ops/load.h"

#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <numeric>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// What a backup holds, or a database loaded from it: the rows of each table by "schema.name",
// and the large objects.
struct Contents
{
    QMap<QString, qint64> rows;
    QSet<quint32> largeObjects;
};

// The lines of each table's data member, and the large objects' members, read in the private copy
// or, without one, through the one open file.
std::optional<Failure> countArchive(Operation& operation, BackupLoad& backup, Contents& archived)
{
    operation.step(u"Menghitung baris di file backup..."_s);
    for (const ArchiveTocEntry& entry : backup.toc().entriesOfType(u"TABLE DATA")) {
        const auto member = backup.members().constFind(u"%1.dat"_s.arg(entry.dumpId));
        if (member == backup.members().cend()) {
            continue; // compressed, by pg_dump versions of long ago: not counted
        }
        const QString table = entry.schema + u'.' + entry.name;
        const std::optional<qint64> rows = backup.countRows(member.key(), *member);
        if (!rows) {
            return Failure{.step = u"menghitung baris tabel %1 di file backup"_s.arg(table),
                           .details = u"Data tabel itu tidak dapat dibaca atau tidak berakhir "
                                      u"dengan penanda akhir data."_s,
                           .cause = FailureCause::DamagedBackup};
        }
        archived.rows[table] += *rows;
    }
    static const QRegularExpression largeObject(u"^blob_(\\d+)\\.dat$"_s);
    for (auto it = backup.members().cbegin(); it != backup.members().cend(); ++it) {
        if (const QRegularExpressionMatch match = largeObject.match(it.key()); match.hasMatch()) {
            archived.largeObjects.insert(match.captured(1).toUInt());
        }
    }
    return std::nullopt;
}

std::optional<Failure> countLoaded(Operation& operation, Contents& loaded)
{
    operation.step(u"Menghitung baris di database uji..."_s);
    const QString step = u"menghitung baris di database uji (psql)"_s;
    const QString database = trialDatabaseName.toString();
    // Every table's rows in one query, which builds each count's statement itself.
    const Result<Rows> tables = operation.query(
        step,
        u"SELECT n.nspname || '.' || c.relname, (xpath('/row/jumlah/text()', "
        u"query_to_xml(format('SELECT count(*) AS jumlah FROM %I.%I', n.nspname, c.relname), "
        u"false, true, '')))[1]::text FROM pg_class c JOIN pg_namespace n ON n.oid = "
        u"c.relnamespace WHERE c.relkind = 'r' AND n.nspname <> 'information_schema' AND "
        u"n.nspname !~ '^pg_'"_s,
        database);
    if (!tables) {
        return tables.failure();
    }
    const Result<Rows> largeObjects =
        operation.query(step, u"SELECT oid FROM pg_largeobject_metadata"_s, database);
    if (!largeObjects) {
        return largeObjects.failure();
    }
    for (const QStringList& row : *tables) {
        loaded.rows.insert(row.value(0), row.value(1).toLongLong());
    }
    for (const QStringList& row : *largeObjects) {
        loaded.largeObjects.insert(row.value(0).toUInt());
    }
    return std::nullopt;
}

std::optional<Failure> compare(const Contents& archived, const Contents& loaded)
{
    QStringList differences;
    QString firstTable;
    for (auto it = archived.rows.cbegin(); it != archived.rows.cend(); ++it) {
        if (const qint64 found = loaded.rows.value(it.key(), -1); found != it.value()) {
            firstTable = firstTable.isEmpty() ? it.key() : firstTable;
            differences << u"Tabel %1: %2 baris di file backup, %3 di database uji."_s.arg(
                it.key(), wording::number(it.value()),
                found < 0 ? u"tidak ada"_s : wording::number(found));
        }
    }
    if (archived.largeObjects != loaded.largeObjects) {
        differences << u"%1 objek besar di file backup, %2 di database uji."_s.arg(
            wording::number(archived.largeObjects.size()),
            wording::number(loaded.largeObjects.size()));
    }
    if (differences.isEmpty()) {
        return std::nullopt;
    }
    return Failure{
        .step = firstTable.isEmpty()
                    ? u"membandingkan objek besar dengan file backup"_s
                    : u"membandingkan jumlah baris tabel %1 dengan file backup"_s.arg(firstTable),
        .details = differences.join(u'\n'),
        .cause = FailureCause::DamagedBackup};
}

// From opening the file to comparing what was loaded; the trial database stays for the caller
// to drop.
Result<TrialCounts> loadAndCompare(Operation& operation, BackupLoad& backup,
                                   const QString& fileText)
{
    operation.beginStep(StepKind::Examine);
    // A trial loads a backup of another database as well; it says so.
    if (auto failure = backup.prepare(fileText, true)) {
        return *failure;
    }
    const RestorePlan& plan = backup.restorePlan();
    if (plan.archiveDatabase != pendataan) {
        operation.note(
            u"File backup ini berisi database %1, bukan pendataan."_s.arg(plan.archiveDatabase));
    }
    if (!plan.note.isEmpty()) {
        operation.note(plan.note);
    }
    Contents archived;
    if (auto failure = countArchive(operation, backup, archived)) {
        return *failure;
    }
    operation.beginStep(StepKind::Load);
    if (auto failure = backup.createDatabase()) {
        return *failure;
    }
    if (auto failure = backup.load()) {
        return *failure;
    }
    operation.beginStep(StepKind::Compare);
    Contents loaded;
    if (auto failure = countLoaded(operation, loaded)) {
        return *failure;
    }
    // A custom-format archive has no members to count: what was loaded is all there is to say.
    TrialCounts counts;
    counts.compared = !backup.members().isEmpty();
    if (auto failure = counts.compared ? compare(archived, loaded) : std::optional<Failure>()) {
        return *failure;
    }
    // The backup's owner and database settings, applied to the trial database in the way the
    // restore applies them to pendataan, then rolled back: a setting this server does not know
    // fails here, not at the end of a restore.
    operation.step(u"Mencoba pengaturan database dari file backup..."_s);
    if (auto failure = operation.change(
            u"mencoba pengaturan database dari file backup di database uji (psql)"_s,
            {QString::fromUtf8(databaseStatements(plan, trialDatabaseName.toString())),
             u"ROLLBACK"_s},
            true)) {
        return *failure;
    }
    if (auto failure = backup.checkFileUnchanged()) {
        return *failure;
    }
    counts.tables = int(loaded.rows.size());
    counts.rows = std::accumulate(loaded.rows.cbegin(), loaded.rows.cend(), qint64(0));
    counts.largeObjects = int(loaded.largeObjects.size());
    return counts;
}

} // namespace

Result<TrialCounts> trialRestore(Operation& operation, const QString& fileText)
{
    BackupLoad backup(operation, trialDatabaseName.toString(), u"uji"_s);
    Result<TrialCounts> counts = loadAndCompare(operation, backup, fileText);
    if (const std::optional<Failure> notDropped =
            backup.dropDatabase(u"Menghapus database uji..."_s)) {
        const QString text = u"Database %1 belum dapat dihapus; backup atau restore berikutnya "
                             u"menghapusnya.\n%2"_s.arg(trialDatabaseName, notDropped->details);
        if (!counts) {
            Failure failure = counts.failure();
            failure.details += u"\n\n"_s + text;
            return failure;
        }
        operation.note(text);
    }
    return counts;
}

QString trialSummary(const TrialCounts& counts)
{
    QString loaded = u"%1 tabel (%2 baris)"_s.arg(counts.tables).arg(wording::number(counts.rows));
    if (counts.largeObjects > 0) {
        loaded += u" dan %1 objek besar"_s.arg(wording::number(counts.largeObjects));
    }
    return counts.compared
               ? u"%1 dimuat ke database uji, sama dengan isi file backup."_s.arg(loaded)
               : u"%1 dimuat ke database uji. Jumlahnya tidak dibandingkan dengan isi file "
                 u"backup, karena file itu bukan arsip tar."_s.arg(loaded);
}

} // namespace ranupa
