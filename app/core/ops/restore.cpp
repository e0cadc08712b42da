#include "core/ops/restore.h"

#include "core/model/installation.h"
#include "core/model/regularfile.h"
#include "core/ops/archivecheck.h"
#include "core/ops/backup.h"
#include "core/ops/obstacles.h"
#include "core/ops/recovery.h"
#include "core/ops/restoreplan.h"
#include "core/pg/archivetoc.h"
#include "core/pg/dumpprogress.h"
#include "core/pg/serverlock.h"
#include "core/pg/toolcommands.h"
#include "core/pg/tooldetails.h"

#include <QDir>
#include <QFile>
#include <QThread>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// Connections to pendataan that keep coming back, and locks held by other sessions, get this
// many attempts at the swap.
constexpr int swapAttempts = 3;
constexpr int swapRetryPauseMs = 500;

// A full disk while the server writes the new database is the server's, not the backup's.
Failure onServer(Failure failure)
{
    if (failure.cause == FailureCause::DiskFull) {
        failure.cause = FailureCause::ServerDiskFull;
    }
    return failure;
}

} // namespace

BackupLoad::BackupLoad(Operation& operation, const QString& database, const QString& what)
    : m_op(operation), m_database(database), m_what(what)
{}

std::optional<Failure> BackupLoad::openFile(const QString& fileText)
{
    m_filePath = absolutePathForTool(fileText);
    QString problem;
    if (!openRegularFileForReading(m_filePath, m_file, problem)) {
        return Failure{.step = u"membuka file backup"_s,
                       .details = u"File backup tidak dapat dibaca: "_s + problem,
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
    QStringList dropped;
    std::optional<Failure> unfinished = dropUnfinishedDatabases(m_op, dropped);
    std::optional<Failure> named = dropOwnDatabase(m_op, m_database);
    return named ? named : unfinished;
}

namespace {

class Restore final
{
public:
    Restore(Operation& operation, const RestoreRequest& request)
        : op(operation), request(request), backup(operation, scratchDatabaseName(), u"baru"_s)
    {}

    // The whole restore, step by step; nothing when it succeeded.
    std::optional<Failure> run()
    {
        if (auto failure = op.begin()) {
            return failure;
        }
        port = op.installation().port;
        if (auto failure = backup.openFile(request.backupFile)) {
            return failure;
        }
        if (auto failure = backup.check()) {
            return failure;
        }
        // An operator who is asked sees in the summary which database the backup holds.
        if (auto failure = backup.plan(request.acceptOtherDatabase || op.asksOperator())) {
            return failure;
        }
        if (auto failure = checkPendataanReplaceable(op)) {
            return failure;
        }
        if (auto failure = askOperator()) {
            return failure;
        }
        if (auto failure = backUpCurrentFirst()) {
            return failure;
        }
        // From here on the server changes: a failure drops what this restore made.
        if (auto failure = backup.createDatabase()) {
            return droppingScratch(*failure);
        }
        if (auto failure = backup.load()) {
            return droppingScratch(*failure);
        }
        if (auto failure = backup.checkFileUnchanged()) {
            return droppingScratch(*failure);
        }
        if (auto failure = swap()) {
            return swapUncertain ? failure : droppingScratch(*failure);
        }
        op.report(succeeded());
        dropReplacedDatabase();
        return std::nullopt;
    }

    OperationOutcome succeeded() const
    {
        QStringList details{op.notes(), backup.restorePlan().note, dropNote};
        details.removeAll(QString());
        return {.status = OperationStatus::Succeeded,
                .message = u"Restore database berhasil"_s,
                .details = details.join(u"\n\n"_s),
                .filePath = {},
                .summary = safetyBackupSentence()};
    }

    OperationOutcome failed(const Failure& failure) const
    {
        OperationOutcome outcome =
            failedOutcome(OperationKind::Restore, failure, op.installation().port, op.notes());
        if (safetyBackupFailed) {
            outcome.summary.prepend(
                u"Backup database saat ini gagal, jadi restore tidak dijalankan.\n"_s);
        }
        if (const QString sentence = safetyBackupSentence(); !sentence.isEmpty()) {
            outcome.summary = (outcome.summary + u'\n' + sentence).trimmed();
        }
        return outcome;
    }

    bool declined = false; // the operator said no
    bool swapUncertain = false;
    bool safetyBackupFailed = false;

private:
    std::optional<Failure> askOperator()
    {
        Failure failure;
        const std::optional<ServerDatabases> found = readServerDatabases(op, failure);
        if (!found) {
            return failure;
        }
        pendataanExisted = found->pendataan;
        safetyBackupDir = request.safetyBackupDir;
        if (!op.asksOperator()) {
            return std::nullopt;
        }
        const RestorePlan& plan = backup.restorePlan();
        const std::optional<Confirmation> answer =
            op.confirm({.filePath = backup.filePath(),
                        .fileSize = backup.fileSize(),
                        .created = plan.archiveCreated,
                        .databaseName = plan.archiveDatabase,
                        .serverVersion = plan.archiveServerVersion,
                        .tableCount = plan.archiveTables,
                        .pendataanExists = pendataanExisted});
        if (!answer) {
            return Failure::cancel();
        }
        declined = !answer->proceed;
        safetyBackupDir = answer->safetyBackupDir;
        return declined ? std::optional(Failure::cancel()) : std::nullopt;
    }

    std::optional<Failure> backUpCurrentFirst()
    {
        if (safetyBackupDir.isEmpty()) {
            return std::nullopt;
        }
        if (!pendataanExisted) {
            op.note(u"Tidak ada database pendataan di server, jadi tidak ada yang di-backup "
                    u"sebelum restore."_s);
            return std::nullopt;
        }
        op.step(u"Membackup database saat ini..."_s);
        QString path;
        if (std::optional<Failure> failure =
                writeBackup(op, safetyBackupDir, path, BackupKind::BeforeRestore)) {
            if (!failure->cancelled) {
                failure->step =
                    u"backup database saat ini ke %1: %2"_s.arg(safetyBackupDir, failure->step);
                safetyBackupFailed = true;
            }
            return failure;
        }
        safetyBackupFile = path;
        op.note(u"Database pendataan sebelum restore di-backup ke %1."_s.arg(
            QDir::toNativeSeparators(path)));
        return std::nullopt;
    }

    // The one transaction that sets pendataan aside as the marked old copy, gives the new
    // database its name and the backup's database settings. It runs only on the state just read
    // back, and only while this session still holds the server lock.
    QByteArray swapScript(const ServerDatabases& state) const
    {
        const QString replaced = replacedDatabaseName();
        QStringList statements{op.lock().heldCheck(), stateUnchanged(state)};
        if (state.pendataan) {
            // A session that changed pendataan's row is waited for before any connection ends.
            // A template database cannot be dropped: the old copy stops being one.
            statements << u"SELECT FROM pg_database WHERE datname = 'pendataan' FOR UPDATE"_s
                       << u"SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE "
                          u"datname = 'pendataan'"_s
                       << u"ALTER DATABASE pendataan RENAME TO %1"_s.arg(replaced)
                       << u"ALTER DATABASE %1 IS_TEMPLATE false"_s.arg(replaced)
                       << u"COMMENT ON DATABASE %1 IS '%2'"_s.arg(replaced, ownDatabaseMark());
        }
        statements << u"ALTER DATABASE %1 RENAME TO pendataan"_s.arg(scratchDatabaseName())
                   << u"COMMENT ON DATABASE pendataan IS NULL"_s;
        QByteArray script = swapSessionSettings();
        for (const QString& statement : statements) {
            script += statement.toUtf8() + (statement.endsWith(u';') ? "\n" : ";\n");
        }
        script += databaseStatements(backup.restorePlan(), u"pendataan"_s);
        return script + "SELECT 'ranupa:selesai';\n";
    }

    std::optional<Failure> swap()
    {
        // A cancel now could cut the transaction off after its commit, leaving nobody to tell
        // which way it went; it takes a moment, and the restore finishes as it would have.
        if (op.cancelled()) {
            return Failure::cancel();
        }
        op.setCancellable(false);
        op.step(u"Menyelesaikan restore..."_s);
        const SwapWaitWatch watch(op);
        for (int attempt = 1;; ++attempt) {
            Failure failure;
            const std::optional<ServerDatabases> state = readServerDatabases(op, failure);
            if (!state) {
                return failure;
            }
            const ToolResult result = op.run(tools::psqlScript(port, {}), swapScript(*state));
            if (result.succeeded()) {
                return std::nullopt;
            }
            failure =
                onServer(toolFailure(u"menukar database baru dengan pendataan (psql)"_s, result));
            const bool passing = failure.cause == FailureCause::DatabaseInUse ||
                                 failure.cause == FailureCause::DatabaseLocked;
            if (passing && attempt < swapAttempts) {
                // Most likely a client that connected again between two statements, or a
                // transaction that is about to end. Nothing has changed yet: a cancel may stop.
                if (op.cancelRequested()) {
                    return Failure::cancel();
                }
                QThread::msleep(swapRetryPauseMs);
                continue;
            }
            if (failure.cause == FailureCause::DatabaseLocked) {
                watch.explain(failure, attempt);
            }
            return swapFailure(failure);
        }
    }

    // The transaction may still have been committed when its answer was lost: the server says.
    std::optional<Failure> swapFailure(Failure failure)
    {
        Failure unread;
        const std::optional<ServerDatabases> after = readServerDatabases(op, unread);
        if (after && after->pendataan && !after->has(scratchDatabaseName())) {
            return std::nullopt;
        }
        swapUncertain = !after;
        if (swapUncertain) {
            failure.details += u"\n\nKeadaan database di server tidak dapat diperiksa. Backup atau "
                               u"restore berikutnya menyelesaikan atau membatalkan restore ini."_s;
        }
        return failure;
    }

    // Before the swap, whatever failed, pendataan is as it was; what this restore made goes.
    Failure droppingScratch(Failure failure)
    {
        failure.pendataanUnchanged = true;
        if (const std::optional<Failure> notDropped =
                backup.dropDatabase(u"Menghapus database baru yang belum lengkap..."_s)) {
            failure.details += u"\n\nDatabase %1 yang belum lengkap belum dapat dihapus; backup "
                               u"atau restore berikutnya menghapusnya.\n%2"_s.arg(
                                   scratchDatabaseName(), notDropped->details);
        }
        return failure;
    }

    void dropReplacedDatabase()
    {
        op.setCancellable(false);
        op.step(u"Menghapus database lama..."_s);
        if (const std::optional<Failure> notDropped = dropOwnDatabase(op, replacedDatabaseName())) {
            dropNote =
                u"Salinan database lama (%1) belum dapat dihapus; backup atau restore "
                u"berikutnya menghapusnya.\n%2"_s.arg(replacedDatabaseName(), notDropped->details);
        }
    }

    QString safetyBackupSentence() const
    {
        return safetyBackupFile.isEmpty() ? QString()
                                          : u"Isi database sebelum restore disimpan di %1."_s.arg(
                                                QDir::toNativeSeparators(safetyBackupFile));
    }

    Operation& op;
    const RestoreRequest& request;
    BackupLoad backup;
    QString port;
    bool pendataanExisted = false;
    QString safetyBackupDir;
    QString safetyBackupFile;
    QString dropNote;
};

} // namespace

OperationOutcome restoreDatabase(Operation& operation, const RestoreRequest& request)
{
    if (request.backupFile.isEmpty()) {
        LoadDbPort(); // read as on every press, though nothing runs
        return {};
    }
    Restore restore(operation, request);
    std::optional<Failure> failure = restore.run();
    if (restore.declined) {
        return {};
    }
    if (!failure) {
        return restore.succeeded();
    }
    // Until the swap, pendataan is never touched.
    failure->pendataanUnchanged = !restore.swapUncertain;
    return restore.failed(*failure);
}

void RestoreJob::start(const QString& backupFileText)
{
    RestoreRequest request = m_request;
    request.backupFile = backupFileText;
    run([request](Operation& operation) { return restoreDatabase(operation, request); });
}

OperationOutcome runRestore(const QString& backupFileText, const OperationProgress& progress)
{
    RestoreJob job;
    return runToEnd(job, backupFileText, progress);
}

} // namespace ranupa
