#include "core/restoreplan.h"

#include "core/archivetoc.h"
#include "core/commandline.h"
#include "core/tooldetails.h"
#include "core/toolrunner.h"

#include <QEventLoop>
#include <QFile>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

const QString untouched = u"Database pendataan tidak diubah."_s;

// Failure details: the step, that nothing was touched, then why.
QString failedStep(const QString& what, const QString& why)
{
    return u"Langkah yang gagal: %1. %2\n%3"_s.arg(what, untouched, why);
}

QString quoted(const QString& path)
{
    return u'"' + commandline::escapeForQuotes(path) + u'"';
}

QString pgRestore()
{
    return u"pgsql\\bin\\pg_restore.exe"_s;
}

// A text from the backup as an SQL expression, without the text itself ever being SQL.
QByteArray hexText(const QString& text)
{
    return "convert_from(decode('" + text.toUtf8().toHex() + "', 'hex'), 'UTF8')";
}

QByteArray localeProbe(const DatabaseLocale& archive)
{
    QByteArray creations;
    if (!archive.collate.isEmpty() || !archive.ctype.isEmpty()) {
        creations += "        EXECUTE 'CREATE COLLATION pg_temp.ranupa_probe_libc (LC_COLLATE = ' "
                     "|| quote_literal(" +
                     hexText(archive.collate) + ") || ', LC_CTYPE = ' || quote_literal(" +
                     hexText(archive.ctype) + ") || ')';\n";
    }
    if (archive.provider == u"icu"_s) {
        creations += "        EXECUTE 'CREATE COLLATION pg_temp.ranupa_probe_icu (PROVIDER = icu, "
                     "LOCALE = ' || quote_literal(" +
                     hexText(archive.icuLocale) + ") || ')';\n";
    }
    // The collations only prove that the server can load the locales: the inner block always
    // ends in an exception, which takes them away again.
    return "DO $ranupa$\n"
           "DECLARE\n"
           "    outcome text := 'ok';\n"
           "BEGIN\n"
           "    BEGIN\n" +
           creations +
           "        RAISE EXCEPTION 'ranupa-probe-done';\n"
           "    EXCEPTION WHEN others THEN\n"
           "        IF SQLERRM <> 'ranupa-probe-done' THEN\n"
           "            outcome := SQLERRM;\n"
           "        END IF;\n"
           "    END;\n"
           "    PERFORM set_config('ranupa.locale_probe', outcome, false);\n"
           "END\n"
           "$ranupa$;\n"
           "SELECT 'locale=' || replace(current_setting('ranupa.locale_probe'), E'\\n', ' ');\n";
}

QByteArray missingRolesQuery(const QStringList& roles)
{
    if (roles.isEmpty()) {
        return {};
    }
    QByteArrayList hex;
    for (const QString& role : roles) {
        hex.append('\'' + role.toUtf8().toHex() + '\'');
    }
    // Compared as UTF-8 bytes: the conversion to UTF-8 never fails, whatever the server's
    // encoding.
    return "SELECT 'missing-role=' || t.i FROM unnest(ARRAY[" + hex.join(", ") +
           "]::text[]) WITH ORDINALITY AS t(h, i) WHERE NOT EXISTS (SELECT 1 FROM pg_roles AS r "
           "WHERE convert_to(r.rolname::text, 'UTF8') = decode(t.h, 'hex'));\n";
}

QString providerName(const QString& code)
{
    if (code == u"c"_s) {
        return u"libc"_s;
    }
    if (code == u"i"_s) {
        return u"icu"_s;
    }
    return code; // "" before 15; anything newer is named as the server codes it
}

QByteArray readFile(const QString& path, bool* ok)
{
    QFile file(path);
    *ok = file.open(QIODevice::ReadOnly);
    return *ok ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
}

} // namespace

QString archiveTocWithDatabaseCommandLine(const QString& filePath)
{
    return pgRestore() + u" --list --create "_s + quoted(filePath);
}

QString archiveSchemaScriptCommandLine(const QString& filePath, const QString& scriptPath)
{
    // The data sections are left out: the script is read for names, not loaded.
    return pgRestore() + u" --create --section=pre-data --section=post-data --verbose --file "_s +
           quoted(scriptPath) + u' ' + quoted(filePath);
}

QString archiveEntriesScriptCommandLine(const QString& filePath, const QString& listPath,
                                        const QString& scriptPath)
{
    return pgRestore() + u" --create --use-list "_s + quoted(listPath) + u" --verbose --file "_s +
           quoted(scriptPath) + u' ' + quoted(filePath);
}

QByteArray serverProbeScript(const DatabaseLocale& archive, const QStringList& roles)
{
    return "SET client_encoding = 'UTF8';\n"
           "SET client_min_messages = warning;\n"
           "SELECT 'version=' || current_setting('server_version_num');\n"
           "SELECT 'windows=' || (version() ~* '(windows|mingw|visual c)')::text;\n"
           "SELECT v FROM pg_database AS d, LATERAL (VALUES\n"
           "    ('encoding=' || pg_encoding_to_char(d.encoding)),\n"
           "    ('collate=' || d.datcollate),\n"
           "    ('ctype=' || d.datctype),\n"
           "    ('provider=' || coalesce(to_jsonb(d) ->> 'datlocprovider', '')),\n"
           "    ('icu=' || coalesce(to_jsonb(d) ->> 'daticulocale', to_jsonb(d) ->> 'datlocale', "
           "''))\n"
           ") AS t(v) WHERE d.datname = 'template0';\n" +
           missingRolesQuery(roles) + localeProbe(archive);
}

QString serverProbeCommandLine(const QString& port, const QString& scriptPath)
{
    return u"pgsql\\bin\\psql.exe -h localhost -p "_s + port +
           u" -U postgres -X -q -A -t -v ON_ERROR_STOP=1 -f "_s + quoted(scriptPath);
}

std::optional<ServerProbe> parseServerProbe(const QByteArray& output, const QStringList& roles)
{
    QHash<QString, QString> values;
    ServerProbe probe;
    for (const QByteArray& rawLine : output.split('\n')) {
        const QString line =
            QString::fromUtf8(rawLine.endsWith('\r') ? rawLine.chopped(1) : rawLine);
        const qsizetype separator = line.indexOf(u'=');
        if (separator <= 0) {
            continue;
        }
        const QString key = line.left(separator);
        const QString value = line.mid(separator + 1);
        if (key == u"missing-role"_s) {
            bool number = false;
            const int index = value.toInt(&number) - 1;
            if (number && index >= 0 && index < roles.size()) {
                probe.missingRoles.append(roles.at(index));
            }
        } else {
            values.insert(key, value);
        }
    }
    for (const QString& required :
         {u"version"_s, u"encoding"_s, u"collate"_s, u"ctype"_s, u"locale"_s}) {
        if (!values.contains(required)) {
            return std::nullopt;
        }
    }
    ServerLocaleFacts& facts = probe.facts;
    facts.version = values.value(u"version"_s).toInt();
    facts.windows = values.value(u"windows"_s) == u"true"_s;
    facts.defaults.encoding = values.value(u"encoding"_s);
    facts.defaults.collate = values.value(u"collate"_s);
    facts.defaults.ctype = values.value(u"ctype"_s);
    facts.defaults.provider = providerName(values.value(u"provider"_s));
    facts.defaults.icuLocale = values.value(u"icu"_s);
    const QString locale = values.value(u"locale"_s);
    facts.archiveLocaleProblem = locale == u"ok"_s ? QString() : locale;
    return probe;
}

QString databaseSettingsCommandLine(const QString& port, const QString& scriptPath)
{
    return u"pgsql\\bin\\psql.exe -h localhost -p "_s + port +
           u" -U postgres -d pendataan -X -1 -v ON_ERROR_STOP=1 -f "_s + quoted(scriptPath);
}

struct RestorePreparation::Private
{
    QString filePath;
    QString port;
    RestorePlanOptions options;
    std::unique_ptr<QTemporaryDir> work;
    QPointer<ToolRunner> runner;
    QTimer watchdog;
    bool timedOut = false;
    bool done = false;
    std::optional<ArchiveToc> toc;
    QStringList roles;
    RestorePlan plan;

    QString workFile(const QString& name) const { return work->filePath(name); }
};

RestorePreparation::RestorePreparation(QObject* parent)
    : QObject(parent), d(std::make_unique<Private>())
{
    d->watchdog.setSingleShot(true);
    d->watchdog.setInterval(toolTimeout);
    connect(&d->watchdog, &QTimer::timeout, this, [this] {
        d->timedOut = true;
        if (d->runner) {
            d->runner->cancel();
        }
    });
}

RestorePreparation::~RestorePreparation() = default;

void RestorePreparation::start(const QString& filePath, const QString& port,
                               const RestorePlanOptions& options)
{
    d->filePath = filePath;
    d->port = port;
    d->options = options;
    d->toc.reset();
    d->roles.clear();
    d->plan = {};
    d->done = false;
    d->work = std::make_unique<QTemporaryDir>();
    if (!d->work->isValid()) {
        fail(failedStep(u"memeriksa file backup"_s,
                        u"Folder sementara tidak dapat dibuat: "_s + d->work->errorString()));
        return;
    }
    readToc();
}

void RestorePreparation::cancel()
{
    if (d->runner && d->runner->isRunning()) {
        d->runner->cancel();
    }
}

void RestorePreparation::runStep(const QString& commandLine, const QString& what,
                                 void (RestorePreparation::*next)(const QByteArray& output))
{
    if (d->runner) {
        d->runner->deleteLater();
    }
    d->runner = new ToolRunner(this);
    d->timedOut = false;
    connect(d->runner, &ToolRunner::finished, this, [this, what, next](const ToolResult& result) {
        d->watchdog.stop();
        if (!result.succeeded()) {
            QString step = u"Langkah yang gagal: %1. %2"_s.arg(what, untouched);
            if (d->timedOut) {
                step += u"\nProgram tidak selesai dalam %1 detik."_s.arg(toolTimeout.count());
            }
            fail(toolFailureDetails(step, result), causeFromToolResult(result));
            return;
        }
        (this->*next)(result.rawOutput);
    });
    d->watchdog.start();
    d->runner->start(commandLine);
}

void RestorePreparation::readToc()
{
    runStep(archiveTocWithDatabaseCommandLine(d->filePath),
            u"membaca daftar isi file backup (pg_restore)"_s, &RestorePreparation::onToc);
}

void RestorePreparation::onToc(const QByteArray& output)
{
    d->toc = parseArchiveList(QString::fromUtf8(output));
    if (!d->toc) {
        fail(failedStep(u"membaca daftar isi file backup"_s,
                        u"Daftar isi yang ditulis pg_restore tidak dapat dibaca."_s),
             FailureCause::DamagedBackup);
        return;
    }
    d->plan.archiveDatabase = d->toc->databaseName;
    d->plan.archiveCreated = d->toc->created;
    d->plan.archiveServerVersion = d->toc->serverVersion;
    d->plan.archiveTables = int(d->toc->entriesOfType(u"TABLE").size());
    if (d->toc->databaseName != u"pendataan"_s && !d->options.acceptOtherDatabase) {
        fail(failedStep(u"memeriksa file backup"_s,
                        u"File backup ini berisi database \"%1\", bukan pendataan. Pilih file "
                        u"backup database pendataan."_s.arg(d->toc->databaseName)),
             FailureCause::ForeignBackup);
        return;
    }
    d->plan.loadItems = loadedEntryCount(*d->toc);
    readSchema();
}

void RestorePreparation::readSchema()
{
    runStep(archiveSchemaScriptCommandLine(d->filePath, d->workFile(u"skema.sql"_s)),
            u"membaca skema file backup (pg_restore)"_s, &RestorePreparation::onSchema);
}

void RestorePreparation::onSchema(const QByteArray&)
{
    bool ok = false;
    const QByteArray script = readFile(d->workFile(u"skema.sql"_s), &ok);
    const std::optional<ArchiveDatabase> database =
        ok ? archiveDatabaseFromScript(script) : std::nullopt;
    if (!database || database->locale.encoding.isEmpty()) {
        fail(failedStep(u"membaca skema file backup"_s,
                        u"File backup tidak menyebut encoding dan lokal databasenya."_s));
        return;
    }
    d->plan.locale = database->locale;
    d->roles = rolesNamedInScript(script);
    readDatabaseEntries();
}

void RestorePreparation::readDatabaseEntries()
{
    const QByteArray list = databaseEntriesList(*d->toc);
    if (list.isEmpty()) {
        probeServer(); // an archive of an old pg_dump, or a database without own settings
        return;
    }
    const QString listPath = d->workFile(u"database.list"_s);
    if (!writeFile(listPath, list)) {
        fail(failedStep(u"memeriksa file backup"_s,
                        u"File sementara %1 tidak dapat ditulis."_s.arg(listPath)));
        return;
    }
    runStep(archiveEntriesScriptCommandLine(d->filePath, listPath, d->workFile(u"database.sql"_s)),
            u"membaca pengaturan database dari file backup (pg_restore)"_s,
            &RestorePreparation::onDatabaseEntries);
}

void RestorePreparation::onDatabaseEntries(const QByteArray&)
{
    bool ok = false;
    const QByteArray script = readFile(d->workFile(u"database.sql"_s), &ok);
    if (!ok) {
        fail(failedStep(u"membaca pengaturan database dari file backup"_s,
                        u"Script yang ditulis pg_restore tidak dapat dibaca."_s));
        return;
    }
    for (const QString& role : rolesNamedInScript(script)) {
        if (!d->roles.contains(role)) {
            d->roles.append(role);
        }
    }
    d->plan.settingsScript = databaseSettingsScript(script);
    probeServer();
}

void RestorePreparation::probeServer()
{
    emit stepChanged(u"Memeriksa server..."_s);
    const QString scriptPath = d->workFile(u"periksa.sql"_s);
    if (!writeFile(scriptPath, serverProbeScript(d->plan.locale, d->roles))) {
        fail(failedStep(u"memeriksa server"_s,
                        u"File sementara %1 tidak dapat ditulis."_s.arg(scriptPath)));
        return;
    }
    runStep(serverProbeCommandLine(d->port, scriptPath), u"memeriksa server (psql)"_s,
            &RestorePreparation::onProbe);
}

void RestorePreparation::onProbe(const QByteArray& output)
{
    const std::optional<ServerProbe> probe = parseServerProbe(output, d->roles);
    if (!probe) {
        fail(failedStep(u"memeriksa server (psql)"_s, u"Jawaban server tidak lengkap:\n"_s +
                                                          QString::fromUtf8(output).trimmed()));
        return;
    }
    if (!probe->missingRoles.isEmpty()) {
        fail(failedStep(u"memeriksa peran (role) di server"_s,
                        missingRolesProblem(probe->missingRoles)),
             FailureCause::MissingRole);
        return;
    }
    const LocaleChoice choice = chooseDatabaseLocale(d->plan.locale, probe->facts);
    if (!choice.locale) {
        fail(failedStep(u"memilih encoding dan lokal database"_s, choice.problem));
        return;
    }
    RestorePlan plan = d->plan;
    plan.ok = true;
    plan.locale = *choice.locale;
    plan.serverVersion = probe->facts.version;
    plan.note = choice.note;
    finishWith(plan);
}

void RestorePreparation::fail(const QString& details, FailureCause cause)
{
    RestorePlan plan;
    plan.archiveDatabase = d->plan.archiveDatabase;
    plan.problem = details;
    plan.cause = cause;
    finishWith(plan);
}

void RestorePreparation::finishWith(const RestorePlan& plan)
{
    if (d->done) {
        return;
    }
    d->done = true;
    d->work.reset();
    // Queued, so that finished() never arrives inside start() or inside the runner's signal.
    QMetaObject::invokeMethod(
        this, [this, plan] { emit finished(plan); }, Qt::QueuedConnection);
}

RestorePlan prepareRestore(const QString& filePath, const QString& port,
                           const RestorePlanOptions& options)
{
    RestorePreparation preparation;
    QEventLoop loop;
    RestorePlan outcome;
    QObject::connect(&preparation, &RestorePreparation::finished, &loop,
                     [&](const RestorePlan& plan) {
                         outcome = plan;
                         loop.quit();
                     });
    preparation.start(filePath, port, options);
    loop.exec();
    return outcome;
}

} // namespace ranupa
