#pragma once

#include <QDialog>
#include <QTimer>

class QLabel;
class QProgressBar;
class QPushButton;

namespace ranupa {

struct PlanPosition;
struct ProgressMeasure;

// Shows which numbered step of a backup or restore runs and what it does, how far it has come
// where that is measured (or what it waits for), the time since it began, and, smaller, the latest
// line its tool wrote. Once the operation has a plan of steps, the bar is one over all of them.
// It cannot be closed by the user; only finish() closes it. With a cancel button, Escape and the
// close box ask for cancellation instead.
class ProgressDialog final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ProgressDialog)

public:
    ProgressDialog(const QString& title, bool cancellable, QWidget* parent = nullptr);

    // A new step starts unmeasured: without a plan, the bar runs until setProgress() gives it a
    // total; with one, it stays where the whole operation is.
    void setStep(const QString& step);
    void setProgress(const ProgressMeasure& measure);
    void setPlanPosition(const PlanPosition& position);
    void setToolLine(const QString& line);
    void finish();

signals:
    void cancelRequested();

public slots:
    // Asks for cancellation and leaves the dialog open. The close box and Escape come here too:
    // QDialog's closeEvent() then ignores the close, as the dialog is still visible.
    void reject() override;

private:
    void showBarAt(int percent);
    void showBarRunning();

    QLabel* m_planStep = nullptr;
    QLabel* m_step = nullptr;
    QProgressBar* m_bar = nullptr;
    QLabel* m_measure = nullptr;
    QLabel* m_toolLine = nullptr;
    QPushButton* m_cancel = nullptr;
    QTimer m_ticker;
    int m_overall = -1; // the whole operation's percent, once it has a plan
};

} // namespace ranupa
