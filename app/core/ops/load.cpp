#include "core/ops/load.h"

#include "core/model/regularfile.h"
#include "core/ops/archivecheck.h"
#include "core/ops/operation.h"
#include "core/ops/owndatabases.h"
#include "core/pg/archivedatabase.h"
#include "core/pg/dumpprogress.h"
#include "core/pg/serverlock.h"
#include "core/pg/toolcommands.h"
#include "core/pg/tooldetails.h"

using namespace Qt::StringLiterals;

namespace ranupa {

BackupLoad::BackupLoad(Operation& operation, const QString& database, const QString& what)
    : m_op(operation), m_database(database), m_what(what)
{}

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

std::optional<Failure> BackupLoad::check()
{
    m_op.step(u"Memeriksa file backup..."_s);
    return checkArchive(m_op, m_file, m_toc, &m_members);
}

std::optional<Failure> BackupLoad::plan(bool acceptOtherDatabase)
{
    return planRestore(m_op, m_file, m_toc, acceptOtherDatabase, m_plan);
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
    if (!m_op.lock().reserveRoom()) {
        m_op.note(u"Ruang cadangan di disk server tidak dapat disiapkan."_s);
    }
    ProgressMeasure read;
    read.total = m_fileSize;
    read.itemsLoaded = 0;
    m_op.progress(read);
    m_file.seek(0);
    ToolRun how;
    how.input = &m_file;
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
    m_op.lock().freeRoom();
    if (!result.succeeded()) {
        return onServer(toolFailure(u"memuat data dari file backup (pg_restore)"_s, result));
    }
    return std::nullopt;
}

std::optional<Failure> BackupLoad::checkFileUnchanged() const
{
    if (m_file.size() == m_fileSize &&
        m_file.fileTime(QFileDevice::FileModificationTime) == m_fileModified) {
        return std::nullopt;
    }
    return Failure{.step = u"memastikan file backup tidak berubah selama restore"_s,
                   .details = u"Ukuran atau waktu ubah file backup berubah selama dimuat."_s,
                   .cause = FailureCause::BackupChanged};
}

std::optional<Failure> BackupLoad::dropDatabase(const QString& step)
{
    if (!m_created) {
        return std::nullopt;
    }
    m_op.setCancellable(false);
    m_op.step(step);
    m_op.lock().freeRoom();
    // A create cut off half-way leaves the database under its unfinished name.
    const Result<QStringList> unfinished = dropUnfinishedDatabases(m_op);
    if (std::optional<Failure> named = dropOwnDatabase(m_op, m_database)) {
        return named;
    }
    return unfinished ? std::nullopt : std::optional(unfinished.failure());
}

} // namespace ranupa
