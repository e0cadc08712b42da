#include "core/backup.h"

#include "core/archivecheck.h"
#include "core/backupfiles.h"
#include "core/commandline.h"
#include "core/progress.h"
#include "core/restoreplan.h"
#include "core/serverlock.h"
#include "core/settings.h"
#include "core/toolcommands.h"
#include "core/verify.h"

#include <QDir>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

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

// The tables are listed before the dump, so that its progress can be told against them. Only
// the progress depends on it: whatever the list gives, the dump runs.
DumpTables listTables(Operation& operation)
{
    const ToolResult result = operation.run(
        tools::psql(operation.installation().port, u"pendataan"_s, {dumpTablesStatement()}));
    return dumpTablesFromOutput(result.resultText());
}

// pg_dump into the partial file, telling the tables done, how far the one being copied is, what
// it waits for, and the size of the file so far.
ToolResult dump(Operation& operation, const PartialBackupFile& partial, DumpTables tables)
{
    operation.step(u"Menulis file backup..."_s);
    DumpProgress progress(std::move(tables));
    ProgressMeasure told;
    const auto tell = [&] {
        progress.setBytesWritten(QFileInfo(partial.path()).size());
        if (progress.measure() != told) {
            told = progress.measure();
            operation.progress(told);
        }
    };
    tell();
    // The server tells through the lock's own session, which asks nothing of pendataan.
    const bool watched = operation.lock().query(dumpWatchStart()).has_value();
    QTimer watch; // fires while the tool runs, in this thread's event loop
    watch.setInterval(1000);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (watched) {
            const std::optional<QStringList> rows = operation.lock().query(dumpWatchStatement());
            progress.takeServerRow(rows && !rows->isEmpty() ? std::optional(rows->first())
                                                            : std::nullopt);
        }
        tell();
    });
    watch.start();
    ToolRun how;
    how.onLine = [&](const QString& line) {
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

// What a restore would refuse of this file, it refuses now, with the same code: a backup reported
// as saved is one the program can restore.
std::optional<Failure> checkRestorable(Operation& operation, QFile& file, const ArchiveToc& toc)
{
    RestorePlan plan;
    std::optional<Failure> failure = planRestore(operation, file, toc, true, plan);
    if (failure && failure->cause == FailureCause::UnsafeBackup) {
        failure->step = u"memeriksa apakah file backup dapat di-restore"_s;
        failure->cause = FailureCause::UnrestorableBackup;
    }
    return failure;
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
        return failure;
    }
    return failure ? failure : checkRestorable(operation, file, toc);
}

// The file is named after the second of the press; when a file of that name exists (another
// backup of the same second), the next free second is taken, waiting for the clock to reach it,
// so that no name ever lies ahead of the time it was given.
std::optional<Failure> giveFinalName(Operation& operation, PartialBackupFile& partial,
                                     const QString& targetDir, QDateTime nameTime, BackupKind kind,
                                     QString& filePath)
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
        filePath = backupFilePath(targetDir, nameTime, kind);
        QString problem;
        switch (partial.giveFinalName(filePath, problem)) {
        case PartialBackupFile::Naming::Done:
            return std::nullopt;
        case PartialBackupFile::Naming::NameTaken:
            nameTime = nameTime.addSecs(1);
            continue;
        case PartialBackupFile::Naming::Failed:
            return Failure{
                .step =
                    u"memberi nama akhir %1 pada file backup yang sudah diperiksa"_s.arg(filePath),
                .details = problem,
                .cause = causeFromToolText(problem)};
        }
    }
}

// Says where the partial file is when it could not be removed, for the operator to remove it.
void removeWrittenFile(PartialBackupFile& partial, Failure& failure)
{
    QString problem;
    if (!partial.remove(problem)) {
        failure.details += u"\nFile backup yang tidak lengkap tidak dapat dihapus, hapuslah "
                           u"sendiri: %1 (%2)"_s.arg(partial.path(), problem);
    }
}

} // namespace

// In the system's own writing, with one separator before the name also after a folder given as
// "D:\" or "C:\Cadangan\".
QString backupFilePath(const QString& targetDir, const QDateTime& now, BackupKind kind)
{
    const QString name =
        u"ranupaku"_s + now.toString(u"ddMMyyyyhhmmss"_s) +
        (kind == BackupKind::BeforeRestore ? u"-sebelum-restore.dbk"_s : u".dbk"_s);
    return QDir::toNativeSeparators(QDir(targetDir).filePath(name));
}

std::optional<Failure> writeBackup(Operation& operation, const QString& targetDirText,
                                   QString& filePath, BackupKind kind)
{
    const QString targetDir = commandline::absolutePathForTool(targetDirText);
    DumpTables tables = listTables(operation);
    const QDateTime nameTime = wholeSecondNow();
    filePath = backupFilePath(targetDir, nameTime, kind);
    // What a killed backup left behind; no running backup's file is touched.
    removeAbandonedPartialBackups(targetDir);
    QString problem;
    const std::unique_ptr<PartialBackupFile> partial =
        PartialBackupFile::create(targetDir, nameTime, problem);
    if (!partial) {
        return Failure{.step = u"membuat file backup di direktori %1"_s.arg(targetDir),
                       .details = problem,
                       .cause = causeFromToolText(problem) == FailureCause::DiskFull
                                    ? FailureCause::DiskFull
                                    : FailureCause::DirectoryNotWritable};
    }
    const ToolResult dumped = dump(operation, *partial, std::move(tables));
    std::optional<Failure> failure;
    if (!dumped.succeeded()) {
        failure = toolFailure(u"menulis file backup (pg_dump)"_s, dumped);
    } else if (!(failure = checkWrittenFile(operation, *partial))) {
        failure = giveFinalName(operation, *partial, targetDir, nameTime, kind, filePath);
    }
    if (failure && !failure->cancelled) {
        removeWrittenFile(*partial, *failure);
    }
    return failure;
}

OperationOutcome backupDatabase(Operation& operation, const QString& targetDirText, bool verify)
{
    if (targetDirText.isEmpty()) {
        LoadDbPort(); // read as on every press, though nothing runs
        return {};
    }
    QString filePath;
    OperationKind failedAt = OperationKind::Backup;
    TrialCounts counts;
    std::optional<Failure> failure = operation.begin();
    if (!failure) {
        failure = writeBackup(operation, targetDirText, filePath);
    }
    if (!failure && verify) {
        failedAt = OperationKind::Verify;
        if ((failure = trialRestore(operation, filePath, counts))) {
            failure->details += u"\nFile backup %1 tetap disimpan, tetapi belum terbukti dapat "
                                u"direstore."_s.arg(filePath);
        }
    }
    if (failure) {
        OperationOutcome outcome =
            failedOutcome(failedAt, *failure, operation.installation().port, operation.notes());
        outcome.filePath = filePath;
        return outcome;
    }
    return {.status = OperationStatus::Succeeded,
            .message = u"Database ranupaku berhasil disimpan ke "_s + filePath,
            .details = operation.notes(),
            .filePath = filePath,
            .summary = verify ? u"Backup dapat direstore: "_s + trialSummary(counts) : QString()};
}

void BackupJob::start(const QString& targetDirText)
{
    run([targetDirText, verify = m_verify](Operation& operation) {
        return backupDatabase(operation, targetDirText, verify);
    });
}

OperationOutcome runBackup(const QString& targetDirText, const OperationProgress& progress)
{
    BackupJob job;
    return runToEnd(job, targetDirText, progress);
}

} // namespace ranupa
