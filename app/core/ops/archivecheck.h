#pragma once

#include "core/model/failure.h"
#include "core/pg/archive.h"
#include "core/pg/toolrunner.h"

#include <QFile>
#include <QHash>
#include <QIODevice>
#include <QString>
#include <optional>

namespace ranupa {

class Operation;

// What pg_restore reads a backup from: its open file, fed on the standard input from the start,
// or the folder of its private copy (archivecopy.h), read as an archive in the directory format.
struct ArchiveSource
{
    ArchiveSource(QFile& file) : file(&file) {} // NOLINT(google-explicit-constructor)
    explicit ArchiveSource(const QString& copyFolder) : folder(copyFolder) {}

    // Readies `how` to hand the archive over: the file from its start; the folder is named in the
    // command instead.
    void feed(ToolRun& how) const;

    QFile* file = nullptr;
    QString folder;
};

// Checks that the open backup `file` can be restored, reading it through the file, never by its
// path again: its tar structure first (pg_restore 15 can spin forever on some cut-short tar
// archives, so it must never see one), then its table of contents as pg_restore --list --create
// reads it, which must name no data member that the archive lacks. A custom-format archive has
// no tar structure; pg_restore reads it through instead. Gives the table of contents in `toc`
// (empty for the custom format) and the tar members in `members` (none for the custom format).
// Leaves the file's position anywhere.
std::optional<Failure> checkArchive(Operation& operation, QFile& file, ArchiveToc& toc,
                                    TarMembers* members = nullptr);

// The same check of a private copy in `copyFolder`, whose tar structure was walked as it was made
// and found to hold `members`: its table of contents, which must name no data member the archive
// lacks.
std::optional<Failure> checkCopiedArchive(Operation& operation, const QString& copyFolder,
                                          const TarMembers& members, ArchiveToc& toc);

} // namespace ranupa
