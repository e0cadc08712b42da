#include "core/recovery.h"

#include "core/commandline.h"
#include "core/tooldetails.h"
#include "core/toolrunner.h"

#include <QEventLoop>
#include <QPointer>
#include <QTimer>
#include <array>
#include <optional>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

QString databaseName()
{
    return u"pendataan"_s;
}

// Starts the one line of the inspection's answer, so that notices around it are not misread.
QString inspectionMarker()
{
    return u"databases:"_s;
}
// Between two attempts of a statement that failed, e.g. for connections that keep coming back.
constexpr int retryPauseMs = 500;

QString inspectionStatement()
{
    return u"select '%1' || coalesce(string_agg(datname, ' '), '') from pg_database where "
           u"datname in ('%2', '%3', '%4')"_s.arg(inspectionMarker(), databaseName(),
                                                  setAsideDatabaseName(), completedDatabaseName());
}

QString endConnectionsStatement(const QStringList& databases)
{
    return u"select pg_terminate_backend(pid) from pg_stat_activity where datname in ('%1')"_s.arg(
        databases.join(u"', '"_s));
}

// The databases the inspection found, or nothing when its answer cannot be read.
std::optional<QStringList> foundDatabases(const QString& output)
{
    const QStringList lines = output.split(u'\n');
    for (const QString& line : lines) {
        const QString trimmed = line.trimmed();
        if (trimmed.startsWith(inspectionMarker())) {
            return trimmed.mid(inspectionMarker().size()).split(u' ', Qt::SkipEmptyParts);
        }
    }
    return std::nullopt;
}

} // namespace

QString notPutBackYetText()
{
    return u"Database pendataan belum dikembalikan seperti semula: isinya yang sebelumnya "
           u"tersimpan di server dengan nama %1 dan dikembalikan otomatis oleh backup atau "
           u"restore berikutnya."_s.arg(setAsideDatabaseName());
}

QString setAsideDatabaseName()
{
    return u"ranupa_helper_pendataan_sebelum"_s;
}

QString completedDatabaseName()
{
    return u"ranupa_helper_pendataan_usang"_s;
}

QString psqlCommandLine(const QString& port, const QString& statement, const QString& database)
{
    const QString connection = database.isEmpty() ? QString() : u" -d "_s + database;
    return u"pgsql\\bin\\psql.exe -h localhost -p "_s + port + u" -U postgres"_s + connection +
           u" -c \""_s + commandline::escapeForQuotes(statement) + u'"';
}

QString roomReserveTableName()
{
    return u"public.ranupa_helper_ruang_cadangan"_s;
}

QString reserveRoomStatement()
{
    // About 8 MB of rows: room enough for the checkpoint that a drop of a database needs.
    return u"CREATE TABLE "_s + roomReserveTableName() +
           u" AS SELECT g AS isi FROM generate_series(1, 225000) AS g"_s;
}

QString freeRoomStatement()
{
    return u"DROP TABLE IF EXISTS "_s + roomReserveTableName();
}

QString diskFullCause(const ToolResult& result)
{
    // The whole output: pg_restore goes on after an error, and the first one is the cause.
    constexpr std::array signs{"No space left on device", "could not extend file", "disk full"};
    for (const char* sign : signs) {
        if (result.rawOutput.contains(sign)) {
            return u"Penyebab: disk server database penuh. Kosongkan ruang disk server (ingat: "
                   u"selama restore, database lama dan baru perlu muat bersama), lalu coba "
                   u"lagi."_s;
        }
    }
    return {};
}

enum class Recovery::Step
{
    Inspect,
    EndCompletedConnections,
    DropCompleted,
    EndConnections,
    FreeRoom,
    DropUnfinished,
    PutBack,
};

struct Recovery::Private
{
    QString port;
    bool setAsideFound = false;
    int attempts = 0;
    int inspections = 0;
    RecoveryResult result;
    QPointer<ToolRunner> runner;
};

Recovery::Recovery(QObject* parent) : QObject(parent), d(std::make_unique<Private>()) {}

Recovery::~Recovery()
{
    if (d->runner) {
        d->runner->disconnect(this);
    }
}

void Recovery::start(const QString& port)
{
    d->port = port;
    d->result = {};
    d->attempts = 0;
    d->inspections = 0;
    run(Step::Inspect);
}

void Recovery::startPuttingBack(const QString& port)
{
    d->port = port;
    d->result = {};
    d->attempts = 0;
    d->setAsideFound = true;
    putBackOrFinish();
}

void Recovery::run(Step step)
{
    QString statement;
    switch (step) {
    case Step::Inspect:
        ++d->inspections;
        statement = inspectionStatement();
        break;
    case Step::EndCompletedConnections:
        statement = endConnectionsStatement({completedDatabaseName()});
        break;
    case Step::DropCompleted:
        statement = u"DROP DATABASE "_s + completedDatabaseName();
        break;
    case Step::EndConnections:
        ++d->attempts;
        statement = endConnectionsStatement({databaseName(), setAsideDatabaseName()});
        break;
    case Step::FreeRoom:
        statement = freeRoomStatement();
        break;
    case Step::DropUnfinished:
        statement = u"DROP DATABASE IF EXISTS "_s + databaseName();
        break;
    case Step::PutBack:
        statement =
            u"ALTER DATABASE "_s + setAsideDatabaseName() + u" RENAME TO "_s + databaseName();
        break;
    }
    if (d->runner) {
        d->runner->deleteLater();
    }
    d->runner = new ToolRunner(this);
    connect(d->runner, &ToolRunner::outputLine, this, &Recovery::toolLine);
    connect(d->runner, &ToolRunner::finished, this,
            [this, step](const ToolResult& result) { onFinished(step, result); });
    // The room is freed inside the unfinished database; everything else runs in psql's default.
    d->runner->start(step == Step::FreeRoom ? psqlCommandLine(d->port, statement, databaseName())
                                            : psqlCommandLine(d->port, statement));
}

void Recovery::onFinished(Step step, const ToolResult& result)
{
    switch (step) {
    case Step::Inspect:
        onInspected(result);
        return;
    case Step::EndCompletedConnections:
        run(Step::DropCompleted);
        return;
    case Step::DropCompleted:
        if (result.succeeded()) {
            d->result.droppedCompleted = true;
            d->result.report += u"Restore sebelumnya sudah selesai, tetapi salinan database "
                                u"lamanya belum terhapus; salinan itu kini dihapus.\n"_s;
        } else {
            // Only room on the disk is at stake: the work goes on, and the next run tries again.
            d->result.report += toolFailureDetails(
                u"Salinan database lama dari restore sebelumnya (%1) belum dapat dihapus; "
                u"dicoba lagi pada backup atau restore berikutnya."_s.arg(completedDatabaseName()),
                result);
            d->result.report += u'\n';
        }
        putBackOrFinish();
        return;
    case Step::EndConnections:
        run(Step::FreeRoom);
        return;
    case Step::FreeRoom:
        // There may be no such table, or no unfinished database at all: the drop decides.
        run(Step::DropUnfinished);
        return;
    case Step::DropUnfinished:
    case Step::PutBack:
        if (!result.succeeded()) {
            if (d->attempts < endConnectionAttempts) {
                // Most likely a client that connected again meanwhile: end it once more.
                QTimer::singleShot(retryPauseMs, this, [this] { run(Step::EndConnections); });
                return;
            }
            const QString failedStep =
                step == Step::PutBack
                    ? u"Langkah yang gagal: mengembalikan database pendataan (psql)."_s
                    : u"Langkah yang gagal: menghapus database pendataan yang belum lengkap "
                      u"(psql)."_s;
            finishWith(false, toolFailureDetails(failedStep + u' ' + notPutBackYetText(), result),
                       causeFromToolResult(result));
            return;
        }
        if (step == Step::DropUnfinished) {
            run(Step::PutBack);
            return;
        }
        d->result.putBack = true;
        d->result.pendataanExists = true;
        d->result.report += u"Restore sebelumnya terhenti sebelum selesai; database pendataan "
                            u"telah dikembalikan ke isinya sebelum restore itu.\n"_s;
        finishWith(true);
        return;
    }
}

void Recovery::onInspected(const ToolResult& result)
{
    const std::optional<QStringList> found =
        result.succeeded() ? foundDatabases(result.output()) : std::nullopt;
    if (!found && d->inspections < endConnectionAttempts) {
        // A server whose disk just filled up fails many a statement until it has room again.
        QTimer::singleShot(retryPauseMs, this, [this] { run(Step::Inspect); });
        return;
    }
    if (!found) {
        d->result.changedNothing = true;
        finishWith(false,
                   toolFailureDetails(u"Langkah yang gagal: memeriksa database di server (psql)."_s,
                                      result),
                   causeFromToolResult(result));
        return;
    }
    d->result.pendataanExists = found->contains(databaseName());
    d->setAsideFound = found->contains(setAsideDatabaseName());
    if (found->contains(completedDatabaseName())) {
        run(Step::EndCompletedConnections);
        return;
    }
    putBackOrFinish();
}

void Recovery::putBackOrFinish()
{
    if (d->setAsideFound) {
        run(Step::EndConnections);
        return;
    }
    finishWith(true);
}

void Recovery::finishWith(bool ok, const QString& problem, FailureCause cause)
{
    d->result.ok = ok;
    d->result.problem = problem;
    d->result.cause = cause;
    d->result.report = d->result.report.trimmed();
    QMetaObject::invokeMethod(
        this, [this, result = d->result] { emit finished(result); }, Qt::QueuedConnection);
}

RecoveryResult recoverInterruptedRestore(const QString& port)
{
    Recovery recovery;
    QEventLoop loop;
    RecoveryResult result;
    QObject::connect(&recovery, &Recovery::finished, &loop, [&](const RecoveryResult& done) {
        result = done;
        loop.quit();
    });
    recovery.start(port);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    return result;
}

} // namespace ranupa
