#include "core/backup.h"

#include "core/archivecheck.h"
#include "core/backupfiles.h"
#include "core/commandline.h"
#include "core/installation.h"
#include "core/operationlock.h"
#include "core/progress.h"
#include "core/recovery.h"
#include "core/settings.h"
#include "core/tooldetails.h"
#include "core/toolrunner.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>
#include <algorithm>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

QString failureMessage()
{
    return u"Gagal melakukan backup"_s;
}

// How long a backup waits at most for the clock to reach the second whose name it takes.
constexpr qint64 maxClockWaitSecs = 2;

// How often the size of the file pg_dump writes is looked at.
constexpr int fileSizeIntervalMs = 500;

QDateTime toWholeSecond(const QDateTime& time)
{
    return time.addMSecs(-time.time().msec());
}

} // namespace

QString backupFilePath(const QString& targetDir, const QDateTime& now)
{
    return targetDir + QDir::separator() + u"ranupaku"_s + now.toString(u"ddMMyyyyhhmmss"_s) +
           u".dbk"_s;
}

QString backupCommandLine(const QString& port, const QString& filePath)
{
    return u"pgsql\\bin\\pg_dump.exe --host localhost --port "_s + port +
           u" --username \"postgres\" --no-password  --format tar --blobs --verbose --file \""_s +
           commandline::escapeForQuotes(filePath) + u"\" \"pendataan\""_s;
}

struct BackupJob::Private
{
    // Held from the start of the work to its end, so that no other copy works meanwhile.
    std::unique_ptr<OperationLock> lock;
    const OperationLock* heldLock = nullptr; // the caller's, when it holds one for this backup
    enum class Phase
    {
        Idle,
        Recovering,
        Counting,
        Dumping,
        Checking,
        Naming,
        Done,
    };
    Phase phase = Phase::Idle;
    bool cancelRequested = false;
    QString targetDir;  // absolute
    QDateTime nameTime; // the second whose name the backup tries to take next
    std::unique_ptr<PartialBackupFile> partial;
    QTimer clockWait;
    OperationOutcome outcome;
    QString port;
    QString recoveryReport; // what the recovery before the dump set right
    QPointer<Recovery> recovery;
    QPointer<ToolRunner> runner;
    QPointer<ArchiveCheck> check;
    ProgressCounter tables{ProgressMeasure::Unit::Tables};
    QTimer fileSizeTimer;

    bool isWorking() const
    {
        return phase == Phase::Recovering || phase == Phase::Counting || phase == Phase::Dumping ||
               phase == Phase::Checking || phase == Phase::Naming;
    }
};

BackupJob::BackupJob(QObject* parent) : QObject(parent), d(std::make_unique<Private>())
{
    d->clockWait.setSingleShot(true);
    d->clockWait.setTimerType(Qt::PreciseTimer);
    connect(&d->clockWait, &QTimer::timeout, this, &BackupJob::giveFinalName);
    d->fileSizeTimer.setInterval(fileSizeIntervalMs);
    connect(&d->fileSizeTimer, &QTimer::timeout, this, [this] { measureFileSize(false); });
}

BackupJob::~BackupJob()
{
    if (d->recovery) {
        d->recovery->disconnect(this);
    }
    // A job destroyed mid-run must not leave a dump writing on. Deleting the runner ends its
    // child and waits for it, so that the partial file is closed when it goes with `d`.
    if (d->isWorking()) {
        if (d->runner) {
            d->runner->disconnect(this);
            delete d->runner.data();
        }
        if (d->check) {
            d->check->disconnect(this);
            delete d->check.data();
        }
    }
}

void BackupJob::start(const QString& targetDirText)
{
    const DbPortSetting port = dbPortSetting();
    d->outcome = {};
    d->cancelRequested = false;
    d->port.clear();
    if (targetDirText.isEmpty()) {
        finishAs(OperationStatus::Skipped, {}, {});
        return;
    }
    if (const QString missing = installationProblem(); !missing.isEmpty())
        return finishAs(OperationStatus::Failed, failureMessage(), missing,
                        FailureCause::InstallationMissing);
    if (!takeLock()) {
        return;
    }
    if (!port.isValid()) {
        finishAs(OperationStatus::Failed, failureMessage(), port.problem, port.cause);
        return;
    }
    d->port = port.port;
    d->targetDir = commandline::absolutePathForTool(targetDirText);
    d->recoveryReport.clear();
    startRecovery();
}

void BackupJob::runUnderLock(const OperationLock& held)
{
    d->heldLock = &held;
}

bool BackupJob::takeLock()
{
    if (d->heldLock) {
        if (d->heldLock->isLocked()) {
            return true;
        }
        // Without it another copy could work meanwhile; a backup never runs so.
        finishAs(OperationStatus::Failed, failureMessage(),
                 u"Kunci backup/restore tidak dipegang lagi; backup tidak dijalankan."_s);
        return false;
    }
    d->lock = std::make_unique<OperationLock>(installationDir());
    if (!d->lock->tryLock()) {
        const QString problem = d->lock->problem();
        const FailureCause cause = d->lock->failureCause();
        d->lock.reset();
        finishAs(OperationStatus::Failed, failureMessage(), problem, cause);
        return false;
    }
    return true;
}

// A backup of a pendataan that an interrupted restore left unfinished would look good and not
// be: what that restore left is set right first.
void BackupJob::startRecovery()
{
    d->phase = Private::Phase::Recovering;
    emit stepChanged(u"Memeriksa database di server..."_s);
    d->recovery = new Recovery(this);
    connect(d->recovery, &Recovery::toolLine, this, &BackupJob::toolLine);
    connect(d->recovery, &Recovery::finished, this, &BackupJob::onRecovered);
    d->recovery->start(d->port);
}

void BackupJob::onRecovered(const RecoveryResult& result)
{
    d->recoveryReport = result.report;
    if (d->cancelRequested) {
        finishCancelled();
        return;
    }
    if (!result.ok) {
        finishAs(OperationStatus::Failed, failureMessage(),
                 result.problem + u"\nBackup tidak dijalankan."_s, result.cause);
        return;
    }
    startCounting();
}

// The tables are counted before the dump, so that its progress can be told against their total.
// Only the progress depends on it: whatever the count gives, the dump runs.
void BackupJob::startCounting()
{
    d->phase = Private::Phase::Counting;
    if (d->runner) {
        d->runner->deleteLater();
    }
    d->runner = new ToolRunner(this);
    connect(d->runner, &ToolRunner::finished, this, &BackupJob::onCounted);
    d->runner->start(psqlCommandLine(d->port, tableCountStatement(), u"pendataan"_s));
}

void BackupJob::onCounted(const ToolResult& result)
{
    if (d->phase != Private::Phase::Counting) {
        return;
    }
    if (d->cancelRequested) {
        finishCancelled();
        return;
    }
    startDump(result.succeeded() ? std::max(tableCountFromOutput(result.output()), 0) : 0);
}

void BackupJob::startDump(int tableCount)
{
    d->nameTime = toWholeSecond(QDateTime::currentDateTime());
    d->outcome.filePath = backupFilePath(d->targetDir, d->nameTime);
    // What a killed backup left behind; no running backup's file is touched.
    removeAbandonedPartialBackups(d->targetDir);
    QString problem;
    d->partial = PartialBackupFile::create(d->targetDir, d->nameTime, problem);
    if (!d->partial) {
        finishAs(OperationStatus::Failed, failureMessage(),
                 u"Langkah yang gagal: membuat file backup di direktori %1.\n%2"_s.arg(d->targetDir,
                                                                                       problem),
                 causeFromToolText(problem) == FailureCause::DiskFull
                     ? FailureCause::DiskFull
                     : FailureCause::DirectoryNotWritable);
        return;
    }
    d->phase = Private::Phase::Dumping;
    emit stepChanged(u"Menulis file backup..."_s);

    if (d->runner) {
        d->runner->deleteLater();
    }
    d->runner = new ToolRunner(this);
    connect(d->runner, &ToolRunner::outputLine, this, &BackupJob::onDumpLine);
    connect(d->runner, &ToolRunner::finished, this, &BackupJob::onDumpFinished);
    d->tables = ProgressCounter(ProgressMeasure::Unit::Tables, tableCount);
    d->tables.setBytesWritten(0);
    emit progressChanged(d->tables.measure());
    d->fileSizeTimer.start();
    d->runner->start(backupCommandLine(d->port, d->partial->path()));
}

void BackupJob::onDumpLine(const QString& line)
{
    emit toolLine(line);
    if (d->tables.take(line)) {
        measureFileSize(true);
    }
}

void BackupJob::measureFileSize(bool countChanged)
{
    if (!d->partial) {
        return;
    }
    const qint64 size = QFileInfo(d->partial->path()).size();
    if (countChanged || size != d->tables.measure().bytesWritten) {
        d->tables.setBytesWritten(size);
        emit progressChanged(d->tables.measure());
    }
}

void BackupJob::cancel()
{
    if (!d->isWorking()) {
        return;
    }
    d->cancelRequested = true; // a recovery runs to its end first
    if ((d->phase == Private::Phase::Counting || d->phase == Private::Phase::Dumping) &&
        d->runner) {
        d->runner->cancel();
    } else if (d->phase == Private::Phase::Checking && d->check) {
        d->check->cancel();
    } else if (d->phase == Private::Phase::Naming) {
        d->clockWait.stop();
        finishCancelled();
    }
}

void BackupJob::onDumpFinished(const ToolResult& result)
{
    if (d->phase != Private::Phase::Dumping) {
        return;
    }
    d->fileSizeTimer.stop();
    if (d->cancelRequested) {
        finishCancelled();
        return;
    }
    if (!result.succeeded()) {
        const QString leftBehind = removeWrittenFile();
        finishAs(
            OperationStatus::Failed, failureMessage(),
            toolFailureDetails(u"Langkah yang gagal: menulis file backup (pg_dump)."_s, result) +
                leftBehind,
            causeFromToolResult(result));
        return;
    }
    d->tables.finishLast();
    measureFileSize(true);
    d->phase = Private::Phase::Checking;
    emit stepChanged(u"Memeriksa file backup..."_s);
    if (d->check) {
        d->check->deleteLater();
    }
    d->check = new ArchiveCheck(this);
    connect(d->check, &ArchiveCheck::toolLine, this, &BackupJob::toolLine);
    connect(d->check, &ArchiveCheck::finished, this, &BackupJob::onCheckFinished);
    d->check->start(d->partial->path());
}

void BackupJob::onCheckFinished(const ArchiveCheckResult& result)
{
    if (d->phase != Private::Phase::Checking) {
        return;
    }
    if (d->cancelRequested) {
        finishCancelled();
        return;
    }
    if (!result.ok) {
        const QString leftBehind = removeWrittenFile();
        // The file was written just now: to the operator, a damaged one says nothing to act on.
        finishAs(OperationStatus::Failed, failureMessage(),
                 u"Langkah yang gagal: memeriksa file backup. File yang ditulis pg_dump tidak "
                 u"lolos pemeriksaan.\n"_s +
                     result.problem + leftBehind,
                 result.cause == FailureCause::DamagedBackup ? FailureCause::Unknown
                                                             : result.cause);
        return;
    }
    d->phase = Private::Phase::Naming;
    giveFinalName();
}

// The file is named after the second of the press; when a file of that name exists (another
// backup of the same second), the next free second is taken, waiting for the clock to reach
// it, so that no name ever lies ahead of the time it was given.
void BackupJob::giveFinalName()
{
    if (d->phase != Private::Phase::Naming) {
        return;
    }
    for (;;) {
        const QDateTime now = toWholeSecond(QDateTime::currentDateTime());
        const qint64 ahead = now.secsTo(d->nameTime);
        // A clock set back by more than a moment is not waited for: the name stays the next one.
        if (ahead > 0 && ahead <= maxClockWaitSecs) {
            d->clockWait.start(
                std::max<qint64>(QDateTime::currentDateTime().msecsTo(d->nameTime), 1));
            return;
        }
        const QString finalPath = backupFilePath(d->targetDir, d->nameTime);
        QString problem;
        switch (d->partial->giveFinalName(finalPath, problem)) {
        case PartialBackupFile::Naming::Done:
            d->outcome.filePath = finalPath;
            finishAs(OperationStatus::Succeeded,
                     u"Database ranupaku berhasil disimpan ke "_s + finalPath, {});
            return;
        case PartialBackupFile::Naming::NameTaken:
            d->nameTime = d->nameTime.addSecs(1);
            continue;
        case PartialBackupFile::Naming::Failed: {
            const QString leftBehind = removeWrittenFile();
            finishAs(OperationStatus::Failed, failureMessage(),
                     u"Langkah yang gagal: memberi nama akhir %1 pada file backup yang sudah "
                     u"diperiksa.\n%2"_s.arg(finalPath, problem) +
                         leftBehind,
                     causeFromToolText(problem));
            return;
        }
        }
    }
}

void BackupJob::finishCancelled()
{
    finishAs(OperationStatus::Cancelled, u"Backup dibatalkan"_s, removeWrittenFile().trimmed());
}

QString BackupJob::removeWrittenFile()
{
    QString problem;
    if (!d->partial || d->partial->remove(problem)) {
        return {};
    }
    return u"\nFile backup yang tidak lengkap tidak dapat dihapus, hapuslah sendiri: "_s +
           d->partial->path() + u" ("_s + problem + u')';
}

void BackupJob::finishAs(OperationStatus status, const QString& message, const QString& details,
                         FailureCause cause)
{
    d->fileSizeTimer.stop();
    d->partial.reset(); // removes a partial file that is still there
    d->lock.reset();
    d->phase = Private::Phase::Done;
    d->outcome.status = status;
    d->outcome.message = message;
    d->outcome.cause = cause;
    d->outcome.summary = failureSummary(cause, d->port, false);
    // What the recovery set right comes first: the operator must learn of it whatever follows.
    d->outcome.details = d->recoveryReport.isEmpty() || details.isEmpty()
                             ? d->recoveryReport + details
                             : d->recoveryReport + u"\n\n"_s + details;
    // Queued, so that finished() never arrives inside start() and the runner has let go.
    QMetaObject::invokeMethod(
        this, [this, outcome = d->outcome] { emit finished(outcome); }, Qt::QueuedConnection);
}

OperationOutcome runBackup(const QString& targetDirText, const OperationProgress& progress)
{
    BackupJob job;
    return runToEnd(job, targetDirText, progress);
}

} // namespace ranupa
