#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace ranupa {

// Shows which step of a backup or restore runs and the latest line its tool wrote. It cannot be
// closed by the user; only finish() closes it. With a cancel button, Escape and the close box
// ask for cancellation instead.
class ProgressDialog final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ProgressDialog)

public:
    ProgressDialog(const QString& title, bool cancellable, QWidget* parent = nullptr);

    void setStep(const QString& step);
    void setToolLine(const QString& line);
    void finish();

signals:
    void cancelRequested();

public slots:
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void requestCancel();

    QLabel* m_step = nullptr;
    QLabel* m_toolLine = nullptr;
    QPushButton* m_cancel = nullptr;
    bool m_finished = false;
};

} // namespace ranupa
