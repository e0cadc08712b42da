#include "gui/elidedpath.h"

#include <QDir>
#include <QFontMetrics>

using namespace Qt::StringLiterals;

namespace ranupa {

QString elidedPath(const QString& path, const QFontMetrics& metrics, int width)
{
    const QString shown = QDir::toNativeSeparators(path);
    if (metrics.horizontalAdvance(shown) <= width) {
        return shown;
    }
    const qsizetype lastSeparator = QDir::fromNativeSeparators(path).lastIndexOf(u'/');
    if (lastSeparator < 0) {
        return shown;
    }
    const QString name = shown.mid(lastSeparator); // with its separator
    const QString folders = metrics.elidedText(shown.left(lastSeparator), Qt::ElideMiddle,
                                               width - metrics.horizontalAdvance(name));
    return (folders.isEmpty() ? u"\u2026"_s : folders) + name;
}

} // namespace ranupa
