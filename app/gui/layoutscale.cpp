#include "gui/layoutscale.h"

#include "gui/screenfit.h"

#include <QAbstractButton>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QList>
#include <QStringList>
#include <QWidget>
#include <algorithm>
#include <cmath>

namespace ranupa {

namespace {

constexpr double maximumScale = 2.0;
// The smallest font a window is shrunk to so that it fits on a small screen.
constexpr int smallestPixelSize = 8;
constexpr double smallestPointSize = 6.0;
// Room a button's frame takes around its text.
constexpr int buttonPadding = 8;

int widestLine(const QFontMetrics& metrics, const QString& text)
{
    int widest = 0;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        widest = std::max(widest, metrics.horizontalAdvance(line));
    }
    return widest;
}

// How much wider `widget` must be for its own text to fit.
double neededScale(const QWidget& widget)
{
    const QFontMetrics metrics = widget.fontMetrics();
    int needed = 0;
    int available = widget.width();
    if (const auto* label = qobject_cast<const QLabel*>(&widget)) {
        needed = widestLine(metrics, label->text());
    } else if (const auto* button = qobject_cast<const QAbstractButton*>(&widget)) {
        needed = metrics.horizontalAdvance(button->text()) + 2 * buttonPadding;
    } else if (const auto* frame = qobject_cast<const QGroupBox*>(&widget)) {
        needed = metrics.horizontalAdvance(frame->title()) + 2 * buttonPadding;
    }
    if (available <= 0 || needed <= available) {
        return 1.0;
    }
    return double(needed) / available;
}

QRect scaled(const QRect& rect, double factor)
{
    return {int(std::lround(rect.x() * factor)), int(std::lround(rect.y() * factor)),
            int(std::lround(rect.width() * factor)), int(std::lround(rect.height() * factor))};
}

// The factor by which every text of the window's own controls fits.
double textScale(const QList<QWidget*>& children)
{
    double factor = 1.0;
    for (const QWidget* child : children) {
        factor = std::max(factor, neededScale(*child));
    }
    return factor;
}

// The largest factor at which the window still fits on its screen; below 1 on a screen
// smaller than the layout.
double roomScale(const QWidget& window)
{
    const QSize room = roomOnScreen(window);
    const double scale =
        std::min(double(room.width()) / window.width(), double(room.height()) / window.height());
    return std::floor(scale * 100.0) / 100.0;
}

// Makes the window's font smaller until its texts fit at `factor`, or until it reaches the
// smallest size that can still be read.
void shrinkFontToFit(QWidget& window, const QList<QWidget*>& children, double factor)
{
    while (textScale(children) > factor && makeFontSmaller(window)) {
    }
}

} // namespace

bool makeFontSmaller(QWidget& widget)
{
    QFont font = widget.font();
    if (font.pixelSize() > 0) {
        if (font.pixelSize() <= smallestPixelSize) {
            return false;
        }
        font.setPixelSize(font.pixelSize() - 1);
    } else {
        if (font.pointSizeF() <= smallestPointSize) {
            return false;
        }
        font.setPointSizeF(std::max(smallestPointSize, font.pointSizeF() - 0.5));
    }
    widget.setFont(font);
    return true;
}

double scaleLayoutToFont(QWidget& window)
{
    const auto children = window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    double factor = textScale(children);
    factor = std::min(std::ceil(factor * 20.0) / 20.0, maximumScale);
    // A window larger than the screen cannot be used at all: it is kept within the screen, and
    // its font made smaller when the texts would not fit otherwise.
    if (const double room = roomScale(window); factor > room) {
        factor = room;
        shrinkFontToFit(window, children, factor);
    }
    if (factor == 1.0) {
        return factor;
    }
    for (QWidget* child : children) {
        child->setGeometry(scaled(child->geometry(), factor));
    }
    const QSize size = scaled(QRect(QPoint(), window.size()), factor).size();
    window.setMinimumSize(size);
    window.setMaximumSize(size);
    window.resize(size);
    return factor;
}

} // namespace ranupa
