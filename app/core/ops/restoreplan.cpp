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

// Runs pg_restore on the whole of the archive; a failure says what it made of it.
Result<ToolResult> readWithPgRestore(Operation& operation, const ArchiveSource& source,
                                     const ToolCommand& command, bool throughout)
{
    ToolRun how;
    source.feed(how);
    // --list reads the table of contents only: longer than this means it is stuck. Reading a
    // custom archive through takes longer the larger it is.
    const qint64 size = source.file ? source.file->size() : 0;
    how.timeout = std::chrono::seconds(120 + (throughout ? size / 10'000'000 : 0));
    if (throughout) {
        // Reading a custom archive through takes a while and says how far it is.
        how.onLine = [&operation](const QString& line) {
            operation.toolLine(line);
        };
    }
    const ToolResult tool = operation.run(command, how);
    if (tool.succeeded()) {
        return tool;
    }
    Failure failure = toolFailure(u"memeriksa file backup (pg_restore)"_s, tool);
    if (tool.timedOut) {
        failure.details.prepend(
            u"pg_restore tidak selesai membaca file backup dalam %1 detik.\n"_s.arg(
                how.timeout.count()));
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

// Has pg_restore write a script of the archive into `scriptPath` (of the entries in `listPath`,
// when given) and reads it back.
Result<QByteArray> archiveScript(Operation& operation, const ArchiveSource& source,
                                 const QString& scriptPath, const QString& listPath,
                                 const QString& step)
{
    ToolRun how;
    source.feed(how);
    how.timeout = std::chrono::minutes(2); // only the table of contents is read
    const ToolResult result =
        operation.run(tools::archiveScript(scriptPath, listPath, source.folder), how);
    QFile script(scriptPath);
    if (!result.succeeded() || !script.open(QIODevice::ReadOnly)) {
        return toolFailure(step, result);
    }
    return script.readAll();
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
    const Result<QByteArray> entries =
        archiveScript(operation, source, work.filePath(u"database.sql"_s), listPath,
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
                                   const ArchiveToc& toc, bool acceptOtherDatabase,
                                   RestorePlan& plan)
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
    // Qt takes the working directory, the installation, when TMPDIR names no folder.
    if (QDir::tempPath().isEmpty()) {
        return planFailure(
            u"memeriksa file backup"_s,
            u"Folder sementara %1 (TMPDIR) tidak ada."_s.arg(qEnvironmentVariable("TMPDIR")),
            FailureCause::TempFolderUnusable);
    }
    QTemporaryDir work;
    if (!work.isValid()) {
        return planFailure(u"memeriksa file backup"_s,
                           u"Folder sementara tidak dapat dibuat di %1: %2"_s.arg(
                               QDir::toNativeSeparators(QDir::tempPath()), work.errorString()),
                           FailureCause::TempFolderUnusable);
    }
    const Result<QByteArray> schema =
        archiveScript(operation, source, work.filePath(u"skema.sql"_s), {},
                      u"membaca skema file backup (pg_restore)"_s);
    if (!schema) {
        return schema.failure();
    }
    const std::optional<ArchiveDatabase> database = archiveDatabaseFromScript(*schema);
    if (!database || database->locale.encoding.isEmpty()) {
        return planFailure(u"membaca skema file backup"_s,
                           u"File backup tidak menyebut encoding dan lokal databasenya."_s);
    }
    plan.locale = database->locale;
    QStringList roles = rolesNamedInScript(*schema);
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

std::optional<Failure> listContents(Operation& operation, const ArchiveSource& source,
                                    const TarMembers* members, ArchiveToc& toc)
{
    const Result<ToolResult> tool =
        readWithPgRestore(operation, source, tools::listArchive(source.folder), false);
    if (!tool) {
        return tool.failure();
    }
    const std::optional<ArchiveToc> listed = parseArchiveList(tool->output());
    if (!listed) {
        return damaged(u"Daftar isi arsip dari pg_restore --list tidak dapat dibaca.\n"_s +
                       toolOutputTail(*tool));
    }
    if (members) {
        if (std::optional<QString> missing = missingDataMembers(*listed, *members)) {
            return damaged(*missing);
        }
    }
    toc = *listed;
    return std::nullopt;
}

std::optional<Failure> checkArchive(Operation& operation, QFile& file, ArchiveToc& toc,
                                    TarMembers* members)
{
    const ArchiveScan scan = scanArchive(file);
    if (scan.problem) {
        Failure failure = damaged(*scan.problem);
        if (scan.unreadable) {
            failure.cause = FailureCause::BackupNotReadable;
        }
        return failure;
    }
    if (scan.customFormat) {
        if (const Result<ToolResult> read =
                readWithPgRestore(operation, file, tools::readArchiveThrough(), true);
            !read) {
            return read.failure();
        }
    }
    if (auto failure =
            listContents(operation, file, scan.customFormat ? nullptr : &scan.members, toc)) {
        return failure;
    }
    if (members) {
        *members = scan.members;
    }
    return std::nullopt;
}

} // namespace ranupa
