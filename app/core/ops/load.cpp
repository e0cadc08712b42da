#include "core/ops/load.h"

#include "core/model/regularfile.h"
#include "core/ops/archivecheck.h"
#include "core/ops/filehash.h"
#include "core/ops/operation.h"
#include "core/ops/owndatabases.h"
#include "core/pg/newdatabase.h"
#include "core/pg/toolcommands.h"

#include <QSet>
#include <QThread>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// pg_restore's workers, each on a connection of its own: one per processor of this machine (the
// server's too where it runs here), and at least two, so that a table loads while another's
// indexes are built. On 2 processors, 3 workers were no faster than 2 over several runs, and 4
// were slower (README, Benchmarks): more only contend with the server for the same processors.
int loadJobs()
{
    return std::max(2, QThread::idealThreadCount());
}

} // namespace

BackupLoad::BackupLoad(Operation& operation, const QString& database, const QString& what)
    : m_op(operation), m_database(database), m_what(what)
{}

BackupLoad::~BackupLoad() = default;

std::optional<Failure> BackupLoad::prepare(const QString& fileText, bool acceptOtherDatabase)
{
    if (auto failure = openFile(fileText)) {
        return failure;
    }
    if (auto failure = copyFile()) {
        return failure;
    }
    if (auto failure = check()) {
        return failure;
    }
    return planRestore(m_op, source(), m_toc, acceptOtherDatabase, m_plan);
}

std::optional<Failure> BackupLoad::openFile(const QString& fileText)
{
    m_filePath = absolutePathForTool(fileText);
    if (const std::optional<Failure> unreadable = openRegularFileForReading(m_filePath, m_file)) {
        return Failure{.step = u"membuka file backup"_s,
                       .details = u"File backup tidak dapat dibaca: "_s + unreadable->details,
                       .cause = FailureCause::BackupNotReadable};
    }
    m_fileSize = m_file.size();
    m_fileModified = m_file.fileTime(QFileDevice::FileModificationTime);
    return std::nullopt;
}

std::optional<Failure> BackupLoad::copyFile()
{
    Result<std::unique_ptr<ArchiveCopy>> copy = ArchiveCopy::make(m_op, m_file);
    if (!copy) {
        return copy.failure();
    }
    m_copy = std::move(*copy);
    if (m_copy) {
        return std::nullopt;
    }
    const Result<QByteArray> hash = hashBackupFile(m_op, m_file);
    if (!hash) {
        return hash.failure();
    }
    m_checkedHash = *hash;
    return std::nullopt;
}

std::optional<Failure> BackupLoad::check()
{
    m_op.step(u"Memeriksa file backup..."_s);
    if (m_copy) {
        m_members = m_copy->members();
        return checkCopiedArchive(m_op, m_copy->folder(), m_members, m_toc);
    }
    return checkArchive(m_op, m_file, m_toc, &m_members);
}

ArchiveSource BackupLoad::source()
{
    return m_copy ? ArchiveSource(m_copy->folder()) : ArchiveSource(m_file);
}

std::optional<Failure> BackupLoad::createDatabase()
{
    m_op.step(u"Membuat database %1..."_s.arg(m_what));
    m_created = true;
    if (std::optional<Failure> failure = createOwnDatabase(
            m_op, m_database, createDatabaseOptions(m_plan.locale, m_plan.serverVersion))) {
        return onServer(*failure);
    }
    return std::nullopt;
}

std::optional<Failure> BackupLoad::load()
{
    m_op.step(u"Memuat data dari file backup..."_s);
    if (!m_op.session().reserveRoom()) {
        m_op.note(u"Ruang cadangan di disk server tidak dapat disiapkan."_s);
    }
    const ToolResult result = m_copy ? loadCopy() : loadStream();
    m_op.session().freeRoom();
    m_copy.reset(); // the temp folder gets its room back at once
    if (!result.succeeded()) {
        return onServer(toolFailure(u"memuat data dari file backup (pg_restore)"_s, result));
    }
    return std::nullopt;
}

ToolResult BackupLoad::loadCopy()
{
    ProgressMeasure entries;
    entries.unit = ProgressMeasure::Unit::Entries;
    entries.total = m_toc.entries.size();
    QSet<int> listed;
    for (const ArchiveTocEntry& entry : m_toc.entries) {
        listed.insert(entry.dumpId);
    }
    QSet<int> done;
    m_op.progress(entries);
    ToolRun how;
    how.onLine = [&](const QString& line) {
        m_op.toolLine(line);
        if (const int item = doneItem(line); listed.contains(item) && !done.contains(item)) {
            done.insert(item);
            entries.done = done.size();
            m_op.progress(entries);
        }
    };
    const ToolResult result = m_op.run(
        tools::loadFolder(m_op.installation().port, m_database, m_copy->folder(), loadJobs()), how);
    if (result.succeeded()) {
        entries.done = entries.total; // the database's own entries are the swap's
        m_op.progress(entries);
    }
    return result;
}

ToolResult BackupLoad::loadStream()
{
    ProgressMeasure read;
    read.total = m_fileSize;
    read.itemsLoaded = 0;
    m_op.progress(read);
    HashingReader fed(m_file);
    ToolRun how;
    how.input = &fed;
    how.onInputRead = [&](qint64 bytes) {
        read.done = std::min(bytes, m_fileSize);
        m_op.progress(read);
    };
    how.onLine = [&](const QString& line) {
        m_op.toolLine(line);
        if (restoresItem(line)) {
            ++read.itemsLoaded;
            m_op.progress(read);
        }
    };
    const ToolResult result = m_op.run(tools::load(m_op.installation().port, m_database), how);
    if (result.succeeded()) {
        m_fedHash = fed.hashThroughEnd();
    }
    return result;
}

std::optional<Failure> BackupLoad::checkFileUnchanged() const
{
    if (m_checkedHash.isEmpty()) {
        return std::nullopt; // what was loaded is the copy
    }
    const auto changed = [](const QString& details) {
        return Failure{.step = u"memastikan file backup tidak berubah selama restore"_s,
                       .details = details,
                       .cause = FailureCause::BackupChanged};
    };
    if (m_file.size() != m_fileSize ||
        m_file.fileTime(QFileDevice::FileModificationTime) != m_fileModified) {
        return changed(u"Ukuran atau waktu ubah file backup berubah selama dimuat."_s);
    }
    if (m_fedHash != m_checkedHash) {
        return changed(u"Isi file backup berubah selama dimuat: yang dibaca pg_restore bukan "
                       u"yang telah diperiksa."_s);
    }
    return std::nullopt;
}

std::optional<qint64> BackupLoad::countRows(const QString& name, const TarMember& member)
{
    return m_copy ? m_copy->countRows(name) : countDataRows(m_file, member);
}

std::optional<Failure> BackupLoad::dropDatabase(const QString& step)
{
    if (!m_created) {
        return std::nullopt;
    }
    const auto toTheEnd = m_op.uncancellable();
    m_op.step(step);
    m_op.session().freeRoom();
    // A create cut off half-way leaves the database under its unfinished name.
    const Result<QStringList> unfinished = dropUnfinishedDatabases(m_op);
    if (std::optional<Failure> named = dropOwnDatabase(m_op, m_database)) {
        return named;
    }
    return unfinished ? std::nullopt : std::optional(unfinished.failure());
}

} // namespace ranupa
