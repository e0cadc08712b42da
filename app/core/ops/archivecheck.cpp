#include "core/ops/archivecheck.h"

#include "core/ops/operation.h"
#include "core/pg/toolcommands.h"

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// Runs pg_restore on the whole of the archive; a failure says what it made of it.
std::optional<Failure> readWithPgRestore(Operation& operation, const ArchiveSource& source,
                                         const ToolCommand& command, bool throughout,
                                         ToolResult& tool)
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
    tool = operation.run(command, how);
    if (tool.succeeded()) {
        return std::nullopt;
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

// The table of contents as pg_restore --list --create reads it from `source`; with `members`,
// every data member it names must be among them.
Result<ArchiveToc> listContents(Operation& operation, const ArchiveSource& source,
                                const TarMembers* members)
{
    ToolResult tool;
    if (std::optional<Failure> failure =
            readWithPgRestore(operation, source, tools::listArchive(source.folder), false, tool)) {
        return *failure;
    }
    const std::optional<ArchiveToc> listed = parseArchiveList(tool.output());
    if (!listed) {
        return damaged(u"Daftar isi arsip dari pg_restore --list tidak dapat dibaca.\n"_s +
                       toolOutputTail(tool));
    }
    if (members) {
        if (std::optional<QString> missing = missingDataMembers(*listed, *members)) {
            return damaged(*missing);
        }
    }
    return *listed;
}

} // namespace

void ArchiveSource::feed(ToolRun& how) const
{
    if (file) {
        file->seek(0);
        how.input = file;
    }
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
        ToolResult tool;
        if (std::optional<Failure> failure =
                readWithPgRestore(operation, file, tools::readArchiveThrough(), true, tool)) {
            return failure;
        }
    }
    const Result<ArchiveToc> listed =
        listContents(operation, file, scan.customFormat ? nullptr : &scan.members);
    if (!listed) {
        return listed.failure();
    }
    toc = *listed;
    if (members) {
        *members = scan.members;
    }
    return std::nullopt;
}

std::optional<Failure> checkCopiedArchive(Operation& operation, const QString& copyFolder,
                                          const TarMembers& members, ArchiveToc& toc)
{
    const Result<ArchiveToc> listed = listContents(operation, ArchiveSource(copyFolder), &members);
    if (!listed) {
        return listed.failure();
    }
    toc = *listed;
    return std::nullopt;
}

} // namespace ranupa
