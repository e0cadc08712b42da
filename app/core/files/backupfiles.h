#pragma once

#include "core/model/outcome.h"

#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

// The files the program opens and writes itself, through the system's own calls where Qt's would
// block on a FIFO or replace a file of the same name, and the names of its backups.
namespace ranupa {

// The edition word every backup's name starts with.
inline constexpr QStringView editionWord = u"ranupaku";

// What a backup is for: the regular kind, or the copy of pendataan a restore makes first, which
// is named apart so that it is never taken for, nor counted among, the regular ones.
enum class BackupKind
{
    Regular,
    BeforeRestore,
};

// The file a backup writes into `targetDir` at local time `now`: targetDir, one separator,
// "ranupaku" + DDMMYYYYhhmmss + ".dbk", or + "-sebelum-restore.dbk" before a restore; in the
// system's own writing (backslashes on Windows).
QString backupFilePath(const QString& targetDir, const QDateTime& now,
                       BackupKind kind = BackupKind::Regular);

// The time in a regular backup's file name, or an invalid QDateTime when the name is not a
// regular backup's (a safety backup's is not: retention never counts those).
QDateTime backupTime(const QString& fileName);

// The time in the name of a backup of either kind, regular or made before a restore
// ("ranupaku<DDMMYYYYhhmmss>-sebelum-restore.dbk"), and which kind; invalid for other names.
QDateTime backupNameTime(const QString& fileName, bool* beforeRestore = nullptr);

// The backups of either kind among `fileNames`, newest first by the time in their names (by name
// within one second); other names are left out. The order the operator sees backups in.
QStringList backupsNewestFirst(const QStringList& fileNames);

// Opens `path` for reading only when it is a regular file (or a link to one), and says why not
// otherwise. Never blocks: a FIFO, a device or a directory is refused at once, without the open
// that would wait for a writer and stall the event loop (and with it the answer to SIGTERM).
// On success `file` is open; otherwise the failure's details say why, naming the path.
std::optional<Failure> openRegularFileForReading(const QString& path, QFile& file);

// A failure of the program's own file operation where a backup is written, its cause from the
// system's error code (errno, or GetLastError() on Windows): `text` says the same in the
// system's language, which may be any, and only goes into the details.
Failure fileFailure(const QString& step, int systemError, const QString& text);

// The file pg_dump writes a backup into until the backup has been checked: in the target
// directory, named "ranupaku<DDMMYYYYhhmmss>-<6 letters or digits>.part", which neither the
// restore's "*.dbk" filter nor the old-backup cleanup takes for a backup. It is made by this
// program (never an existing file) and locked while its backup runs; it is removed when this
// object goes, unless it has been given its final name.
class PartialBackupFile final
{
    Q_DISABLE_COPY_MOVE(PartialBackupFile)

public:
    // Creates a new, empty file in `directory`; the failure's details say why not.
    static Result<std::unique_ptr<PartialBackupFile>> create(const QString& directory,
                                                             const QDateTime& stamp);
    ~PartialBackupFile();

    QString path() const { return m_path; }

    enum class Naming
    {
        Done,
        NameTaken, // a file of that name exists and was left alone
    };
    // Makes the file's data durable, then gives the file `finalPath` as its name, never replacing
    // a file of that name. After Done the file is no longer this object's to remove.
    Result<Naming> giveFinalName(const QString& finalPath);

    // Removes the file now; the failure's details say why not.
    std::optional<Failure> remove();

private:
    explicit PartialBackupFile(const QString& path);

    QString m_path;
    QFile m_file; // held open: on Linux its lock tells a live backup from an abandoned one
    bool m_ours = true;
};

// Removes the partial backup files in `directory` that no running backup holds: those left by a
// backup that was killed. Gives the paths removed.
QStringList removeAbandonedPartialBackups(const QString& directory);

} // namespace ranupa
