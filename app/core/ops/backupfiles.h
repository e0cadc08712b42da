#pragma once

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
    // Creates a new, empty file in `directory`; nothing and `problem` set when that fails.
    static std::unique_ptr<PartialBackupFile> create(const QString& directory,
                                                     const QDateTime& stamp, QString& problem);
    ~PartialBackupFile();

    QString path() const { return m_path; }

    enum class Naming
    {
        Done,
        NameTaken, // a file of that name exists and was left alone
        Failed,
    };
    // Gives the file `finalPath` as its name, never replacing a file of that name. After Done
    // the file is no longer this object's to remove.
    Naming giveFinalName(const QString& finalPath, QString& problem);

    // Removes the file now; says why not when that fails.
    bool remove(QString& problem);

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
