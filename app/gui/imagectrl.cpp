#include "gui/imagectrl.h"

#include <QPainter>

namespace ranupa {

ImageCtrl::ImageCtrl(QWidget* parent) : QWidget(parent) {}

void ImageCtrl::setImage(const QPixmap& image)
{
    m_image = image;
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
    QPainter painter(this);
    painter.drawPixmap(imageOffset(), m_image);
}

} // namespace ranupa
