#include "gui/mainwindow.h"

#include "gui/imagectrl.h"
#include "gui/layoutscale.h"
#include "ui_splash1.h"

#include <QPixmap>

using namespace Qt::StringLiterals;

namespace ranupa {

MainWindow::MainWindow(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::Splash1>())
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(size());
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
