#include "core/restore.h"

#include "core/archivecheck.h"
#include "core/commandline.h"
#include "core/installation.h"
#include "core/operationlock.h"
#include "core/settings.h"
#include "core/tooldetails.h"
#include "core/toolrunner.h"

#include <QPointer>

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
    runCommand(Step::EndConnections);
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
            finishAs(OperationStatus::Failed, failureMessage(),
                     toolFailureDetails(u"Langkah yang gagal: memuat data dari file backup "
                                        u"(pg_restore). Database pendataan mungkin hanya berisi "
                                        u"sebagian data."_s,
                                        result));
            return;
        }
        finishAs(OperationStatus::Succeeded, u"Restore database berhasil"_s, {});
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
