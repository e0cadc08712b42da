#pragma once

#include "core/model/outcome.h"
#include "core/pg/archive.h"

#include <QFile>
#include <QLockFile>
#include <QString>
#include <QTemporaryDir>
#include <memory>
#include <optional>

namespace ranupa {

class Operation;

// The private copy of a tar backup's members: a folder of the program's own under the system's
// temp folder (QDir::tempPath(), so TMPDIR is honoured), which pg_restore reads as an archive in
// the directory format and so can load in parallel. Once it is made, nothing that happens to the
// backup file matters any more. The folder goes with the copy; one that a killed program left
// (power cut, kill -9) is recognised by its name and its lock file, which no running program
// holds, and removed by the next run (removeLeftCopies()).
class ArchiveCopy final
{
    Q_DISABLE_COPY_MOVE(ArchiveCopy)
    struct Made // only make() makes one
    {
        explicit Made() = default;
    };

public:
    // Copies the members of the tar archive in the open `file`, in one read of it from its start,
    // walking its tar structure on the way: a structure that is not whole fails as the check of
    // the file would (DamagedBackup), and a cancel stops it. There is no copy (nullptr) for a
    // custom-format archive, which has no members, and where the temp folder lacks room for the
    // file and a margin or the copy cannot be written; the operation's notes then say why in one
    // line.
    static Result<std::unique_ptr<ArchiveCopy>> make(Operation& operation, QFile& file);
    explicit ArchiveCopy(Made);
    ~ArchiveCopy();

    QString folder() const { return m_dir.path(); }
    // As the walk found them in the file.
    const TarMembers& members() const { return m_members; }
    // countDataRows() of the member `name`, read in the copy.
    std::optional<qint64> countRows(const QString& name) const;

private:
    QTemporaryDir m_dir;
    QLockFile m_lock;
    TarMembers m_members;
};

// Removes the copies in the temp folder that no running program holds, and notes it.
void removeLeftCopies(Operation& operation);

} // namespace ranupa
