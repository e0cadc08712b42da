#include "core/model/names.h"

#include <QDir>
#include <QRegularExpression>
#include <algorithm>
#include <functional>
#include <vector>

using namespace Qt::StringLiterals;

namespace ranupa {

// In the system's own writing, with one separator before the name also after a folder given as
// "D:\" or "C:\Cadangan\".
QString backupFilePath(const QString& targetDir, const QDateTime& now, BackupKind kind)
{
    const QString name =
        editionWord.toString() + now.toString(u"ddMMyyyyhhmmss"_s) +
        (kind == BackupKind::BeforeRestore ? u"-sebelum-restore.dbk"_s : u".dbk"_s);
    return QDir::toNativeSeparators(QDir(targetDir).filePath(name));
}

QDateTime backupTime(const QString& fileName)
{
    bool beforeRestore = false;
    const QDateTime time = backupNameTime(fileName, &beforeRestore);
    return beforeRestore ? QDateTime() : time;
}

QDateTime backupNameTime(const QString& fileName, bool* beforeRestore)
{
    static const QRegularExpression pattern(u"^ranupaku(\\d{14})(-sebelum-restore)?\\.dbk$"_s);
    const QRegularExpressionMatch match = pattern.match(fileName);
    if (beforeRestore != nullptr) {
        *beforeRestore = match.hasMatch() && match.hasCaptured(2);
    }
    if (!match.hasMatch()) {
        return {};
    }
    return QDateTime::fromString(match.captured(1), u"ddMMyyyyhhmmss"_s);
}

QStringList backupsNewestFirst(const QStringList& fileNames)
{
    std::vector<std::pair<QDateTime, QString>> backups;
    for (const QString& name : fileNames) {
        if (const QDateTime time = backupNameTime(name); time.isValid()) {
            backups.emplace_back(time, name);
        }
    }
    std::sort(backups.begin(), backups.end(), std::greater<>());
    QStringList sorted;
    for (const auto& backup : backups) {
        sorted << backup.second;
    }
    return sorted;
}

} // namespace ranupa
