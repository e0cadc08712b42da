#include "core/restore.h"

#include "core/archivecheck.h"
#include "core/archivedatabase.h"
#include "core/backup.h"
#include "core/commandline.h"
#include "core/installation.h"
#include "core/operationlock.h"
#include "core/progress.h"
#include "core/recovery.h"
#include "core/restoreplan.h"
#include "core/settings.h"
#include "core/tooldetails.h"
#include "core/toolrunner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <optional>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// Between two attempts to set pendataan aside while connections keep coming back.
constexpr int setAsideRetryPauseMs = 500;

QString failureMessage()
{
    return u"Gagal melakukan restore"_s;
}

QString cancelledMessage()
{
    return u"Restore dibatalkan"_s;
}

// Said in the details exactly when it is true: pendataan is as it was before the restore.
QString unchangedText()
{
    return u"Database pendataan tidak diubah."_s;
}

QString withCause(const QString& failedStep, const ToolResult& result)
{
    const QString cause = diskFullCause(result);
    return cause.isEmpty() ? failedStep : failedStep + u'\n' + cause;
}

// The non-empty ones of `parts`, `separator` apart.
QString joinPresent(std::initializer_list<QString> parts, const QString& separator)
{
    QStringList present;
    for (const QString& part : parts) {
        if (!part.isEmpty()) {
            present.append(part);
        }
    }
    return present.join(separator);
}

QString safetyBackupSentence(const QString& filePath)
{
    return u"Isi database sebelum restore disimpan di %1."_s.arg(
        QDir::toNativeSeparators(filePath));
}

} // namespace

bool RestoreSummary::isOtherDatabase() const
{
    return databaseName != u"pendataan"_s;
}

QString createDatabaseCommandLine(const QString& port)
{
    return psqlCommandLine(port, u"CREATE DATABASE pendataan WITH OWNER=postgres "
                                 u"TABLESPACE=pg_default CONNECTION LIMIT=-1"_s);
}

QString loadCommandLine(const QString& port, const QString& backupFile)
{
    return u"pgsql\\bin\\pg_restore.exe --host localhost --port "_s + port +
           u" --username \"postgres\" --dbname \"pendataan\" --no-password  --verbose \""_s +
           commandline::escapeForQuotes(backupFile) + u'"';
}

RestoreCommands restoreCommands(const QString& port, const QString& backupFile)
{
    const QString setAside = setAsideDatabaseName();
    const QString completed = completedDatabaseName();
    return {
        .endConnections = psqlCommandLine(
            port,
            u"select pg_terminate_backend(pid) from pg_stat_activity where datname='pendataan'"_s),
        .setAside = psqlCommandLine(port, u"ALTER DATABASE pendataan RENAME TO "_s + setAside),
        .create = createDatabaseCommandLine(port),
        .reserveRoom = psqlCommandLine(port, reserveRoomStatement(), u"pendataan"_s),
        .load = loadCommandLine(port, backupFile),
        .freeRoom = psqlCommandLine(port, freeRoomStatement(), u"pendataan"_s),
        .endSetAsideConnections = psqlCommandLine(
            port,
            u"select pg_terminate_backend(pid) from pg_stat_activity where datname='%1'"_s.arg(
                setAside)),
        .markComplete =
            psqlCommandLine(port, u"ALTER DATABASE "_s + setAside + u" RENAME TO "_s + completed),
        .dropPrevious = psqlCommandLine(port, u"DROP DATABASE "_s + completed),
        .dropUnfinished = psqlCommandLine(port, u"DROP DATABASE IF EXISTS pendataan"_s),
    };
}

// The steps in the order they run when all goes well; RollBack and DropUnfinished only after a
// failure or a cancel.
enum class RestoreJob::Step
{
    Idle,
    Recover,        // set right what an interrupted restore left
    CheckFile,      // the file must be restorable before the server is touched
    Prepare,        // what the file holds, and whether the server can take it
    Confirm,        // waiting for the operator's answer
    SafetyBackup,   // the current pendataan backed up first, when asked for
    EndConnections, // command 1
    SetAside,       // pendataan renamed aside: from here on, a failure puts it back
    Create,
    ReserveRoom,
    Load,
    FreeRoom,               // also before the unfinished database is dropped
    ApplySettings,          // the database's own settings, comment and privileges
    EndSetAsideConnections, // only when the mark failed once
    MarkComplete,           // the new pendataan is complete: from here on, no way back
    DropPrevious,
    RollBack,
    DropUnfinished,
    Done,
};

// How the restore ends, before it is known whether pendataan is as it was.
struct RestoreJob::Ending
{
    OperationStatus status = OperationStatus::Failed;
    QString message;
    QString failedStep; // which step failed and why; "" for a cancel
    std::optional<ToolResult> tool;
    FailureCause cause = FailureCause::Unknown;

    static Ending cancelled()
    {
        return {OperationStatus::Cancelled, cancelledMessage(), {}, {}, FailureCause::Unknown};
    }
    static Ending failed(const QString& failedStep, const ToolResult& tool)
    {
        return {OperationStatus::Failed, failureMessage(), withCause(failedStep, tool), tool,
                causeFromToolResult(tool)};
    }
    // The details: the failed step, where pendataan stands, then what the tool said.
    QString details(const QString& state) const
    {
        const QString text = failedStep.isEmpty() ? state : failedStep + u'\n' + state;
        return tool ? toolFailureDetails(text, *tool) : text;
    }
};

struct RestoreJob::Private
{
    // Held from the start of the work to its end, so that no other copy works meanwhile.
    std::unique_ptr<OperationLock> lock;
    QString port;
    QString backupFile;
    RestoreCommands commands;
    Step step = Step::Idle;
    bool cancelRequested = false;
    bool hadPrevious = false; // pendataan existed, so it is set aside rather than replaced
    bool created = false;     // the new pendataan was created by this restore
    bool setAside = false;    // pendataan was renamed aside, for sure
    int setAsideTries = 0;
    int markTries = 0;
    QString stepText;       // the step as last told
    QString recoveryReport; // what the recovery at the start set right
    std::optional<Ending> ending;
    QPointer<Recovery> recovery;
    QPointer<ArchiveCheck> check;
    QPointer<ToolRunner> runner;
    bool acceptOtherDatabase = false;
    bool askFirst = false;
    QString safetyBackupDir;
    QString safetyNote; // where the safety backup went, or why there is none
    QString safetyBackupFile;
    QString summaryLead; // what the operator reads first under the message, when set
    QPointer<BackupJob> safetyBackup;
    QPointer<RestorePreparation> preparation;
    RestorePlan plan;
    std::unique_ptr<QTemporaryDir> settingsDir;
    ProgressCounter loaded{ProgressMeasure::Unit::Items};
};

RestoreJob::RestoreJob(QObject* parent) : QObject(parent), d(std::make_unique<Private>()) {}

RestoreJob::~RestoreJob()
{
    // A restore destroyed half-way leaves pendataan set aside; the next run puts it back.
    for (QObject* child :
         {static_cast<QObject*>(d->runner.data()), static_cast<QObject*>(d->check.data()),
          static_cast<QObject*>(d->recovery.data()), static_cast<QObject*>(d->preparation.data()),
          static_cast<QObject*>(d->safetyBackup.data())}) {
        if (child) {
            child->disconnect(this);
        }
    }
    // A safety backup still writing ends, and its partial file goes, while the lock is held.
    delete d->safetyBackup.data();
}

void RestoreJob::setAcceptOtherDatabase(bool accept)
{
    d->acceptOtherDatabase = accept;
}

void RestoreJob::setAskBeforeReplacing(bool ask)
{
    d->askFirst = ask;
}

void RestoreJob::setSafetyBackupDir(const QString& directory)
{
    d->safetyBackupDir = directory;
}

void RestoreJob::start(const QString& backupFileText)
{
    const DbPortSetting port = dbPortSetting();
    d->port.clear();
    if (backupFileText.isEmpty()) {
        finishAs(OperationStatus::Skipped, {}, {});
        return;
    }
    if (const QString missing = installationProblem(); !missing.isEmpty()) {
        finishUnchanged(OperationStatus::Failed, failureMessage(),
                        missing + u'\n' + unchangedText(), FailureCause::InstallationMissing);
        return;
    }
    d->lock = std::make_unique<OperationLock>(installationDir());
    if (!d->lock->tryLock()) {
        const QString problem = d->lock->problem();
        const FailureCause cause = d->lock->failureCause();
        d->lock.reset();
        finishUnchanged(OperationStatus::Failed, failureMessage(),
                        problem + u'\n' + unchangedText(), cause);
        return;
    }
    if (!port.isValid()) {
        finishUnchanged(OperationStatus::Failed, failureMessage(),
                        port.problem + u'\n' + unchangedText(), port.cause);
        return;
    }
    d->port = port.port;
    // Absolute, so that pg_restore never reads a file name starting with "-" as an option.
    d->backupFile = commandline::absolutePathForTool(backupFileText);
    d->commands = restoreCommands(d->port, d->backupFile);
    d->plan = {};
    d->cancelRequested = false;
    d->hadPrevious = false;
    d->created = false;
    d->setAside = false;
    d->setAsideTries = 0;
    d->markTries = 0;
    d->recoveryReport.clear();
    d->safetyNote.clear();
    d->safetyBackupFile.clear();
    d->summaryLead.clear();
    d->stepText.clear();
    d->ending.reset();
    startRecovery();
}

void RestoreJob::cancel()
{
    switch (d->step) {
    case Step::Recover:
    case Step::Prepare:
    case Step::ApplySettings:
    case Step::EndConnections:
    case Step::SetAside:
    case Step::Create:
    case Step::ReserveRoom:
    case Step::FreeRoom:
        // Short steps, and whether they changed the server must be known: they end first.
        d->cancelRequested = true;
        return;
    case Step::CheckFile:
        d->cancelRequested = true;
        if (d->check) {
            d->check->cancel();
        }
        return;
    case Step::Confirm:
        endUnchanged(Ending::cancelled());
        return;
    case Step::SafetyBackup:
        d->cancelRequested = true;
        if (d->safetyBackup) {
            d->safetyBackup->cancel();
        }
        return;
    case Step::Load:
        d->cancelRequested = true;
        if (d->runner) {
            d->runner->cancel();
        }
        return;
    default:
        // Not started, already going back, or the new database is complete.
        return;
    }
}

// Some steps belong to one another in the operator's eyes: a text is told once.
void RestoreJob::setStepText(const QString& text)
{
    if (text != d->stepText) {
        d->stepText = text;
        emit stepChanged(text);
    }
}

void RestoreJob::startRecovery()
{
    d->step = Step::Recover;
    setStepText(u"Memeriksa database di server..."_s);
    d->recovery = new Recovery(this);
    connect(d->recovery, &Recovery::toolLine, this, &RestoreJob::toolLine);
    connect(d->recovery, &Recovery::finished, this, &RestoreJob::onRecovered);
    d->recovery->start(d->port);
}

void RestoreJob::onRecovered(const RecoveryResult& result)
{
    d->recoveryReport = result.report;
    if (!result.ok) {
        if (result.changedNothing) {
            finishUnchanged(OperationStatus::Failed, failureMessage(),
                            result.problem + u'\n' + unchangedText(), result.cause);
        } else {
            finishAs(OperationStatus::Failed, failureMessage(), result.problem, result.cause);
        }
        return;
    }
    d->hadPrevious = result.pendataanExists;
    if (d->cancelRequested) {
        endUnchanged(Ending::cancelled());
        return;
    }
    // The file is checked before anything touches the server: a file that cannot be restored
    // must never cost the school its database.
    d->step = Step::CheckFile;
    setStepText(u"Memeriksa file backup..."_s);
    d->check = new ArchiveCheck(this);
    connect(d->check, &ArchiveCheck::toolLine, this, &RestoreJob::toolLine);
    connect(d->check, &ArchiveCheck::finished, this, &RestoreJob::onCheckFinished);
    d->check->start(d->backupFile);
}

void RestoreJob::onCheckFinished(const ArchiveCheckResult& result)
{
    if (d->cancelRequested) {
        endUnchanged(Ending::cancelled());
        return;
    }
    if (!result.ok) {
        finishUnchanged(OperationStatus::Failed, failureMessage(),
                        u"Langkah yang gagal: memeriksa file backup. "_s + unchangedText() + u'\n' +
                            result.problem,
                        result.cause);
        return;
    }
    // Still nothing touched: what the file holds is read, and the server asked whether it can
    // take it, before the old database is set aside.
    d->step = Step::Prepare;
    d->preparation = new RestorePreparation(this);
    connect(d->preparation, &RestorePreparation::stepChanged, this, &RestoreJob::setStepText);
    connect(d->preparation, &RestorePreparation::finished, this, &RestoreJob::onPlanReady);
    // An operator who is asked sees the database's name in the summary and decides there.
    d->preparation->start(d->backupFile, d->port,
                          {.acceptOtherDatabase = d->acceptOtherDatabase || d->askFirst});
}

void RestoreJob::onPlanReady(const RestorePlan& plan)
{
    if (d->cancelRequested) {
        endUnchanged(Ending::cancelled());
        return;
    }
    if (!plan.ok) {
        // The preparation's details say already that pendataan is unchanged.
        finishUnchanged(OperationStatus::Failed, failureMessage(), plan.problem, plan.cause);
        return;
    }
    d->plan = plan;
    // The new database as the backup describes it, not as the server's template1 would make it.
    d->commands.create = createDatabaseCommandLine(d->port, plan.locale, plan.serverVersion);
    if (d->askFirst) {
        askForConfirmation();
    } else {
        startReplacing();
    }
}

void RestoreJob::askForConfirmation()
{
    d->step = Step::Confirm;
    setStepText(u"Menunggu konfirmasi..."_s);
    RestoreSummary summary;
    summary.filePath = d->backupFile;
    summary.fileSize = QFileInfo(d->backupFile).size();
    summary.created = d->plan.archiveCreated;
    summary.databaseName = d->plan.archiveDatabase;
    summary.serverVersion = d->plan.archiveServerVersion;
    summary.tableCount = d->plan.archiveTables;
    summary.pendataanExists = d->hadPrevious;
    // Queued, so that a caller who asks in a nested event loop does so from a plain stack.
    QMetaObject::invokeMethod(
        this,
        [this, summary] {
            if (d->step == Step::Confirm) {
                emit confirmationNeeded(summary);
            }
        },
        Qt::QueuedConnection);
}

void RestoreJob::proceed()
{
    if (d->step == Step::Confirm) {
        startReplacing();
    }
}

void RestoreJob::decline()
{
    if (d->step != Step::Confirm) {
        return;
    }
    if (d->recoveryReport.isEmpty()) {
        finishAs(OperationStatus::Skipped, {}, {});
    } else {
        // What the recovery set right must still reach the operator.
        endUnchanged(Ending::cancelled());
    }
}

// Still nothing touched; from here on the server is changed, unless the safety backup fails.
void RestoreJob::startReplacing()
{
    if (!d->safetyBackupDir.isEmpty()) {
        if (d->hadPrevious) {
            startSafetyBackup();
            return;
        }
        d->safetyNote = u"Database pendataan belum ada di server, jadi tidak ada yang dibackup "
                        u"sebelum restore."_s;
    }
    runCommand(Step::EndConnections);
}

// A normal backup, under the lock this restore holds: nothing can change pendataan's owner
// between the backup and the replacement.
void RestoreJob::startSafetyBackup()
{
    d->step = Step::SafetyBackup;
    d->safetyBackup = new BackupJob(this);
    d->safetyBackup->runUnderLock(*d->lock);
    connect(d->safetyBackup, &BackupJob::stepChanged, this, [this](const QString& step) {
        setStepText(u"Backup database saat ini: "_s + step.left(1).toLower() + step.mid(1));
    });
    connect(d->safetyBackup, &BackupJob::toolLine, this, &RestoreJob::toolLine);
    connect(d->safetyBackup, &BackupJob::progressChanged, this, &RestoreJob::progressChanged);
    connect(d->safetyBackup, &BackupJob::finished, this, &RestoreJob::onSafetyBackupFinished);
    d->safetyBackup->start(d->safetyBackupDir);
}

void RestoreJob::onSafetyBackupFinished(const OperationOutcome& backup)
{
    d->safetyBackup->deleteLater();
    if (backup.status == OperationStatus::Succeeded) {
        d->safetyBackupFile = backup.filePath;
        d->safetyNote = u"Database pendataan sebelum restore disimpan ke "_s + backup.filePath;
        if (!backup.details.isEmpty()) {
            d->safetyNote += u'\n' + backup.details;
        }
    }
    if (d->cancelRequested || backup.status == OperationStatus::Cancelled) {
        endUnchanged({OperationStatus::Cancelled, cancelledMessage(), backup.details, {}});
        return;
    }
    if (backup.status != OperationStatus::Succeeded) {
        d->summaryLead = u"Backup database saat ini gagal, jadi restore tidak dijalankan."_s;
        finishUnchanged(OperationStatus::Failed, failureMessage(),
                        u"Langkah yang gagal: backup database saat ini ke %1. %2\n%3"_s.arg(
                            d->safetyBackupDir, unchangedText(), backup.details),
                        backup.cause);
        return;
    }
    runCommand(Step::EndConnections);
}

void RestoreJob::runCommand(Step step)
{
    QString command;
    QString text;
    switch (step) {
    case Step::EndConnections:
        command = d->commands.endConnections;
        text = u"Memutus koneksi ke database..."_s;
        break;
    case Step::SetAside:
        ++d->setAsideTries;
        command = d->commands.setAside;
        text = u"Menyisihkan database lama..."_s;
        break;
    case Step::Create:
        command = d->commands.create;
        text = u"Membuat database baru..."_s;
        break;
    case Step::ReserveRoom:
        command = d->commands.reserveRoom;
        text = u"Membuat database baru..."_s;
        break;
    case Step::Load:
        command = d->commands.load;
        text = u"Memuat data dari file backup..."_s;
        break;
    case Step::FreeRoom:
        command = d->commands.freeRoom;
        text = d->ending ? u"Menghapus database baru yang belum lengkap..."_s
                         : u"Menyelesaikan restore..."_s;
        break;
    case Step::EndSetAsideConnections:
        command = d->commands.endSetAsideConnections;
        text = u"Menyelesaikan restore..."_s;
        break;
    case Step::MarkComplete:
        ++d->markTries;
        command = d->commands.markComplete;
        text = u"Menyelesaikan restore..."_s;
        break;
    case Step::DropPrevious:
        command = d->commands.dropPrevious;
        text = u"Menghapus database lama..."_s;
        break;
    case Step::DropUnfinished:
        command = d->commands.dropUnfinished;
        text = u"Menghapus database baru yang belum lengkap..."_s;
        break;
    default:
        Q_UNREACHABLE();
    }
    d->step = step;
    setStepText(text);
    if (d->runner) {
        d->runner->deleteLater();
    }
    d->runner = new ToolRunner(this);
    if (step == Step::Load) {
        d->loaded = ProgressCounter(ProgressMeasure::Unit::Items, d->plan.loadItems);
        emit progressChanged(d->loaded.measure());
        connect(d->runner, &ToolRunner::outputLine, this, &RestoreJob::onLoadLine);
    } else {
        connect(d->runner, &ToolRunner::outputLine, this, &RestoreJob::toolLine);
    }
    connect(d->runner, &ToolRunner::finished, this,
            [this, step](const ToolResult& result) { onCommandFinished(step, result); });
    d->runner->start(command);
}

void RestoreJob::onLoadLine(const QString& line)
{
    emit toolLine(line);
    if (d->loaded.take(line)) {
        emit progressChanged(d->loaded.measure());
    }
}

void RestoreJob::onCommandFinished(Step step, const ToolResult& result)
{
    switch (step) {
    case Step::EndConnections:
        // Nobody may have been connected: its outcome is judged by the rename that follows.
        if (d->cancelRequested) {
            d->setAsideTries > 0 ? rollBack(Ending::cancelled())
                                 : endUnchanged(Ending::cancelled());
        } else {
            runCommand(d->hadPrevious ? Step::SetAside : Step::Create);
        }
        return;
    case Step::SetAside:
        onSetAsideFinished(result);
        return;
    case Step::Create:
        d->created = result.succeeded();
        if (d->cancelRequested) {
            rollBack(Ending::cancelled());
        } else if (!result.succeeded()) {
            rollBack(Ending::failed(
                u"Langkah yang gagal: membuat database baru (psql); pg_restore tidak dijalankan."_s,
                result));
        } else {
            runCommand(Step::ReserveRoom);
        }
        return;
    case Step::ReserveRoom:
        if (d->cancelRequested) {
            rollBack(Ending::cancelled());
        } else if (!result.succeeded()) {
            rollBack(Ending::failed(u"Langkah yang gagal: menyiapkan ruang disk untuk restore "
                                    u"(psql); pg_restore tidak dijalankan."_s,
                                    result));
        } else {
            runCommand(Step::Load);
        }
        return;
    case Step::Load:
        if (d->cancelRequested) {
            rollBack(Ending::cancelled());
        } else if (!result.succeeded()) {
            QString what = u"Langkah yang gagal: memuat data dari file backup (pg_restore)."_s;
            if (const QString errors = firstToolErrors(result); !errors.isEmpty()) {
                what += u"\nKesalahan pertama dari pg_restore:\n"_s + errors;
            }
            rollBack(Ending::failed(what, result));
        } else {
            runCommand(Step::FreeRoom);
        }
        return;
    case Step::FreeRoom:
        if (d->ending) {
            runCommand(Step::DropUnfinished); // going back: the drop decides
        } else if (!result.succeeded()) {
            rollBack(Ending::failed(
                u"Langkah yang gagal: menghapus tabel %1 (psql)."_s.arg(roomReserveTableName()),
                result));
        } else {
            onLoadSucceeded();
        }
        return;
    case Step::EndSetAsideConnections:
        runCommand(Step::MarkComplete);
        return;
    case Step::MarkComplete:
        if (result.succeeded()) {
            runCommand(Step::DropPrevious);
        } else if (d->markTries < 2) {
            // Someone may have connected to the set-aside copy: end that and try once more.
            runCommand(Step::EndSetAsideConnections);
        } else {
            onMarkFailed(result);
        }
        return;
    case Step::DropPrevious:
        finishSucceeded(result.succeeded()
                            ? QString()
                            : toolFailureDetails(u"Salinan database lama (%1) belum dapat "
                                                 u"dihapus; backup atau restore berikutnya "
                                                 u"menghapusnya."_s.arg(completedDatabaseName()),
                                                 result));
        return;
    case Step::DropUnfinished:
        // There was no pendataan before this restore: none is the state to go back to.
        if (result.succeeded()) {
            endUnchanged(*d->ending);
        } else {
            finishAs(OperationStatus::Failed, failureMessage(),
                     d->ending->details(u"Database pendataan baru yang belum lengkap tidak dapat "
                                        u"dihapus."_s) +
                         u"\n\n"_s +
                         toolFailureDetails(u"Menghapus database baru (psql):"_s, result),
                     d->ending->cause);
        }
        return;
    default:
        return;
    }
}

void RestoreJob::onSetAsideFinished(const ToolResult& result)
{
    d->setAside = result.succeeded();
    if (d->cancelRequested) {
        rollBack(Ending::cancelled());
        return;
    }
    if (result.succeeded()) {
        runCommand(Step::Create);
        return;
    }
    if (d->setAsideTries < setAsideAttempts) {
        // Most likely a client that connected again between the two commands.
        QTimer::singleShot(setAsideRetryPauseMs, this,
                           [this] { runCommand(Step::EndConnections); });
        return;
    }
    rollBack(Ending::failed(
        u"Langkah yang gagal: menyisihkan database lama (psql). Mungkin ada aplikasi yang terus "
        u"tersambung kembali ke database pendataan: tutup aplikasi itu, lalu coba lagi."_s,
        result));
}

void RestoreJob::onLoadSucceeded()
{
    // Steps that complete the new database belong here: after the load, before the mark.
    if (d->cancelRequested) {
        rollBack(Ending::cancelled());
        return;
    }
    applyDatabaseSettings();
}

// The database's comment, privileges and settings: pg_restore brings them back only when it
// creates the database itself.
void RestoreJob::applyDatabaseSettings()
{
    if (d->plan.settingsScript.isEmpty()) {
        markComplete();
        return;
    }
    d->step = Step::ApplySettings;
    setStepText(u"Memulihkan pengaturan database..."_s);
    d->settingsDir = std::make_unique<QTemporaryDir>();
    const QString scriptPath = d->settingsDir->filePath(u"pengaturan.sql"_s);
    QFile script(scriptPath);
    if (!d->settingsDir->isValid() || !script.open(QIODevice::WriteOnly) ||
        script.write(d->plan.settingsScript) != d->plan.settingsScript.size() || !script.flush()) {
        rollBack(Ending{OperationStatus::Failed,
                        failureMessage(),
                        u"Langkah yang gagal: memulihkan pengaturan database (komentar, hak akses, "
                        u"SET): file sementara %1 tidak dapat ditulis."_s.arg(scriptPath),
                        {},
                        FailureCause::Unknown});
        return;
    }
    script.close();
    if (d->runner) {
        d->runner->deleteLater();
    }
    d->runner = new ToolRunner(this);
    connect(d->runner, &ToolRunner::outputLine, this, &RestoreJob::toolLine);
    connect(d->runner, &ToolRunner::finished, this, &RestoreJob::onSettingsApplied);
    d->runner->start(databaseSettingsCommandLine(d->port, scriptPath));
}

void RestoreJob::onSettingsApplied(const ToolResult& result)
{
    d->settingsDir.reset();
    if (d->cancelRequested) {
        rollBack(Ending::cancelled());
        return;
    }
    if (!result.succeeded()) {
        QString what = u"Langkah yang gagal: memulihkan pengaturan database (komentar, hak "
                       u"akses, SET) dengan psql."_s;
        if (const QString errors = firstToolErrors(result); !errors.isEmpty()) {
            what += u"\nKesalahan pertama:\n"_s + errors;
        }
        rollBack(Ending::failed(what, result));
        return;
    }
    markComplete();
}

void RestoreJob::markComplete()
{
    if (!d->hadPrevious) {
        finishSucceeded(); // nothing was set aside, so there is nothing to mark or drop
        return;
    }
    runCommand(Step::MarkComplete);
}

void RestoreJob::onMarkFailed(const ToolResult& result)
{
    // The rename may still have reached the server: the recovery finds out which it was.
    d->step = Step::RollBack;
    setStepText(u"Memeriksa database di server..."_s);
    const Ending ending = Ending::failed(
        u"Langkah yang gagal: menandai database baru sudah lengkap (psql)."_s, result);
    d->recovery = new Recovery(this);
    connect(d->recovery, &Recovery::toolLine, this, &RestoreJob::toolLine);
    connect(d->recovery, &Recovery::finished, this, [this, ending](const RecoveryResult& found) {
        if (found.ok && !found.putBack) {
            finishSucceeded(); // the mark had been made after all: the new database stays
            return;
        }
        if (found.ok) {
            endUnchanged(ending);
            return;
        }
        finishAs(OperationStatus::Failed, failureMessage(),
                 ending.details(notPutBackYetText()) + u"\n\n"_s + found.problem, ending.cause);
    });
    d->recovery->start(d->port);
}

void RestoreJob::endUnchanged(const Ending& ending)
{
    finishUnchanged(ending.status, ending.message, ending.details(unchangedText()), ending.cause);
}

void RestoreJob::rollBack(const Ending& ending)
{
    d->ending = ending;
    if (!d->hadPrevious) {
        if (d->created) {
            runCommand(Step::FreeRoom); // then the unfinished database goes
        } else {
            endUnchanged(ending);
        }
        return;
    }
    if (d->setAsideTries == 0) {
        endUnchanged(ending); // the server was not touched
        return;
    }
    d->step = Step::RollBack;
    setStepText(u"Mengembalikan database lama..."_s);
    // The recovery puts the set-aside database back, in place of the unfinished one. When it is
    // not sure that the rename aside happened, it looks first, and may find nothing to do.
    d->recovery = new Recovery(this);
    connect(d->recovery, &Recovery::toolLine, this, &RestoreJob::toolLine);
    connect(d->recovery, &Recovery::finished, this, [this, ending](const RecoveryResult& found) {
        if (found.ok) {
            endUnchanged(ending);
            return;
        }
        const QString state =
            found.changedNothing
                ? u"Keadaan database di server tidak dapat diperiksa. Bila isi database "
                  u"pendataan yang sebelumnya tersimpan dengan nama %1, backup atau restore "
                  u"berikutnya mengembalikannya otomatis."_s.arg(setAsideDatabaseName())
                : notPutBackYetText();
        finishAs(OperationStatus::Failed, failureMessage(),
                 ending.details(state) + u"\n\n"_s + found.problem, ending.cause);
    });
    if (d->setAside) {
        d->recovery->startPuttingBack(d->port);
    } else {
        d->recovery->start(d->port);
    }
}

void RestoreJob::finishSucceeded(const QString& note)
{
    // What the operator should know of a restore that worked: a locale that had to differ.
    const QString details = d->plan.note.isEmpty() || note.isEmpty()
                                ? d->plan.note + note
                                : d->plan.note + u"\n\n"_s + note;
    finishAs(OperationStatus::Succeeded, u"Restore database berhasil"_s, details);
}

void RestoreJob::finishUnchanged(OperationStatus status, const QString& message,
                                 const QString& details, FailureCause cause)
{
    finishAs(status, message, details, cause, true);
}

void RestoreJob::finishAs(OperationStatus status, const QString& message, const QString& details,
                          FailureCause cause, bool pendataanUnchanged)
{
    // Apart from its safety backup, a restore writes to the server's disk only.
    const bool inSafetyBackup = d->step == Step::SafetyBackup;
    d->lock.reset();
    d->step = Step::Done;
    OperationOutcome outcome;
    outcome.status = status;
    outcome.message = message;
    outcome.cause =
        cause == FailureCause::DiskFull && !inSafetyBackup ? FailureCause::ServerDiskFull : cause;
    outcome.pendataanUnchanged = pendataanUnchanged;
    // Last, the way back to what was there before, readable without opening the details.
    outcome.summary = joinPresent(
        {d->summaryLead, failureSummary(outcome.cause, d->port, pendataanUnchanged),
         d->safetyBackupFile.isEmpty() ? QString() : safetyBackupSentence(d->safetyBackupFile)},
        u"\n"_s);
    // What the recovery set right comes first: the operator must learn of it whatever follows.
    // Where the safety backup went comes next: after a failure it is the way back.
    outcome.details = joinPresent({d->recoveryReport, d->safetyNote, details}, u"\n\n"_s);
    // Queued, so that finished() never arrives inside start() and the runner has let go.
    QMetaObject::invokeMethod(
        this, [this, outcome] { emit finished(outcome); }, Qt::QueuedConnection);
}

OperationOutcome runRestore(const QString& backupFileText, const OperationProgress& progress)
{
    RestoreJob job;
    return runToEnd(job, backupFileText, progress);
}

} // namespace ranupa
