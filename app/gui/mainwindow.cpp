#include "gui/mainwindow.h"

#include "gui/imagectrl.h"
#include "gui/screenfit.h"
#include "ui_splash1.h"

#include <QPainter>
#include <QPixmap>

using namespace Qt::StringLiterals;

namespace ranupa {

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

MainWindow::MainWindow(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::Splash1>())
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    scaleLayoutToFont(*this);

    ui->imc->setImage(QPixmap(u":/banner_helper.png"_s), QPixmap(u":/banner_helper@2x.png"_s));

    connect(ui->ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->cancel, &QPushButton::clicked, this, &QDialog::reject);

    // The window itself holds the focus when it opens, so that no button is focused and Enter
    // goes to the default button "Exit"; Tab then walks the two buttons. Without a focus policy
    // of its own, QDialog would hand the focus to "Exit" when it opens.
    setFocusPolicy(Qt::ClickFocus);
    setFocus();
}

MainWindow::~MainWindow() = default;

} // namespace ranupa
