#include "gui/screenfit.h"

#include <QGuiApplication>
#include <QMargins>
#include <QScreen>
#include <QStyle>
#include <QWidget>
#include <QWindow>

namespace ranupa {

namespace {

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

} // namespace ranupa
