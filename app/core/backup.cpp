#include "core/backup.h"

#include "core/archivecheck.h"
#include "core/commandline.h"
#include "core/installation.h"
#include "core/operationlock.h"
#include "core/recovery.h"
#include "core/settings.h"
#include "core/tooldetails.h"
#include "core/toolrunner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

QString failureMessage()
{
    return u"Gagal melakukan backup"_s;
}

// What was at the backup's path before the dump, so that a failed backup removes only a file
// it wrote itself and never an unrelated file that pg_dump did not touch.
struct FileState
{
    bool exists = false;
    qint64 size = 0;
    QDateTime modified;

    static FileState of(const QString& path)
    {
        const QFileInfo info(path);
        if (!info.exists()) {
            return {};
        }
        return {.exists = true,
                .size = info.size(),
                .modified = info.fileTime(QFileDevice::FileModificationTime)};
    }
    bool operator==(const FileState&) const = default;
};

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
    enum class Phase
    {
        Idle,
        Recovering,
        Dumping,
        Checking,
        Done,
    };
    Phase phase = Phase::Idle;
    bool cancelRequested = false;
    FileState before;
    OperationOutcome outcome;
    QString port;
    QString recoveryReport; // what the recovery before the dump set right
    QPointer<Recovery> recovery;
    QPointer<ToolRunner> runner;
    QPointer<ArchiveCheck> check;
};

BackupJob::BackupJob(QObject* parent) : QObject(parent), d(std::make_unique<Private>()) {}

BackupJob::~BackupJob()
{
    if (d->recovery) {
        d->recovery->disconnect(this);
    }
    // A job destroyed mid-run must not leave a dump writing on, nor its partial file behind.
    if (d->phase == Private::Phase::Dumping || d->phase == Private::Phase::Checking) {
        // Deleting them ends their child and waits for it: a file still open in a child
        // cannot be removed everywhere.
        if (d->runner) {
            d->runner->disconnect(this);
            delete d->runner.data();
        }
        if (d->check) {
            d->check->disconnect(this);
            delete d->check.data();
        }
        if (FileState::of(d->outcome.filePath) != d->before) {
            QFile::remove(d->outcome.filePath);
        }
    }
}

void BackupJob::start(const QString& targetDirText)
{
    const QString port = LoadDbPort();
    d->outcome = {};
    d->cancelRequested = false;
    if (targetDirText.isEmpty()) {
        finishAs(OperationStatus::Skipped, {}, {});
        return;
    }
    d->lock = std::make_unique<OperationLock>(installationDir());
    if (!d->lock->tryLock()) {
        const QString problem = d->lock->problem();
        d->lock.reset();
        finishAs(OperationStatus::Failed, failureMessage(), problem);
        return;
    }
    d->outcome.filePath = backupFilePath(targetDirText, QDateTime::currentDateTime());
    d->before = FileState::of(d->outcome.filePath);
    d->port = port;
    d->recoveryReport.clear();
    startRecovery();
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
                 result.problem + u"\nBackup tidak dijalankan."_s);
        return;
    }
    startDump();
}

void BackupJob::startDump()
{
    d->phase = Private::Phase::Dumping;
    emit stepChanged(u"Menulis file backup..."_s);

    if (d->runner) {
        d->runner->deleteLater();
    }
    d->runner = new ToolRunner(this);
    connect(d->runner, &ToolRunner::outputLine, this, &BackupJob::toolLine);
    connect(d->runner, &ToolRunner::finished, this, &BackupJob::onDumpFinished);
    d->runner->start(backupCommandLine(d->port, d->outcome.filePath));
}

void BackupJob::cancel()
{
    if (d->phase != Private::Phase::Recovering && d->phase != Private::Phase::Dumping &&
        d->phase != Private::Phase::Checking) {
        return;
    }
    d->cancelRequested = true; // a recovery runs to its end first
    if (d->phase == Private::Phase::Dumping && d->runner) {
        d->runner->cancel();
    } else if (d->phase == Private::Phase::Checking && d->check) {
        d->check->cancel();
    }
}

void BackupJob::onDumpFinished(const ToolResult& result)
{
    if (d->phase != Private::Phase::Dumping) {
        return;
    }
    if (d->cancelRequested) {
        finishCancelled();
        return;
    }
    if (!result.succeeded()) {
        const QString leftBehind = removeWrittenFile();
        finishAs(
            OperationStatus::Failed, failureMessage(),
            toolFailureDetails(u"Langkah yang gagal: menulis file backup (pg_dump)."_s, result) +
                leftBehind);
        return;
    }
    d->phase = Private::Phase::Checking;
    emit stepChanged(u"Memeriksa file backup..."_s);
    if (d->check) {
        d->check->deleteLater();
    }
    d->check = new ArchiveCheck(this);
    connect(d->check, &ArchiveCheck::toolLine, this, &BackupJob::toolLine);
    connect(d->check, &ArchiveCheck::finished, this, &BackupJob::onCheckFinished);
    d->check->start(d->outcome.filePath);
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
        finishAs(OperationStatus::Failed, failureMessage(),
                 u"Langkah yang gagal: memeriksa file backup. File yang ditulis pg_dump tidak "
                 u"lolos pemeriksaan.\n"_s +
                     result.problem + leftBehind);
        return;
    }
    finishAs(OperationStatus::Succeeded,
             u"Database ranupaku berhasil disimpan ke "_s + d->outcome.filePath, {});
}

void BackupJob::finishCancelled()
{
    finishAs(OperationStatus::Cancelled, u"Backup dibatalkan"_s, removeWrittenFile().trimmed());
}

QString BackupJob::removeWrittenFile()
{
    const QString& path = d->outcome.filePath;
    if (path.isEmpty() || FileState::of(path) == d->before) {
        return {};
    }
    QFile file(path);
    if (file.remove() || !file.exists()) {
        return {};
    }
    return u"\nFile backup yang tidak lengkap tidak dapat dihapus, hapuslah sendiri: "_s + path +
           u" ("_s + file.errorString() + u')';
}

void BackupJob::finishAs(OperationStatus status, const QString& message, const QString& details)
{
    d->lock.reset();
    d->phase = Private::Phase::Done;
    d->outcome.status = status;
    d->outcome.message = message;
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
