#pragma once

#include <QSize>
#include <QString>

class QFontMetrics;
class QLabel;
class QWidget;

namespace ranupa {

// The room a top-level window may take on the screen it shows on: the screen's available area
// (without task bars and panels) less the window's frame. Before a window is shown its frame is
// not known yet; the frame of another window of the program, or else the style's title bar
// height, stands in for it.
QSize roomOnScreen(const QWidget& window);

// Keeps a resizable window, such as a file selector, within roomOnScreen(): its size and its
// minimum size shrink where they do not fit. A window that fits is left as it is.
void fitToScreen(QWidget& window);

// The windows are laid out in units of a compact interface font. With a wider font, the texts
// would be cut off, so the whole layout grows by the factor that lets every text fit: the
// positions, sizes and the window's fixed size alike. The window never grows beyond the room on
// its screen, though: where that is too small, the factor stops there (below 1 on a screen
// smaller than the layout) and the window's font is made smaller until the texts fit again.
void scaleLayoutToFont(QWidget& window);

// Makes `widget`'s font one step smaller; false, and unchanged, at the smallest size that can
// still be read.
bool makeFontSmaller(QWidget& widget);

// `path` in the system's own writing, within `width` where that takes cutting: the folders are cut
// in their middle (the drive and the nearest folder stay), the last name is kept whole, as the
// date in a backup's name is what tells one backup from another. A name wider than `width` alone
// is still whole, after "…" and a separator.
QString elidedPath(const QString& path, const QFontMetrics& metrics, int width);

// `text` cut into the lines that `label`'s width and height hold; the last line that fits is
// shortened when more would follow.
QString fittedLines(const QString& text, const QLabel& label);

} // namespace ranupa
