#include "core/ops/archivecheck.h"

#include "core/ops/operation.h"
#include "core/pg/toolcommands.h"
#include "core/pg/tooldetails.h"

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// Runs pg_restore on the whole of the open file; a failure says what it made of it.
std::optional<Failure> readWithPgRestore(Operation& operation, QFile& file,
                                         const ToolCommand& command, bool throughout,
                                         ToolResult& tool)
{
    file.seek(0);
    ToolRun how;
    how.input = &file;
    // --list reads the table of contents only: longer than this means it is stuck. Reading a
    // custom archive through takes longer the larger it is.
    how.timeout = std::chrono::seconds(120 + (throughout ? file.size() / 10'000'000 : 0));
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

} // namespace

std::optional<Failure> checkArchive(Operation& operation, QFile& file, ArchiveToc& toc,
                                    TarMembers* members)
{
    const ArchiveScan scan = scanArchive(file);
    if (scan.problem) {
        return Failure{.step = u"memeriksa file backup"_s,
                       .details = *scan.problem,
                       .cause = scan.unreadable ? FailureCause::BackupNotReadable
                                                : FailureCause::DamagedBackup};
    }
    ToolResult tool;
    if (scan.customFormat) {
        if (std::optional<Failure> failure =
                readWithPgRestore(operation, file, tools::readArchiveThrough(), true, tool)) {
            return failure;
        }
    }
    if (std::optional<Failure> failure =
            readWithPgRestore(operation, file, tools::listArchive(), false, tool)) {
        return failure;
    }
    const std::optional<ArchiveToc> listed = parseArchiveList(tool.output());
    if (!listed) {
        return Failure{.step = u"memeriksa file backup"_s,
                       .details =
                           u"Daftar isi arsip dari pg_restore --list tidak dapat dibaca.\n"_s +
                           toolOutputTail(tool),
                       .cause = FailureCause::DamagedBackup};
    }
    if (!scan.customFormat) {
        if (std::optional<QString> missing = missingDataMembers(*listed, scan.members)) {
            return Failure{.step = u"memeriksa file backup"_s,
                           .details = *missing,
                           .cause = FailureCause::DamagedBackup};
        }
    }
    toc = *listed;
    if (members) {
        *members = scan.members;
    }
    return std::nullopt;
}

} // namespace ranupa
