#pragma once

#include "core/model/failure.h"
#include "core/pg/archivetoc.h"
#include "core/pg/tar.h"

#include <QFile>
#include <QHash>
#include <QIODevice>
#include <QString>
#include <optional>

namespace ranupa {

class Operation;

// Checks that the open backup `file` can be restored, reading it through the file, never by its
// path again: its tar structure first (pg_restore 15 can spin forever on some cut-short tar
// archives, so it must never see one), then its table of contents as pg_restore --list --create
// reads it, which must name no data member that the archive lacks. A custom-format archive has
// no tar structure; pg_restore reads it through instead. Gives the table of contents in `toc`
// (empty for the custom format) and the tar members in `members` (none for the custom format).
// Leaves the file's position anywhere.
std::optional<Failure> checkArchive(Operation& operation, QFile& file, ArchiveToc& toc,
                                    TarMembers* members = nullptr);

} // namespace ranupa
