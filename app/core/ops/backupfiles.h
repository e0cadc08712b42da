#pragma once

#include "core/model/failure.h"

#include <QDateTime>
#include <QFile>
#include <QString>
#include <memory>

namespace ranupa {

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
    // Gives the file `finalPath` as its name, never replacing a file of that name. After Done
    // the file is no longer this object's to remove.
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
