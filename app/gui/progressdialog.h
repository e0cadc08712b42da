#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QTimer>

class QLabel;
class QProgressBar;
class QPushButton;

namespace ranupa {

struct ProgressMeasure;

// Shows which step of a backup or restore runs, how far it has come where that is measured (or
// what it waits for), the time since it began, and, smaller, the latest line its tool wrote. It
// cannot be closed by the user; only finish() closes it. With a cancel button, Escape and the close
// box ask for cancellation instead.
class ProgressDialog final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ProgressDialog)

public:
    ProgressDialog(const QString& title, bool cancellable, QWidget* parent = nullptr);

    // A new step starts unmeasured: the bar runs until setProgress() gives it a total.
    void setStep(const QString& step);
    void setProgress(const ProgressMeasure& measure);
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
    void showElapsed();

    QLabel* m_step = nullptr;
    QProgressBar* m_bar = nullptr;
    QLabel* m_measure = nullptr;
    QLabel* m_elapsed = nullptr;
    QLabel* m_toolLine = nullptr;
    QPushButton* m_cancel = nullptr;
    QElapsedTimer m_clock;
    QTimer m_ticker;
    bool m_finished = false;
};

} // namespace ranupa
