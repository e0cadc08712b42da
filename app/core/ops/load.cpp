#include "core/ops/load.h"

#include "core/files/backupfiles.h"
#include "core/ops/owndatabases.h"
#include "core/pg/newdatabase.h"
#include "core/pg/tools.h"

#include <QCryptographicHash>
#include <QSet>
#include <QThread>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// Where a restore streams the open backup file to pg_restore instead of loading a private copy,
// a hash proves that pg_restore was fed exactly the bytes that were checked: a file rewritten in
// place while it loads, even with its modification time put back, shows in it. Fast enough to
// cost a fraction of the load, and made so that no change can keep its hash.
constexpr auto hashAlgorithm = QCryptographicHash::Blake2b_256;
constexpr qint64 hashChunkBytes = 1 << 20;

// The hash of the whole of `file`, read once from its start, the bar following the bytes read. A
// cancel stops it; a file that cannot be read fails it (BackupNotReadable).
Result<QByteArray> hashBackupFile(Operation& operation, QFile& file)
{
    operation.step(u"Membaca file backup..."_s);
    QCryptographicHash hash(hashAlgorithm);
    ProgressMeasure read;
    read.total = file.size();
    file.seek(0);
    QByteArray buffer(hashChunkBytes, Qt::Uninitialized);
    for (;;) {
        const qint64 got = file.read(buffer.data(), hashChunkBytes);
        if (got < 0) {
            return Failure{.step = u"membaca file backup"_s,
                           .details = u"File backup tidak dapat dibaca: "_s + file.errorString(),
                           .cause = FailureCause::BackupNotReadable};
        }
        if (got == 0) {
            return hash.result();
        }
        hash.addData(QByteArrayView(buffer.constData(), got));
        read.done = file.pos();
        operation.progress(read);
        if (operation.cancelled()) {
            return Failure::cancel();
        }
    }
}

// Reads `file` from its start for a tool's standard input, hashing every byte it hands over.
class HashingReader final : public QIODevice
{
public:
    explicit HashingReader(QFile& file) : m_file(file)
    {
        m_file.seek(0);
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }

    // The hash of the bytes handed over and of the rest of the file, which a tool that stopped
    // reading early left: the same as hashBackupFile()'s only if those bytes were the file's then.
    QByteArray hashThroughEnd()
    {
        while (!read(hashChunkBytes).isEmpty()) {
        }
        return m_hash.result();
    }

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override
    {
        return m_file.bytesAvailable() + QIODevice::bytesAvailable();
    }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const qint64 got = m_file.read(data, maxSize);
        if (got > 0) {
            m_hash.addData(QByteArrayView(data, got));
        }
        return got;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QFile& m_file;
    QCryptographicHash m_hash{hashAlgorithm};
};

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
    m_filePath = absolutePathForTool(fileText);
    if (const std::optional<Failure> unreadable = openRegularFileForReading(m_filePath, m_file)) {
        return Failure{.step = u"membuka file backup"_s,
                       .details = u"File backup tidak dapat dibaca: "_s + unreadable->details,
                       .cause = FailureCause::BackupNotReadable};
    }
    m_fileSize = m_file.size();
    m_fileModified = m_file.fileTime(QFileDevice::FileModificationTime);
    Result<std::unique_ptr<ArchiveCopy>> copy = ArchiveCopy::make(m_op, m_file);
    if (!copy) {
        return copy.failure();
    }
    m_copy = std::move(*copy);
    if (m_copy) {
        m_members = m_copy->members();
    } else {
        const Result<QByteArray> hash = hashBackupFile(m_op, m_file);
        if (!hash) {
            return hash.failure();
        }
        m_checkedHash = *hash;
    }
    m_op.step(u"Memeriksa file backup..."_s);
    const ArchiveSource source = m_copy ? ArchiveSource(m_copy->folder()) : ArchiveSource(m_file);
    if (auto failure = m_copy ? listContents(m_op, source, &m_members, m_toc)
                              : checkArchive(m_op, m_file, m_toc, &m_members)) {
        return failure;
    }
    return planRestore(m_op, source, m_toc, acceptOtherDatabase, m_plan);
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
