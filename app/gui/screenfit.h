#pragma once

#include <QSize>

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

} // namespace ranupa
