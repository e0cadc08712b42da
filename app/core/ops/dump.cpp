#include "core/ops/dump.h"

#include "core/model/wording.h"
#include "core/ops/load.h"
#include "core/pg/tools.h"

#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <QStorageInfo>
#include <QThread>
#include <utility>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// How long a backup waits at most for the clock to reach the second whose name it takes.
constexpr qint64 maxClockWaitSecs = 2;

QDateTime wholeSecondNow()
{
    const QDateTime now = QDateTime::currentDateTime();
    return now.addMSecs(-now.time().msec());
}

// Before anything is written: room for the database's size. Where the server does not say, the
// dump itself tells a full disk.
std::optional<Failure> checkRoom(const QString& targetDir,
                                 const std::optional<qint64>& databaseSize)
{
    const QStorageInfo storage(targetDir);
    // A folder that cannot be written says so when the file is made.
    if (!databaseSize || !storage.isValid() || storage.isReadOnly()) {
        return std::nullopt;
    }
    std::optional<Failure> problem =
        roomProblem(*databaseSize, storage.bytesAvailable(), storage.fileSystemType());
    if (problem) {
        problem->step = u"memeriksa ruang kosong di folder %1"_s.arg(targetDir);
    }
    return problem;
}

// pg_dump into the partial file, telling the tables done, how far the one being copied is, what
// it waits for, and the size of the file so far.
ToolResult dump(Operation& operation, const PartialBackupFile& partial)
{
    operation.step(u"Menulis file backup..."_s);
    DumpProgress progress;
    ProgressMeasure told;
    bool listed = false; // the bar waits for the tables, rather than go back once they come
    const auto tell = [&] {
        if (!listed) {
            return;
        }
        progress.setBytesWritten(QFileInfo(partial.path()).size());
        if (progress.measure() != told) {
            told = progress.measure();
            operation.progress(told);
        }
    };
    // The server tells through the program's own session, which asks nothing of pendataan; the
    // size of the file is looked at every second all the same.
    const bool watched = bool(operation.query({}, dumpWatchStart()));
    const SessionWatch watch(
        operation.session(), watched ? dumpWatchStatement() : QString(),
        [&](const Rows& rows) {
            progress.takeServerRow(rows.value(0));
            tell();
        },
        tell);
    // Only the bar needs pendataan's tables: a psql of its own lists them once pg_dump has
    // started, while it reads the catalogs, which takes longer, rather than before it.
    BackgroundTool listing;
    listing.setOnOutput([&] {
        if (!listing.running()) {
            progress.setTables(listing.endedWell() ? dumpTables(csvRows(listing.output()))
                                                   : DumpTables());
            listed = true;
            tell();
        }
    });
    const auto endListing = qScopeGuard([&listing] { listing.stop(); });
    bool listingAsked = false;
    ToolRun how;
    how.onLine = [&](const QString& line) {
        if (!std::exchange(listingAsked, true)) {
            listed = !listing.start(tools::query(operation.installation().port,
                                                 pendataan.toString(), dumpTablesStatement()),
                                    operation.installation().dir, QIODevice::ReadOnly);
        }
        operation.toolLine(line);
        if (progress.take(line)) {
            tell();
        }
    };
    const ToolResult result =
        operation.run(tools::dump(operation.installation().port, partial.path()), how);
    if (result.succeeded()) {
        progress.finish();
        tell();
    }
    return result;
}

std::optional<Failure> checkWrittenFile(Operation& operation, const PartialBackupFile& partial)
{
    operation.step(u"Memeriksa file backup..."_s);
    QFile file(partial.path());
    ArchiveToc toc;
    std::optional<Failure> failure = file.open(QIODevice::ReadOnly)
                                         ? checkArchive(operation, file, toc)
                                         : Failure{.step = {}, .details = file.errorString()};
    if (failure && !failure->cancelled) {
        // The file was written just now: to the operator, a damaged one says nothing to act on.
        failure->step = u"memeriksa file backup. File yang ditulis pg_dump tidak lolos "
                        u"pemeriksaan"_s;
        if (failure->cause == FailureCause::DamagedBackup) {
            failure->cause = FailureCause::Unknown;
        }
    }
    if (failure) {
        return failure;
    }
    // What a restore would refuse of this file, it refuses now, with the same code: a backup
    // reported as saved is one the program can restore.
    RestorePlan plan;
    failure = planRestore(operation, file, toc, true, plan);
    if (failure && failure->cause == FailureCause::UnsafeBackup) {
        failure->step = u"memeriksa apakah file backup dapat di-restore"_s;
        failure->cause = FailureCause::UnrestorableBackup;
    }
    return failure;
}

// The file is named after the second of the press; when a file of that name exists (another
// backup of the same second), the next free second is taken, waiting for the clock to reach it,
// so that no name ever lies ahead of the time it was given.
Result<QString> giveFinalName(Operation& operation, PartialBackupFile& partial,
                              const QString& targetDir, QDateTime nameTime, BackupKind kind)
{
    for (;;) {
        const qint64 ahead = wholeSecondNow().secsTo(nameTime);
        // A clock set back by more than a moment is not waited for: the name stays the next one.
        if (ahead > 0 && ahead <= maxClockWaitSecs) {
            if (operation.cancelled()) {
                return Failure::cancel();
            }
            QThread::msleep(50);
            continue;
        }
        const QString filePath = backupFilePath(targetDir, nameTime, kind);
        const Result<PartialBackupFile::Naming> named = partial.giveFinalName(filePath);
        if (!named) {
            Failure failure = named.failure();
            failure.step =
                u"memberi nama akhir %1 pada file backup yang sudah diperiksa"_s.arg(filePath);
            return failure;
        }
        if (*named == PartialBackupFile::Naming::Done) {
            return filePath;
        }
        nameTime = nameTime.addSecs(1);
    }
}

// Says where the partial file is when it could not be removed, for the operator to remove it.
Failure removingWrittenFile(PartialBackupFile& partial, Failure failure)
{
    if (const std::optional<Failure> notRemoved = partial.remove()) {
        failure.details += u"\nFile backup yang tidak lengkap tidak dapat dihapus, hapuslah "
                           u"sendiri: %1 (%2)"_s.arg(partial.path(), notRemoved->details);
    }
    return failure;
}

} // namespace

std::optional<qint64> pendataanSize(Operation& operation)
{
    const Result<Rows> rows =
        operation.query({}, u"SELECT pg_database_size('%1')"_s.arg(pendataan));
    bool known = false;
    const qint64 size = rows ? rows->value(0).value(0).toLongLong(&known) : 0;
    return known ? std::optional(size) : std::nullopt;
}

std::optional<Failure> roomProblem(qint64 databaseSize, qint64 available,
                                   const QByteArray& fileSystemType)
{
    constexpr qint64 mebibyte = 1024 * 1024;
    constexpr qint64 fatLargestFile = 4096 * mebibyte - 1;
    // The archive leaves the indexes out but writes the rest as text: about the database's size.
    const qint64 needed = roomNeeded(databaseSize);
    const QByteArray type = fileSystemType.toLower();
    if ((type == "vfat" || type == "msdos" || type.startsWith("fat")) &&
        databaseSize > fatLargestFile) {
        return Failure{.step = {},
                       .details = {},
                       .cause = FailureCause::FileTooLarge,
                       .said = u"Disk folder tujuan memakai sistem file FAT, yang tidak dapat "
                               u"menyimpan file sebesar 4 GB atau lebih, padahal database "
                               u"pendataan berukuran %1. Pilih folder di disk NTFS atau exFAT, "
                               u"lalu coba lagi."_s.arg(wording::size(databaseSize))};
    }
    if (available >= needed) {
        return std::nullopt;
    }
    return Failure{
        .step = {},
        .details = {},
        .cause = FailureCause::NotEnoughRoom,
        .said = u"Ruang kosong di disk folder tujuan hanya %1, padahal database "
                u"pendataan berukuran %2, jadi backupnya perlu sekitar %3. Kosongkan "
                u"ruang disk atau pilih folder di disk lain, lalu coba lagi."_s.arg(
                    wording::size(available), wording::size(databaseSize), wording::size(needed))};
}

Result<QString> writeBackup(Operation& operation, const QString& targetDirText,
                            const std::optional<qint64>& databaseSize, BackupKind kind)
{
    const QString targetDir = absolutePathForTool(targetDirText);
    const QDateTime nameTime = wholeSecondNow();
    // What a killed backup left behind; no running backup's file is touched.
    removeAbandonedPartialBackups(targetDir);
    if (std::optional<Failure> noRoom = checkRoom(targetDir, databaseSize)) {
        return *noRoom;
    }
    Result<std::unique_ptr<PartialBackupFile>> created =
        PartialBackupFile::create(targetDir, nameTime);
    if (!created) {
        Failure failure = created.failure();
        failure.step = u"membuat file backup di folder %1"_s.arg(targetDir);
        return failure;
    }
    PartialBackupFile& partial = **created;
    const ToolResult dumped = dump(operation, partial);
    if (!dumped.succeeded()) {
        return removingWrittenFile(partial,
                                   toolFailure(u"menulis file backup (pg_dump)"_s, dumped));
    }
    if (std::optional<Failure> failure = checkWrittenFile(operation, partial)) {
        return failure->cancelled ? *failure : removingWrittenFile(partial, *failure);
    }
    Result<QString> named = giveFinalName(operation, partial, targetDir, nameTime, kind);
    if (!named && !named.failure().cancelled) {
        return removingWrittenFile(partial, named.failure());
    }
    return named;
}

} // namespace ranupa
