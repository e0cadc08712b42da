#pragma once

#include <QIODevice>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <chrono>
#include <memory>
#include <optional>

namespace ranupa {

// Why the tar structure of `device` (read from its current position) cannot be restored, or
// nothing when every member header is valid, every member's data and padding is present and the
// archive ends with its two zero blocks. Reads the headers only, never the members' data.
std::optional<QString> tarStructureProblem(QIODevice& device);

// The same for a file; a file in the custom archive format (it starts with "PGDMP") has no tar
// structure and passes. A missing, unreadable or empty file is a problem.
std::optional<QString> archiveStructureProblem(const QString& filePath);

// Whether the file starts like an archive in pg_dump's custom format.
bool isCustomFormatArchive(const QString& filePath);

// The pg_restore command line that reads the archive's table of contents without a server.
QString archiveListCommandLine(const QString& filePath);

// The pg_restore command line that reads a custom-format archive through to its end, writing
// the script nowhere: its table of contents is read fine even when the data behind it is cut.
QString archiveReadThroughCommandLine(const QString& filePath);

struct ArchiveCheckResult
{
    bool ok = false;
    QString problem; // on failure: what is wrong with the file, with what pg_restore wrote
};

// Checks that a backup file can be restored: its tar structure first (pg_restore 15 can spin
// forever on some cut-short tar archives, so it must never see one), then pg_restore --list.
// A custom-format archive has no tar structure; pg_restore reads it through instead.
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
    struct Private;
    std::unique_ptr<Private> d;
};

// Runs the whole check in a local event loop; for tests and command-line use.
ArchiveCheckResult checkArchive(const QString& filePath);

} // namespace ranupa

Q_DECLARE_METATYPE(ranupa::ArchiveCheckResult)
