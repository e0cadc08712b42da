#pragma once

#include "core/archivedatabase.h"
#include "core/failurecause.h"

#include <QByteArray>
#include <QDateTime>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>
#include <chrono>
#include <memory>
#include <optional>

namespace ranupa {

// What a restore must know before it touches pendataan, read from the backup file and asked of
// the server.
struct RestorePlan
{
    bool ok = false;
    QString problem;                            // on failure: the details, ending with what to do
    FailureCause cause = FailureCause::Unknown; // on failure
    int loadItems = 0;            // the entries of the backup that pg_restore loads into pendataan
    QString archiveDatabase;      // the name of the database the backup was made of
    QDateTime archiveCreated;     // when pg_dump wrote the backup; invalid when it does not say
    QString archiveServerVersion; // of the server the backup was made on, as the archive says
    int archiveTables = 0;        // the tables the backup holds
    DatabaseLocale locale;        // what to create pendataan with
    int serverVersion = 0;        // server_version_num
    QByteArray settingsScript;    // the database's own settings; empty when there are none
    QString note;                 // worth telling although nothing failed (a fallback locale)
};

struct RestorePlanOptions
{
    // Restore a backup of a database with another name into pendataan all the same: the caller
    // has been told, or will tell the operator, through RestorePlan::archiveDatabase.
    bool acceptOtherDatabase = false;
};

// The pg_restore command lines that read a backup without a server: its table of contents with
// the database's own entries, its schema as a script, and the script of the entries in `list`.
QString archiveTocWithDatabaseCommandLine(const QString& filePath);
QString archiveSchemaScriptCommandLine(const QString& filePath, const QString& scriptPath);
QString archiveEntriesScriptCommandLine(const QString& filePath, const QString& listPath,
                                        const QString& scriptPath);

// What the server says about itself, the archive's locale and the archive's roles.
struct ServerProbe
{
    ServerLocaleFacts facts;
    QStringList missingRoles;
};

// The psql script that asks it; it changes nothing on the server. Names and locales reach the
// server hex-encoded, so no text from the backup file is ever read as SQL.
QByteArray serverProbeScript(const DatabaseLocale& archive, const QStringList& roles);
QString serverProbeCommandLine(const QString& port, const QString& scriptPath);
// Nothing when the output lacks an answer the script always gives.
std::optional<ServerProbe> parseServerProbe(const QByteArray& output, const QStringList& roles);

// The psql command line that applies a RestorePlan's settingsScript, saved at `scriptPath`, to
// pendataan in one transaction, stopping at the first error.
QString databaseSettingsCommandLine(const QString& port, const QString& scriptPath);

// Gathers a RestorePlan: reads the backup's table of contents (the database's name must be
// pendataan), its schema (the roles it names, the CREATE DATABASE with its encoding and locale)
// and its database settings, then asks the server which roles it lacks and whether it has the
// backup's locale. Touches nothing.
class RestorePreparation final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RestorePreparation)

public:
    // A tool that reads a table of contents or asks the server takes seconds; this is stuck.
    static constexpr std::chrono::seconds toolTimeout{120};

    explicit RestorePreparation(QObject* parent = nullptr);
    ~RestorePreparation() override;

    // finished() follows exactly once, never from inside start().
    void start(const QString& filePath, const QString& port, const RestorePlanOptions& options);
    // Ends the running tool; finished() then reports a failure.
    void cancel();

signals:
    void stepChanged(const QString& step);
    void finished(const ranupa::RestorePlan& plan);

private:
    void readToc();
    void readSchema();
    void readDatabaseEntries();
    void probeServer();
    void runStep(const QString& commandLine, const QString& what,
                 void (RestorePreparation::*next)(const QByteArray& output));
    void onToc(const QByteArray& output);
    void onSchema(const QByteArray& output);
    void onDatabaseEntries(const QByteArray& output);
    void onProbe(const QByteArray& output);
    void fail(const QString& details, FailureCause cause = FailureCause::Unknown);
    void finishWith(const RestorePlan& plan);

    struct Private;
    std::unique_ptr<Private> d;
};

// Runs a whole preparation in a local event loop; for tests.
RestorePlan prepareRestore(const QString& filePath, const QString& port,
                           const RestorePlanOptions& options = {});

} // namespace ranupa

Q_DECLARE_METATYPE(ranupa::RestorePlan)
