#pragma once

#include <QString>

class QFontMetrics;

namespace ranupa {

// `path` in the system's own writing, within `width` where that takes cutting: the folders are cut
// in their middle (the drive and the nearest folder stay), the last name is kept whole, as the
// date in a backup's name is what tells one backup from another. A name wider than `width` alone
// is still whole, after "…" and a separator.
QString elidedPath(const QString& path, const QFontMetrics& metrics, int width);

} // namespace ranupa
