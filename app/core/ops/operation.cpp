#include "core/ops/operation.h"

#include "core/model/outcome.h"
#include "core/model/progress.h"
#include "core/model/wording.h"
#include "core/ops/dump.h"
#include "core/ops/load.h"
#include "core/ops/owndatabases.h"
#include "core/pg/tools.h"

#include <QDir>
#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace ranupa {

Operation::Operation(OperationHost& host) : m_host(host)
{
    m_clock.start();
}

Operation::~Operation() = default;

std::optional<Failure> Operation::begin()
{
    const Result<Installation> found = findInstallation();
    if (!found) {
        return found.failure();
    }
    m_installation = *found;
    step(u"Menghubungi server database..."_s);
    m_session = std::make_unique<ServerSession>();
    if (auto failure = m_session->start(m_installation.port, m_installation.dir)) {
        return failure;
    }
    if (auto failure = m_session->lock([this] { return cancelled(); })) {
        return failure;
    }
    removeLeftCopies(*this);
    return recoverInterruptedWork(*this);
}

ToolRun Operation::readied(ToolRun how)
{
    how.programDir = m_installation.dir;
    how.cancelled = [this] {
        return cancelled();
    };
    return how;
}

ToolResult Operation::run(const ToolCommand& command, ToolRun how)
{
    return runTool(command, readied(std::move(how)));
}

std::optional<Failure> Operation::change(const QString& step, const QStringList& statements,
                                         bool inOneTransaction)
{
    const QStringList held = QStringList{m_session->heldCheck()} + statements;
    const ToolResult result = inOneTransaction
                                  ? runTool(tools::psqlScript(m_installation.port, {}),
                                            (held.join(u";\n"_s) + u";\n"_s).toUtf8(), readied({}))
                                  : run(tools::psql(m_installation.port, {}, held));
    if (!result.succeeded()) {
        return toolFailure(step, result);
    }
    return std::nullopt;
}

Result<Rows> Operation::query(const QString& step, const QString& statement,
                              const QString& database)
{
    if (database.isEmpty()) {
        return m_session->query(step, statement, [this] { return cancelled(); });
    }
    const ToolResult result = run(tools::query(m_installation.port, database, statement));
    if (!result.endedWell()) {
        return toolFailure(step, result);
    }
    return csvRows(result.rawOutput);
}

SessionWatch::SessionWatch(ServerSession& session, const QString& statement,
                           const std::function<void(const Rows&)>& answered,
                           const std::function<void()>& tick)
    : m_session(session)
{
    m_timer.setInterval(1000);
    QObject::connect(&m_timer, &QTimer::timeout, [this, statement, answered, tick] {
        if (!statement.isEmpty()) {
            m_session.ask(statement, [answered](const std::optional<Rows>& rows) {
                answered(rows.value_or(Rows()));
            });
        }
        tick();
    });
    m_timer.start();
}

namespace {

// The shares of the whole bar of the steps that have no size to go by.
constexpr int examineShare = 5;
constexpr int compareShare = 5;
constexpr int swapShare = 5;

// A trial restore's steps, after whatever comes before them in `plan`. The loaded file's size is
// `fileBytes`, or that of the database it was made of where the file is still to be written.
StepPlan withTrialSteps(StepPlan plan, qint64 fileBytes)
{
    plan.fixed(StepKind::Examine, u"memeriksa isi file backup"_s, examineShare)
        .sized(StepKind::Load, u"memuat file backup ke database uji"_s, fileBytes)
        .fixed(StepKind::Compare, u"membandingkan database uji dengan file backup"_s, compareShare);
    return plan;
}

// Under a success message: "Ukuran file backup 12,4 MB, selesai dalam 45 detik."
QString figures(qint64 fileBytes, const Operation& op)
{
    return u"Ukuran file backup %1, selesai dalam %2."_s.arg(wording::size(fileBytes),
                                                             wording::duration(op.elapsed()));
}

QString folderOf(const QString& filePath)
{
    return QFileInfo(filePath).absolutePath();
}

OperationOutcome failedWithFile(OperationKind kind, const Failure& failure, const Operation& op,
                                const QString& filePath)
{
    OperationOutcome outcome = failedOutcome(kind, failure, op.installation().port, op.notes());
    outcome.filePath = filePath;
    return outcome;
}

class Restore final
{
public:
    Restore(Operation& operation, const RestoreRequest& request)
        : op(operation), request(request),
          backup(operation, scratchDatabaseName.toString(), u"baru"_s)
    {}

    // The whole restore, step by step; nothing when it succeeded.
    std::optional<Failure> run()
    {
        if (auto failure = op.begin()) {
            return failure;
        }
        // An operator who is asked sees in the summary which database the backup holds.
        if (auto failure = backup.prepare(request.backupFile,
                                          request.acceptOtherDatabase || op.asksOperator())) {
            return failure;
        }
        if (auto failure = checkPendataanReplaceable(op)) {
            return failure;
        }
        if (auto failure = askOperator()) {
            return failure;
        }
        planSteps();
        if (auto failure = backUpCurrentFirst()) {
            return failure;
        }
        // From here on the server changes: a failure drops what this restore made.
        op.beginStep(StepKind::Load);
        if (auto failure = backup.createDatabase()) {
            return droppingScratch(*failure);
        }
        if (auto failure = backup.load()) {
            return droppingScratch(*failure);
        }
        if (auto failure = backup.checkFileUnchanged()) {
            return droppingScratch(*failure);
        }
        op.beginStep(StepKind::Swap);
        if (auto failure = swapIntoPendataan(op, backup.restorePlan())) {
            swapUncertain = !failure->pendataanUnchanged;
            return swapUncertain ? *failure : droppingScratch(*failure);
        }
        op.finishPlan();
        // Told now, and the same once the old copy is dropped.
        doneFigures = figures(backup.fileSize(), op);
        op.report(succeeded());
        dropNote = dropReplacedDatabase(op);
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
                .summary = safetyBackupSentence(),
                .figures = doneFigures,
                .backupFolder =
                    folderOf(safetyBackupFile.isEmpty() ? backup.filePath() : safetyBackupFile)};
    }

    OperationOutcome failed(Failure failure) const
    {
        // Until the swap, pendataan is never touched.
        failure.pendataanUnchanged = !swapUncertain;
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

private:
    std::optional<Failure> askOperator()
    {
        const Result<ServerDatabases> found = readServerDatabases(op);
        if (!found) {
            return found.failure();
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

    // The safety backup's share follows pendataan's size, the load's the backup file's.
    void planSteps()
    {
        StepPlan plan;
        if (!safetyBackupDir.isEmpty() && pendataanExisted) {
            currentSize = pendataanSize(op);
            plan.sized(StepKind::SafetyBackup, u"backup pengaman database saat ini"_s,
                       currentSize.value_or(0));
        }
        plan.sized(StepKind::Load, u"memuat data dari file backup"_s, backup.fileSize())
            .fixed(StepKind::Swap, u"mengganti database pendataan"_s, swapShare);
        op.setPlan(plan);
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
        op.beginStep(StepKind::SafetyBackup);
        const Result<QString> written =
            writeBackup(op, safetyBackupDir, currentSize, BackupKind::BeforeRestore);
        if (!written) {
            Failure failure = written.failure();
            if (!failure.cancelled) {
                failure.step =
                    u"backup database saat ini ke %1: %2"_s.arg(safetyBackupDir, failure.step);
                safetyBackupFailed = true;
            }
            return failure;
        }
        safetyBackupFile = *written;
        op.note(u"Database pendataan sebelum restore di-backup ke %1."_s.arg(
            QDir::toNativeSeparators(safetyBackupFile)));
        return std::nullopt;
    }

    // Before the swap, whatever failed, pendataan is as it was; what this restore made goes.
    Failure droppingScratch(Failure failure)
    {
        if (const std::optional<Failure> notDropped =
                backup.dropDatabase(u"Menghapus database baru yang belum lengkap..."_s)) {
            failure.details += u"\n\nDatabase %1 yang belum lengkap belum dapat dihapus; backup "
                               u"atau restore berikutnya menghapusnya.\n%2"_s.arg(
                                   scratchDatabaseName, notDropped->details);
        }
        return failure;
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
    bool pendataanExisted = false;
    std::optional<qint64> currentSize; // pendataan's, for its safety backup
    bool swapUncertain = false;
    bool safetyBackupFailed = false;
    QString safetyBackupDir;
    QString safetyBackupFile;
    QString dropNote;
    QString doneFigures;
};

} // namespace

OperationOutcome backupDatabase(Operation& operation, const BackupRequest& request)
{
    if (request.targetDir.isEmpty()) {
        return {};
    }
    if (auto failure = operation.begin()) {
        return failedWithFile(OperationKind::Backup, *failure, operation, {});
    }
    const std::optional<qint64> databaseSize = pendataanSize(operation);
    const qint64 databaseBytes = databaseSize.value_or(0);
    const StepPlan backupStep =
        StepPlan().sized(StepKind::Backup, u"menulis file backup"_s, databaseBytes);
    operation.setPlan(request.verify ? withTrialSteps(backupStep, databaseBytes) : backupStep);
    operation.beginStep(StepKind::Backup);
    const Result<QString> written = writeBackup(operation, request.targetDir, databaseSize);
    if (!written) {
        return failedWithFile(OperationKind::Backup, written.failure(), operation, {});
    }
    const QString& filePath = *written;
    QString summary;
    if (request.verify) {
        const Result<TrialCounts> counts = trialRestore(operation, filePath);
        if (!counts) {
            Failure failure = counts.failure();
            failure.details += u"\nFile backup %1 tetap disimpan, tetapi belum terbukti dapat "
                               u"di-restore."_s.arg(filePath);
            OperationOutcome outcome =
                failedWithFile(OperationKind::Verify, failure, operation, filePath);
            outcome.tried = !failure.cancelled;
            return outcome;
        }
        summary = u"Backup dapat di-restore: "_s + trialSummary(*counts);
    }
    operation.finishPlan();
    return {.status = OperationStatus::Succeeded,
            .message = u"Database ranupaku berhasil disimpan ke "_s + filePath,
            .details = operation.notes(),
            .filePath = filePath,
            .summary = summary,
            .tried = request.verify,
            .figures = figures(QFileInfo(filePath).size(), operation),
            .backupFolder = folderOf(filePath)};
}

OperationOutcome restoreDatabase(Operation& operation, const RestoreRequest& request)
{
    if (request.backupFile.isEmpty()) {
        return {};
    }
    Restore restore(operation, request);
    const std::optional<Failure> failure = restore.run();
    if (restore.declined) {
        return {};
    }
    return failure ? restore.failed(*failure) : restore.succeeded();
}

OperationOutcome verifyBackup(Operation& operation, const VerifyRequest& request)
{
    if (request.backupFile.isEmpty()) {
        return {};
    }
    const QString filePath = absolutePathForTool(request.backupFile);
    const auto failed = [&](Failure failure) {
        failure.pendataanUnchanged = true; // a trial never touches it
        return failedWithFile(OperationKind::Verify, failure, operation, filePath);
    };
    if (auto failure = operation.begin()) {
        return failed(*failure);
    }
    const qint64 fileBytes = QFileInfo(filePath).size();
    operation.setPlan(withTrialSteps({}, fileBytes));
    const Result<TrialCounts> counts = trialRestore(operation, request.backupFile);
    if (!counts) {
        return failed(counts.failure());
    }
    operation.finishPlan();
    return {.status = OperationStatus::Succeeded,
            .message = u"Backup dapat di-restore"_s,
            .details = operation.notes(),
            .filePath = filePath,
            .summary = trialSummary(*counts),
            .tried = true,
            .figures = figures(fileBytes, operation),
            .backupFolder = folderOf(filePath)};
}

OperationOutcome runRequest(Operation& operation, const OperationRequest& request)
{
    if (const auto* backup = std::get_if<BackupRequest>(&request)) {
        return backupDatabase(operation, *backup);
    }
    if (const auto* restore = std::get_if<RestoreRequest>(&request)) {
        return restoreDatabase(operation, *restore);
    }
    return verifyBackup(operation, std::get<VerifyRequest>(request));
}

} // namespace ranupa
