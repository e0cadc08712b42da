#include "core/ops/load.h"
#include "core/pg/newdatabase.h"
#include "core/pg/sqlscript.h"
#include "core/pg/tools.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>
#include <QTemporaryDir>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// A pg_restore run on `source`: the archive fed on its standard input or named by its folder.
// --list and a script read the table of contents only: longer than this means it is stuck.
// Reading a custom archive through takes longer the larger it is.
std::pair<ToolCommand, ToolRun> pgRestoreOn(const ArchiveSource& source, const ToolCommand& command,
                                            bool throughout = false)
{
    ToolRun how;
    source.feed(how);
    const qint64 size = source.file ? source.file->size() : 0;
    how.timeout = std::chrono::seconds(120 + (throughout ? size / 10'000'000 : 0));
    return {command, how};
}

// What a pg_restore run that reads the archive made of it.
Result<ToolResult> readBy(const ToolResult& tool, const ToolRun& how)
{
    if (tool.succeeded()) {
        return tool;
    }
    Failure failure = toolFailure(u"memeriksa file backup (pg_restore)"_s, tool);
    if (tool.timedOut) {
        failure.details.prepend(
            u"pg_restore tidak selesai membaca file backup dalam %1 detik.\n"_s.arg(
                std::chrono::duration_cast<std::chrono::seconds>(how.timeout).count()));
    }
    // A program that cannot be started, or a full disk, says nothing about the file.
    if (failure.cause == FailureCause::Unknown) {
        failure.cause = FailureCause::DamagedBackup;
    }
    return failure;
}

Failure damaged(const QString& details)
{
    return {.step = u"memeriksa file backup"_s,
            .details = details,
            .cause = FailureCause::DamagedBackup};
}

bool isValidUtf8(QByteArrayView bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString decoded = utf8.decode(bytes);
    return !utf8.hasError();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
}

// The script a pg_restore run wrote into `scriptPath`.
Result<QByteArray> writtenScript(const ToolResult& result, const QString& scriptPath,
                                 const QString& step)
{
    QFile script(scriptPath);
    if (!result.succeeded() || !script.open(QIODevice::ReadOnly)) {
        return toolFailure(step, result);
    }
    return script.readAll();
}

// Where pg_restore writes the scripts the plan reads: a folder of the program's own.
std::optional<Failure> tempFolderProblem(const QTemporaryDir& work)
{
    // Qt takes the working directory, the installation, when TMPDIR names no folder.
    if (QDir::tempPath().isEmpty()) {
        return Failure{.step = u"memeriksa file backup"_s,
                       .details = u"Folder sementara %1 (TMPDIR) tidak ada."_s.arg(
                           qEnvironmentVariable("TMPDIR")),
                       .cause = FailureCause::TempFolderUnusable};
    }
    if (!work.isValid()) {
        return Failure{.step = u"memeriksa file backup"_s,
                       .details = u"Folder sementara tidak dapat dibuat di %1: %2"_s.arg(
                           QDir::toNativeSeparators(QDir::tempPath()), work.errorString()),
                       .cause = FailureCause::TempFolderUnusable};
    }
    return std::nullopt;
}

Failure planFailure(const QString& step, const QString& details,
                    FailureCause cause = FailureCause::Unknown)
{
    return {.step = step, .details = details, .cause = cause};
}

// The database's own entries of the archive (comment, privileges, settings, ...), read the way a
// restore applies them; no settings when the archive has no such entries.
std::optional<Failure> readDatabaseSettings(Operation& operation, const ArchiveSource& source,
                                            const ArchiveToc& toc, const QTemporaryDir& work,
                                            DatabaseSettings& settings, QStringList& roles)
{
    const QByteArray list = databaseEntriesList(toc);
    if (list.isEmpty()) {
        return std::nullopt;
    }
    const QString listPath = work.filePath(u"database.list"_s);
    if (!writeFile(listPath, list)) {
        return planFailure(u"memeriksa file backup"_s,
                           u"File sementara %1 tidak dapat ditulis."_s.arg(listPath),
                           FailureCause::TempFolderUnusable);
    }
    const QString scriptPath = work.filePath(u"database.sql"_s);
    const auto [command, how] =
        pgRestoreOn(source, tools::archiveScript(scriptPath, listPath, source.folder));
    const Result<QByteArray> entries =
        writtenScript(operation.run(command, how), scriptPath,
                      u"membaca pengaturan database dari file backup (pg_restore)"_s);
    if (!entries) {
        return entries.failure();
    }
    for (const QString& role : rolesNamedInScript(*entries)) {
        if (!roles.contains(role)) {
            roles.append(role);
        }
    }
    settings = databaseSettings(*entries);
    if (!settings.refused.isEmpty()) {
        return planFailure(u"memeriksa pengaturan database dalam file backup"_s,
                           u"Bagian pengaturan database dalam file backup berisi %1, jadi restore "
                           u"tidak dijalankan:\n%2"_s.arg(settings.refusedWhy, settings.refused),
                           FailureCause::UnsafeBackup);
    }
    return std::nullopt;
}

// The statements in UTF-8, which the program always sends: an archive's own encoding is never a
// client encoding. The server converts, since it knows every encoding a database can have, and
// says when the bytes are not valid in it.
std::optional<Failure> settingsInUtf8(Operation& operation, DatabaseSettings& settings)
{
    const QByteArray encoding = settings.encoding.toUpper();
    settings.encoding = "UTF8";
    if (encoding.isEmpty() || encoding == "UTF8" || encoding == "SQL_ASCII") {
        if (isValidUtf8(settings.statements)) {
            return std::nullopt;
        }
    } else if (!settings.statements.isEmpty()) {
        const Result<Rows> converted =
            operation.query(u"mengubah pengaturan database ke UTF-8"_s,
                            u"SELECT encode(convert(decode('%1', 'hex'), %2, 'UTF8'), 'hex')"_s.arg(
                                QString::fromLatin1(settings.statements.toHex()),
                                QString::fromLatin1(sql::quoteLiteral(encoding))));
        if (converted) {
            settings.statements = QByteArray::fromHex(converted->value(0).value(0).toLatin1());
            return std::nullopt;
        }
        // Unless the server said no because the bytes are not text of that encoding.
        if (converted.failure().cancelled || converted.failure().cause != FailureCause::Unknown) {
            return converted.failure();
        }
    } else {
        return std::nullopt;
    }
    return planFailure(
        u"memeriksa pengaturan database dalam file backup"_s,
        u"Teks dalam bagian pengaturan database file backup tidak sah dalam "
        u"encoding %1, jadi restore tidak dijalankan."_s.arg(QString::fromLatin1(encoding)),
        FailureCause::UnsafeBackup);
}

} // namespace

std::optional<Failure> planRestore(Operation& operation, const ArchiveSource& source,
                                   const ArchiveToc& toc, const QByteArray& schema,
                                   bool acceptOtherDatabase, RestorePlan& plan)
{
    plan.archiveDatabase = toc.databaseName;
    plan.archiveCreated = toc.created;
    plan.archiveServerVersion = toc.serverVersion;
    plan.archiveTables = int(toc.entriesOfType(u"TABLE").size());
    if (toc.databaseName != u"pendataan"_s && !acceptOtherDatabase) {
        return planFailure(u"memeriksa file backup"_s,
                           u"File backup ini berisi database \"%1\", bukan pendataan. Pilih file "
                           u"backup database pendataan."_s.arg(toc.databaseName),
                           FailureCause::ForeignBackup);
    }
    QTemporaryDir work;
    if (auto problem = tempFolderProblem(work)) {
        return problem;
    }
    const std::optional<ArchiveDatabase> database = archiveDatabaseFromScript(schema);
    if (!database || database->locale.encoding.isEmpty()) {
        return planFailure(u"membaca skema file backup"_s,
                           u"File backup tidak menyebut encoding dan lokal databasenya."_s);
    }
    plan.locale = database->locale;
    QStringList roles = rolesNamedInScript(schema);
    if (auto refused = readDatabaseSettings(operation, source, toc, work, plan.settings, roles)) {
        return refused;
    }
    if (auto invalid = settingsInUtf8(operation, plan.settings)) {
        return invalid;
    }
    // The previous owner gets the database back where the role is there; one that is not is no
    // reason to refuse, unless the backup names it elsewhere too.
    const QString& owner = database->owner;
    const bool ownerNamedElsewhere = roles.contains(owner);
    if (!owner.isEmpty() && !ownerNamedElsewhere) {
        roles.append(owner);
    }

    operation.step(u"Memeriksa server..."_s);
    const QString step = u"memeriksa server"_s;
    Result<Rows> answer = Rows();
    for (const QString& statement : serverProbeStatements(plan.locale, roles)) {
        if (answer = operation.query(step, statement); !answer) {
            return answer.failure();
        }
    }
    std::optional<ServerProbe> probe = parseServerProbe(*answer, roles);
    if (!probe) {
        return planFailure(step, u"Jawaban server tidak dapat dibaca."_s);
    }
    QStringList notes;
    if (!owner.isEmpty() && !ownerNamedElsewhere && probe->missingRoles.removeAll(owner) > 0) {
        notes << u"Pemilik database dalam file backup, %1, tidak ada di server; database "
                 u"pendataan menjadi milik postgres."_s.arg(owner);
    } else {
        plan.owner = owner;
    }
    if (!probe->missingRoles.isEmpty()) {
        return planFailure(u"memeriksa peran (role) di server"_s,
                           missingRolesProblem(probe->missingRoles), FailureCause::MissingRole);
    }
    const LocaleChoice choice = chooseDatabaseLocale(plan.locale, probe->facts);
    if (!choice.locale) {
        return planFailure(u"memilih encoding dan lokal database"_s, choice.problem);
    }
    plan.locale = *choice.locale;
    plan.serverVersion = probe->facts.version;
    notes << choice.note;
    notes.removeAll(QString());
    plan.note = notes.join(u"\n\n"_s);
    return std::nullopt;
}

QByteArray databaseStatements(const RestorePlan& plan, const QString& database)
{
    QByteArray statements = "SET client_encoding = 'UTF8';\n"
                            "SET standard_conforming_strings = on;\n";
    if (!plan.owner.isEmpty()) {
        statements += "ALTER DATABASE " + sql::quoteIdentifier(database.toUtf8()) + " OWNER TO " +
                      sql::quoteIdentifier(plan.owner.toUtf8()) + ";\n";
    }
    return statements + settingsFor(plan.settings, database);
}

void ArchiveSource::feed(ToolRun& how) const
{
    if (file) {
        file->seek(0);
        how.input = file;
    }
}

std::optional<ArchiveSource> ArchiveSource::second() const
{
    if (!folder.isEmpty()) {
        return *this;
    }
    return again != nullptr ? std::optional(ArchiveSource(*again)) : std::nullopt;
}

std::optional<Failure> readContents(Operation& operation, const ArchiveSource& source,
                                    const TarMembers* members, ArchiveToc& toc, QByteArray* schema)
{
    QTemporaryDir work;
    if (auto problem = schema ? tempFolderProblem(work) : std::nullopt) {
        return problem;
    }
    // The schema is read beside the table of contents where the archive can be read twice at
    // once. Each run is made just before it starts: it feeds the file from its start.
    const QString schemaPath = work.filePath(u"skema.sql"_s);
    const auto schemaRun = [&schemaPath](const ArchiveSource& from) {
        return pgRestoreOn(from, tools::archiveScript(schemaPath, {}, from.folder));
    };
    const std::optional<ArchiveSource> second = schema ? source.second() : std::nullopt;
    const auto list = pgRestoreOn(source, tools::listArchive(source.folder));
    QList<ToolResult> results = second ? operation.runAtOnce({list, schemaRun(*second)})
                                       : QList<ToolResult>{operation.run(list.first, list.second)};
    if (schema && !second) {
        const auto [command, how] = schemaRun(source);
        results << operation.run(command, how);
    }
    const Result<ToolResult> listed = readBy(results.value(0), list.second);
    if (!listed) {
        return listed.failure();
    }
    const std::optional<ArchiveToc> contents = parseArchiveList(listed->output());
    if (!contents) {
        return damaged(u"Daftar isi arsip dari pg_restore --list tidak dapat dibaca.\n"_s +
                       toolOutputTail(*listed));
    }
    if (members) {
        if (std::optional<QString> missing = missingDataMembers(*contents, *members)) {
            return damaged(*missing);
        }
    }
    toc = *contents;
    if (schema) {
        const Result<QByteArray> script = writtenScript(
            results.value(1), schemaPath, u"membaca skema file backup (pg_restore)"_s);
        if (!script) {
            return script.failure();
        }
        *schema = *script;
    }
    return std::nullopt;
}

std::optional<Failure> checkArchive(Operation& operation, const ArchiveSource& source,
                                    ArchiveToc& toc, TarMembers* members, QByteArray* schema)
{
    const ArchiveScan scan = scanArchive(*source.file);
    if (scan.problem) {
        Failure failure = damaged(*scan.problem);
        if (scan.unreadable) {
            failure.cause = FailureCause::BackupNotReadable;
        }
        return failure;
    }
    if (scan.customFormat) {
        auto [command, how] = pgRestoreOn(source, tools::readArchiveThrough(), true);
        // Reading a custom archive through takes a while and says how far it is.
        how.onLine = [&operation](const QString& line) {
            operation.toolLine(line);
        };
        if (const Result<ToolResult> read = readBy(operation.run(command, how), how); !read) {
            return read.failure();
        }
    }
    if (auto failure = readContents(operation, source, scan.customFormat ? nullptr : &scan.members,
                                    toc, schema)) {
        return failure;
    }
    if (members) {
        *members = scan.members;
    }
    return std::nullopt;
}

} // namespace ranupa
