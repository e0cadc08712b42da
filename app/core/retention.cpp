#include "core/retention.h"

#include <QRegularExpression>
#include <algorithm>
#include <vector>

using namespace Qt::StringLiterals;

namespace ranupa {

QDateTime backupTime(const QString& fileName)
{
    static const QRegularExpression pattern(u"^ranupaku(\\d{14})\\.dbk$"_s);
    const QRegularExpressionMatch match = pattern.match(fileName);
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

} // namespace ranupa
