#include "gui/screenfit.h"

#include <QAbstractButton>
#include <QDir>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMargins>
#include <QScreen>
#include <QStyle>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

constexpr double maximumScale = 2.0;
// The smallest font a window is shrunk to so that it fits on a small screen.
constexpr int smallestPixelSize = 8;
constexpr double smallestPointSize = 6.0;
// Room a button's frame takes around its text.
constexpr int buttonPadding = 8;

QMargins expectedFrame(const QWidget& window)
{
    if (const QWindow* handle = window.windowHandle();
        handle != nullptr && !handle->frameMargins().isNull()) {
        return handle->frameMargins();
    }
    // The window manager frames every window of the program alike.
    for (const QWindow* other : QGuiApplication::topLevelWindows()) {
        if (!other->frameMargins().isNull()) {
            return other->frameMargins();
        }
    }
    const QStyle* style = window.style();
    const int border = style->pixelMetric(QStyle::PM_MdiSubWindowFrameWidth, nullptr, &window);
    const int titleBar = style->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, &window);
    return {border, titleBar + border, border, border};
}

// How much wider `widget` must be for its own text to fit.
double neededScale(const QWidget& widget)
{
    const QFontMetrics metrics = widget.fontMetrics();
    int needed = 0;
    if (const auto* label = qobject_cast<const QLabel*>(&widget)) {
        for (const QString& line : label->text().split(u'\n')) {
            needed = std::max(needed, metrics.horizontalAdvance(line));
        }
    } else if (const auto* button = qobject_cast<const QAbstractButton*>(&widget)) {
        needed = metrics.horizontalAdvance(button->text()) + 2 * buttonPadding;
    } else if (const auto* frame = qobject_cast<const QGroupBox*>(&widget)) {
        needed = metrics.horizontalAdvance(frame->title()) + 2 * buttonPadding;
    }
    const int available = widget.width();
    return available <= 0 || needed <= available ? 1.0 : double(needed) / available;
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

} // namespace

QSize roomOnScreen(const QWidget& window)
{
    const QScreen* screen = window.screen();
    if (screen == nullptr) {
        return {QWIDGETSIZE_MAX, QWIDGETSIZE_MAX};
    }
    return screen->availableGeometry().size().shrunkBy(expectedFrame(window)).expandedTo({1, 1});
}

void fitToScreen(QWidget& window)
{
    const QSize room = roomOnScreen(window);
    const QSize minimum = window.minimumSizeHint().expandedTo(window.minimumSize());
    if (minimum.width() > room.width() || minimum.height() > room.height()) {
        // An explicit minimum overrides the one the layout would impose: the contents get
        // tighter, but every part of the window stays on the screen.
        window.setMinimumSize(minimum.boundedTo(room));
    }
    window.resize(window.size().boundedTo(room));
}

void scaleLayoutToFont(QWidget& window)
{
    window.setFixedSize(window.size());
    const auto children = window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    double factor = std::min(std::ceil(textScale(children) * 20.0) / 20.0, maximumScale);
    // A window larger than the screen cannot be used at all: it is kept within the screen, and
    // its font made smaller when the texts would not fit otherwise.
    if (const double room = roomScale(window); factor > room) {
        factor = room;
        while (textScale(children) > factor && makeFontSmaller(window)) {
        }
    }
    if (factor == 1.0) {
        return;
    }
    for (QWidget* child : children) {
        child->setGeometry(scaled(child->geometry(), factor));
    }
    window.setFixedSize(scaled(QRect(QPoint(), window.size()), factor).size());
}

bool makeFontSmaller(QWidget& widget)
{
    QFont font = widget.font();
    const bool inPixels = font.pixelSize() > 0;
    if (inPixels ? font.pixelSize() <= smallestPixelSize : font.pointSizeF() <= smallestPointSize) {
        return false;
    }
    if (inPixels) {
        font.setPixelSize(font.pixelSize() - 1);
    } else {
        font.setPointSizeF(std::max(smallestPointSize, font.pointSizeF() - 0.5));
    }
    widget.setFont(font);
    return true;
}

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

QString fittedLines(const QString& text, const QLabel& label)
{
    const QFontMetrics metrics = label.fontMetrics();
    const int maxLines = std::max(1, label.height() / metrics.lineSpacing());
    QStringList lines;
    for (const QString& word : text.split(u' ', Qt::SkipEmptyParts)) {
        const QString longer = lines.isEmpty() ? word : lines.last() + u' ' + word;
        if (!lines.isEmpty() && metrics.horizontalAdvance(longer) <= label.width()) {
            lines.last() = longer;
        } else {
            lines << word;
        }
    }
    if (lines.size() > maxLines) {
        lines = lines.mid(0, maxLines);
        lines.last() += u" \u2026"_s;
    }
    for (QString& line : lines) {
        line = metrics.elidedText(line, Qt::ElideRight, label.width());
    }
    return lines.join(u'\n');
}

} // namespace ranupa
