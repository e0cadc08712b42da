#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class Splash1;
}

namespace ranupa {

// The first window: a banner, a short explanation, "Backup / Restore" (the rejecting button)
// and "Exit" (the accepting one, pressed by Enter while no button has the focus).
class MainWindow final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MainWindow)

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

private:
    std::unique_ptr<Ui::Splash1> ui;
};

} // namespace ranupa
