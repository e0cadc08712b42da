#pragma once

#include "core/archivetoc.h"
#include "core/failurecause.h"

#include <QIODevice>
#include <QMetaType>
#include <QObject>
#include <QSet>
#include <QString>
#include <chrono>
#include <memory>
#include <optional>

namespace ranupa {

struct ToolResult;

// What a walk through the tar structure of an archive found.
struct TarWalk
{
    std::optional<QString> problem; // why it cannot be restored; nothing when it is whole
    QSet<QString> members;          // the names of the members met on the way
};

// Walks the tar structure of `device` from its current position: every member header must be
// valid and every member's data and padding present, and the archive must end with its two zero
// blocks and nothing after them, as pg_dump writes it. Reads the headers only, never the data.
TarWalk walkTar(QIODevice& device);
std::optional<QString> tarStructureProblem(QIODevice& device);

// What the file itself says about an archive, before any tool reads it.
struct ArchiveScan
{
    std::optional<QString> problem;
    bool unreadable = false;   // the problem is that the file cannot be opened at all
    bool customFormat = false; // starts with "PGDMP": no tar structure to walk
    QSet<QString> members;     // of a tar archive
};

// Opens the file only when it is a regular file (never blocking on a FIFO or a device), then
// walks its tar structure; a file in the custom archive format has none and passes. A missing,
// unreadable or empty file is a problem.
ArchiveScan scanArchiveFile(const QString& filePath);
std::optional<QString> archiveStructureProblem(const QString& filePath);

// Whether every data member that the table of contents names is among a tar archive's members:
// "<dump id>.dat" for each TABLE DATA entry, and with a BLOBS entry "blobs.toc" and
// "blob_<oid>.dat" for each BLOB. pg_restore --list reads the table of contents only, so an
// archive that lost its later members is listed fine; this says which are missing.
std::optional<QString> missingDataMembers(const ArchiveToc& toc, const QSet<QString>& members);

// The pg_restore command line that reads the archive's table of contents without a server.
QString archiveListCommandLine(const QString& filePath);

// The pg_restore command line that reads a custom-format archive through to its end, writing
// the script nowhere: its table of contents is read fine even when the data behind it is cut.
QString archiveReadThroughCommandLine(const QString& filePath);

struct ArchiveCheckResult
{
    bool ok = false;
    QString problem; // on failure: what is wrong with the file, with what pg_restore wrote
    FailureCause cause = FailureCause::Unknown; // on failure: mostly DamagedBackup
};

// Checks that a backup file can be restored: its tar structure first (pg_restore 15 can spin
// forever on some cut-short tar archives, so it must never see one), then pg_restore --list,
// whose table of contents must name no data member that the archive lacks. A custom-format
// archive has no tar structure; pg_restore reads it through instead.
class ArchiveCheck final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ArchiveCheck)

public:
    // pg_restore --list reads only the table of contents; longer than this means it is stuck.
    static constexpr std::chrono::seconds listTimeout{120};
    // Reading a custom-format archive through gets this long for each 10 MB on top.
    static constexpr std::chrono::seconds readThroughTimePer10MB{1};

    explicit ArchiveCheck(QObject* parent = nullptr);
    ~ArchiveCheck() override;

    // finished() follows exactly once, never from inside start().
    void start(const QString& filePath);
    // Ends a running pg_restore --list; finished() then reports a failure.
    void cancel();

signals:
    void toolLine(const QString& line);
    void finished(const ranupa::ArchiveCheckResult& result);

private:
    ArchiveCheckResult judgeToolResult(const ToolResult& tool, bool customFormat,
                                       const QSet<QString>& members) const;

    struct Private;
    std::unique_ptr<Private> d;
};

// Runs the whole check in a local event loop; for tests and command-line use.
ArchiveCheckResult checkArchive(const QString& filePath);

} // namespace ranupa

Q_DECLARE_METATYPE(ranupa::ArchiveCheckResult)
