#include "gui/layoutscale.h"

#include <QAbstractButton>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QStringList>
#include <QWidget>
#include <algorithm>
#include <cmath>

namespace ranupa {

namespace {

constexpr double maximumScale = 2.0;
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

} // namespace

double scaleLayoutToFont(QWidget& window)
{
    const auto children = window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    double factor = 1.0;
    for (const QWidget* child : children) {
        factor = std::max(factor, neededScale(*child));
    }
    factor = std::min(std::ceil(factor * 20.0) / 20.0, maximumScale);
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
