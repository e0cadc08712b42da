#pragma once

class QWidget;

namespace ranupa {

// The windows are laid out in units of a compact interface font. With a wider font, the texts
// would be cut off, so the whole layout grows by the factor that lets every text fit: the
// positions, sizes and the window's fixed size alike. Returns the factor applied (1 when the
// font fits as it is).
double scaleLayoutToFont(QWidget& window);

} // namespace ranupa
