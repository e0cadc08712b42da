#pragma once

#include <QPixmap>
#include <QWidget>

namespace ranupa {

// Shows a picture at its natural size, centred in both directions and never scaled; what does
// not fit is clipped. The offsets are half the size difference rounded towards zero, so a
// picture wider than the control loses equal strips on both sides. On a screen at more than
// one device pixel per unit, the same picture drawn at twice the size is shown, when given.
class ImageCtrl final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ImageCtrl)

public:
    using QWidget::QWidget;

    // `doubleSize`: the picture at twice the width and height, or none.
    void setImage(const QPixmap& image, const QPixmap& doubleSize = {});
    // Where the picture's top-left corner lands, in the control's coordinates.
    QPoint imageOffset() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap m_image;
    QPixmap m_doubleSize;
};

} // namespace ranupa
