#include "core/restore.h"

#include "core/archivecheck.h"
#include "core/commandline.h"
#include "core/installation.h"
#include "core/operationlock.h"
#include "core/restoreplan.h"
#include "core/settings.h"
#include "core/tooldetails.h"
#include "core/toolrunner.h"

#include <QFile>
#include <QPointer>
#include <QTemporaryDir>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

QString failureMessage()
{
    return u"Gagal melakukan restore"_s;
}

} // namespace

QStringList restoreCommandLines(const QString& port, const QString& backupFile)
{
    const QString psql = u"pgsql\\bin\\psql.exe -p "_s + port;
    return {
        psql + u" -U postgres -c \"select pg_terminate_backend(pid) from pg_stat_activity where "
               u"datname='pendataan'\""_s,
        psql + u" -U postgres -c \"DROP DATABASE \"pendataan\"\""_s,
        psql + u" -U postgres -c \"CREATE DATABASE pendataan WITH OWNER=postgres "
               u"TABLESPACE=pg_default CONNECTION LIMIT=-1\""_s,
        u"pgsql\\bin\\pg_restore.exe --host localhost --port "_s + port +
            u" --username \"postgres\" --dbname \"pendataan\" --no-password  --verbose \""_s +
            commandline::escapeForQuotes(backupFile) + u'"',
    };
}

// The four commands, in the order they run; the values index restoreCommandLines().
enum class RestoreJob::Step
{
    EndConnections = 0,
    Drop = 1,
    Create = 2,
    Load = 3,
};

namespace {

QString stepText(int step)
{
    switch (step) {
    case 0:
        return u"Memutus koneksi ke database..."_s;
    case 1:
        return u"Menghapus database lama..."_s;
    case 2:
        return u"Membuat database baru..."_s;
    default:
        return u"Memuat data dari file backup..."_s;
    }
}

} // namespace

struct RestoreJob::Private
{
    // Held from the start of the work to its end, so that no other copy works meanwhile.
    std::unique_ptr<OperationLock> lock;
    QStringList commands;
    ToolResult dropResult;
    QPointer<ArchiveCheck> check;
    QPointer<ToolRunner> runner;
    QString port;
    QString backupFile;
    bool acceptOtherDatabase = false;
    QPointer<RestorePreparation> preparation;
    RestorePlan plan;
    std::unique_ptr<QTemporaryDir> settingsDir;
};

RestoreJob::RestoreJob(QObject* parent) : QObject(parent), d(std::make_unique<Private>()) {}

RestoreJob::~RestoreJob()
{
    if (d->runner) {
        d->runner->disconnect(this);
    }
    if (d->check) {
        d->check->disconnect(this);
    }
    if (d->preparation) {
        d->preparation->disconnect(this);
    }
}

void RestoreJob::setAcceptOtherDatabase(bool accept)
{
    d->acceptOtherDatabase = accept;
}

void RestoreJob::start(const QString& backupFileText)
{
    const DbPortSetting port = dbPortSetting();
    if (backupFileText.isEmpty()) {
        finishAs(OperationStatus::Skipped, {}, {});
        return;
    }
    if (const QString missing = installationProblem(); !missing.isEmpty())
        return finishAs(OperationStatus::Failed, failureMessage(), missing);
    d->lock = std::make_unique<OperationLock>(installationDir());
    if (!d->lock->tryLock()) {
        const QString problem = d->lock->problem();
        d->lock.reset();
        finishAs(OperationStatus::Failed, failureMessage(), problem);
        return;
    }
    if (!port.isValid()) {
        finishAs(OperationStatus::Failed, failureMessage(),
                 port.problem + u"\nDatabase pendataan tidak diubah."_s);
        return;
    }
    // Absolute, so that pg_restore never reads a file name starting with "-" as an option.
    const QString backupFile = commandline::absolutePathForTool(backupFileText);
    d->commands = restoreCommandLines(port.port, backupFile);
    d->port = port.port;
    d->backupFile = backupFile;
    d->dropResult = {};
    // The file is checked before anything touches the server: a file that cannot be restored
    // must never cost the school its database.
    emit stepChanged(u"Memeriksa file backup..."_s);
    if (d->check) {
        d->check->deleteLater();
    }
    d->check = new ArchiveCheck(this);
    connect(d->check, &ArchiveCheck::toolLine, this, &RestoreJob::toolLine);
    connect(d->check, &ArchiveCheck::finished, this, &RestoreJob::onCheckFinished);
    d->check->start(backupFile);
}

void RestoreJob::onCheckFinished(const ArchiveCheckResult& result)
{
    if (!result.ok) {
        finishAs(
            OperationStatus::Failed, failureMessage(),
            u"Langkah yang gagal: memeriksa file backup. Database pendataan tidak diubah.\n"_s +
                result.problem);
        return;
    }
    // Still nothing touched: what the file holds is read, and the server asked whether it can
    // take it, before the old database goes.
    if (d->preparation) {
        d->preparation->deleteLater();
    }
    d->preparation = new RestorePreparation(this);
    connect(d->preparation, &RestorePreparation::stepChanged, this, &RestoreJob::stepChanged);
    connect(d->preparation, &RestorePreparation::finished, this, &RestoreJob::onPlanReady);
    d->preparation->start(d->backupFile, d->port, {.acceptOtherDatabase = d->acceptOtherDatabase});
}

void RestoreJob::onPlanReady(const RestorePlan& plan)
{
    if (!plan.ok) {
        finishAs(OperationStatus::Failed, failureMessage(), plan.problem);
        return;
    }
    d->plan = plan;
    d->commands[static_cast<int>(Step::Create)] =
        createDatabaseCommandLine(d->port, plan.locale, plan.serverVersion);
    runCommand(Step::EndConnections);
}

// The database's comment, privileges and settings: pg_restore brings them back only when it
// creates the database itself.
void RestoreJob::applyDatabaseSettings()
{
    if (d->plan.settingsScript.isEmpty()) {
        finishAs(OperationStatus::Succeeded, u"Restore database berhasil"_s, d->plan.note);
        return;
    }
    emit stepChanged(u"Memulihkan pengaturan database..."_s);
    d->settingsDir = std::make_unique<QTemporaryDir>();
    const QString scriptPath = d->settingsDir->filePath(u"pengaturan.sql"_s);
    QFile script(scriptPath);
    if (!d->settingsDir->isValid() || !script.open(QIODevice::WriteOnly) ||
        script.write(d->plan.settingsScript) != d->plan.settingsScript.size() || !script.flush()) {
        finishAs(OperationStatus::Failed, failureMessage(),
                 u"Langkah yang gagal: memulihkan pengaturan database. Data sudah dimuat ke "
                 u"database pendataan, tetapi pengaturannya (komentar, hak akses, SET) belum: "
                 u"file sementara tidak dapat ditulis."_s);
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
    if (!result.succeeded()) {
        const QString errors = firstToolErrors(result);
        finishAs(OperationStatus::Failed, failureMessage(),
                 toolFailureDetails(
                     u"Langkah yang gagal: memulihkan pengaturan database (psql). Data sudah "
                     u"dimuat ke database pendataan, tetapi pengaturannya (komentar, hak akses, "
                     u"SET) tidak dipulihkan."_s +
                         (errors.isEmpty() ? QString() : u"\n\nKesalahan pertama:\n"_s + errors),
                     result));
        return;
    }
    finishAs(OperationStatus::Succeeded, u"Restore database berhasil"_s, d->plan.note);
}

void RestoreJob::runCommand(Step step)
{
    const int index = static_cast<int>(step);
    emit stepChanged(stepText(index));
    if (d->runner) {
        d->runner->deleteLater();
    }
    d->runner = new ToolRunner(this);
    connect(d->runner, &ToolRunner::outputLine, this, &RestoreJob::toolLine);
    connect(d->runner, &ToolRunner::finished, this,
            [this, step](const ToolResult& result) { onCommandFinished(step, result); });
    d->runner->start(d->commands.at(index));
}

void RestoreJob::onCommandFinished(Step step, const ToolResult& result)
{
    switch (step) {
    case Step::EndConnections:
        // Nobody may be connected, and the database may not exist yet: neither is a failure.
        runCommand(Step::Drop);
        return;
    case Step::Drop:
        // A drop of a database that does not exist fails harmlessly; the create decides.
        d->dropResult = result;
        runCommand(Step::Create);
        return;
    case Step::Create:
        if (!result.succeeded()) {
            // Loading into the old database would mix two states of the data: stop here.
            const QString state =
                d->dropResult.succeeded()
                    ? u"Database pendataan lama sudah terhapus, tetapi database baru tidak dapat "
                      u"dibuat."_s
                    : u"Database pendataan lama tidak diubah."_s;
            QString details = toolFailureDetails(
                u"Langkah yang gagal: membuat database baru (psql); pg_restore tidak dijalankan. "_s +
                    state,
                result);
            if (!d->dropResult.succeeded()) {
                details += u"\n\n"_s +
                           toolFailureDetails(u"Menghapus database lama (psql):"_s, d->dropResult);
            }
            finishAs(OperationStatus::Failed, failureMessage(), details);
            return;
        }
        runCommand(Step::Load);
        return;
    case Step::Load:
        if (!result.succeeded()) {
            QString what = u"Langkah yang gagal: memuat data dari file backup (pg_restore). "
                           u"Database pendataan mungkin hanya berisi sebagian data."_s;
            if (const QString errors = firstToolErrors(result); !errors.isEmpty()) {
                what += u"\n\nKesalahan pertama dari pg_restore:\n"_s + errors + u'\n';
            }
            finishAs(OperationStatus::Failed, failureMessage(), toolFailureDetails(what, result));
            return;
        }
        applyDatabaseSettings();
        return;
    }
}

void RestoreJob::finishAs(OperationStatus status, const QString& message, const QString& details)
{
    d->lock.reset();
    OperationOutcome outcome;
    outcome.status = status;
    outcome.message = message;
    outcome.details = details;
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
