#include "core/ops/retention.h"

#include "core/model/wording.h"
#include "core/pg/archive.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <functional>
#include <vector>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// Why a file named as a backup cannot be counted as one (and so must not be removed either).
std::optional<QString> whyNotVouchedFor(const QString& path, const QDateTime& time,
                                        const QDateTime& now)
{
    if (time > now.addSecs(allowedClockSkewSecs)) {
        return u"waktu pada namanya (%1) belum tiba"_s.arg(wording::dateTime(time));
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

QList<BackupFile> listBackups(const QString& directory)
{
    const QDir dir(directory);
    QList<BackupFile> backups;
    for (const QString& name : backupsNewestFirst(dir.entryList(QDir::Files))) {
        BackupFile backup;
        backup.path = dir.filePath(name);
        backup.time = backupNameTime(name, &backup.beforeRestore);
        backup.size = QFileInfo(backup.path).size();
        backups << backup;
    }
    return backups;
}

QString describeBackup(const BackupFile& backup, const QDateTime& now)
{
    // A name dated ahead of the clock, beyond the skew of machines sharing a folder, was not
    // "just made".
    const QString age = backup.time > now.addSecs(allowedClockSkewSecs)
                            ? u"waktu di nama file ada di masa depan"_s
                            : wording::age(backup.time, now);
    return QStringList{wording::dateTime(backup.time), age, wording::size(backup.size),
                       backup.beforeRestore ? u"backup pengaman sebelum restore"_s
                                            : u"backup biasa"_s,
                       QFileInfo(backup.path).fileName()}
        .join(u" | "_s);
}

QStringList backupsToRemove(const QStringList& fileNames, int keep, const QString& justWritten)
{
    QStringList regular;
    for (const QString& name : fileNames) {
        if (backupTime(name).isValid() && name != justWritten) {
            regular << name;
        }
    }
    // The backup just written is one of the `keep`.
    const int kept = std::max(keep - (backupTime(justWritten).isValid() ? 1 : 0), 0);
    return backupsNewestFirst(regular).mid(kept);
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
