#include "gui/imagectrl.h"

#include <QPainter>

namespace ranupa {

ImageCtrl::ImageCtrl(QWidget* parent) : QWidget(parent) {}

void ImageCtrl::setImage(const QPixmap& image, const QPixmap& doubleSize)
{
    m_image = image;
    m_doubleSize = doubleSize;
    // Drawn at the same size as the plain picture, with twice the detail.
    m_doubleSize.setDevicePixelRatio(2.0);
    update();
}

QPoint ImageCtrl::imageOffset() const
{
    const QSize picture = m_image.deviceIndependentSize().toSize();
    return {(width() - picture.width()) / 2, (height() - picture.height()) / 2};
}

void ImageCtrl::paintEvent(QPaintEvent*)
{
    if (m_image.isNull()) {
        return;
    }
    const bool sharper = devicePixelRatioF() > 1.0 && !m_doubleSize.isNull();
    QPainter painter(this);
    // Between one and two device pixels per unit, the larger picture is shrunk rather than the
    // smaller one blown up.
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(imageOffset(), sharper ? m_doubleSize : m_image);
}

} // namespace ranupa
