#include "core/retention.h"

#include "core/archivecheck.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <vector>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// Why a file named as a backup cannot be counted as one (and so must not be removed either).
std::optional<QString> whyNotVouchedFor(const QString& path, const QDateTime& time,
                                        const QDateTime& now)
{
    if (time > now.addSecs(allowedClockSkewSecs)) {
        return u"waktu pada namanya (%1) belum tiba"_s.arg(time.toString(u"dd.MM.yyyy hh:mm:ss"_s));
    }
    const ArchiveScan scan = scanArchiveFile(path);
    if (scan.problem) {
        return *scan.problem;
    }
    if (scan.customFormat) {
        return u"bukan arsip tar seperti yang ditulis backup program ini"_s;
    }
    return std::nullopt;
}

} // namespace

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

QStringList backupsToRemove(const QStringList& fileNames, int keep, const QString& justWritten)
{
    struct Backup
    {
        QString name;
        QDateTime time;
    };
    std::vector<Backup> backups;
    for (const QString& name : fileNames) {
        if (const QDateTime time = backupTime(name); time.isValid() && name != justWritten) {
            backups.push_back({name, time});
        }
    }
    std::sort(backups.begin(), backups.end(), [](const Backup& a, const Backup& b) {
        return a.time != b.time ? a.time > b.time : a.name > b.name;
    });
    // The backup just written is one of the `keep`.
    const auto kept = size_t(std::max(keep - (backupTime(justWritten).isValid() ? 1 : 0), 0));
    QStringList removed;
    for (size_t i = kept; i < backups.size(); ++i) {
        removed << backups[i].name;
    }
    return removed;
}

RetentionResult keepNewestBackups(const QString& directory, int keep,
                                  const QString& justWrittenPath, const QDateTime& now)
{
    const QDir dir(directory);
    const QString justWritten = QFileInfo(justWrittenPath).fileName();
    RetentionResult result;
    QStringList vouched;
    for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        const QDateTime time = backupTime(name);
        if (!time.isValid() || name == justWritten) {
            continue;
        }
        const QString path = dir.filePath(name);
        if (const std::optional<QString> doubt = whyNotVouchedFor(path, time, now)) {
            result.unvouched << path + u": "_s + *doubt;
        } else {
            vouched << name;
        }
    }
    for (const QString& name : backupsToRemove(vouched, keep, justWritten)) {
        QFile file(dir.filePath(name));
        if (file.remove()) {
            result.removed << file.fileName();
        } else {
            result.notRemoved << file.fileName() + u": "_s + file.errorString();
        }
    }
    return result;
}

} // namespace ranupa
