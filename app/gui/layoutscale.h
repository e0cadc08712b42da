#pragma once

class QWidget;

namespace ranupa {

// The windows are laid out in units of a compact interface font. With a wider font, the texts
// would be cut off, so the whole layout grows by the factor that lets every text fit: the
// positions, sizes and the window's fixed size alike. The window never grows beyond the room on
// its screen, though: where that is too small, the factor stops there (below 1 on a screen
// smaller than the layout) and the window's font is made smaller until the texts fit again.
// Returns the factor applied (1 when the font fits as it is).
double scaleLayoutToFont(QWidget& window);

// Makes `widget`'s font one step smaller; false, and unchanged, at the smallest size that can
// still be read.
bool makeFontSmaller(QWidget& widget);

} // namespace ranupa
