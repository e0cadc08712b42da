#include "gui/progressdialog.h"

#include "core/model/progress.h"
#include "gui/screenfit.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

using namespace Qt::StringLiterals;

namespace ranupa {

ProgressDialog::ProgressDialog(const QString& title, bool cancellable, QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(title);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   (cancellable ? Qt::WindowCloseButtonHint : Qt::WindowType(0)));
    setModal(true);
    setMinimumWidth(std::min(420, roomOnScreen(*this).width()));

    auto* layout = new QVBoxLayout(this);
    const auto addLabel = [&](const QString& objectName) {
        auto* label = new QLabel(this);
        label->setObjectName(objectName);
        label->setTextFormat(Qt::PlainText);
        layout->addWidget(label);
        return label;
    };
    m_planStep = addLabel(u"planStep"_s);
    QFont bold = m_planStep->font();
    bold.setBold(true);
    m_planStep->setFont(bold);
    m_planStep->hide(); // until there is a plan of more than one step
    m_step = addLabel(u"step"_s);
    m_bar = new QProgressBar(this);
    m_bar->setObjectName(u"progressBar"_s);
    m_bar->setRange(0, 0);
    m_bar->setTextVisible(false);
    layout->addWidget(m_bar);
    m_measure = addLabel(u"measure"_s);
    m_elapsed = addLabel(u"elapsed"_s);
    m_toolLine = addLabel(u"toolLine"_s);
    // A long line must not widen the dialog; it is cut at the label's edge instead.
    m_toolLine->setMinimumWidth(1);
    m_toolLine->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    // The tool's own words are there for the curious: smaller than the program's.
    QFont smaller = m_toolLine->font();
    smaller.setPointSizeF(smaller.pointSizeF() * 0.85);
    m_toolLine->setFont(smaller);
    m_toolLine->setForegroundRole(QPalette::PlaceholderText);

    if (cancellable) {
        m_cancel = new QPushButton(tr("Batal"), this);
        m_cancel->setObjectName(u"cancelButton"_s);
        m_cancel->setAutoDefault(false);
        layout->addWidget(m_cancel, 0, Qt::AlignRight);
        connect(m_cancel, &QPushButton::clicked, this, &ProgressDialog::requestCancel);
    }

    m_clock.start();
    showElapsed();
    m_ticker.setInterval(1000);
    connect(&m_ticker, &QTimer::timeout, this, &ProgressDialog::showElapsed);
    m_ticker.start();
}

void ProgressDialog::setStep(const QString& step)
{
    m_step->setText(step);
    m_toolLine->clear();
    m_measure->clear();
    if (m_overall < 0) {
        showBarRunning();
    } else {
        showBarAt(m_overall); // after a wait
    }
}

void ProgressDialog::setProgress(const ProgressMeasure& measure)
{
    m_measure->setText(progressText(measure));
    // A wait is no progress: the bar runs to show that the program is alive, the text says why.
    if (measure.waiting) {
        showBarRunning();
    } else if (m_overall >= 0) {
        showBarAt(m_overall); // setPlanPosition() moves it
    } else if (measure.isDeterminate()) {
        showBarAt(measure.percent());
    }
}

void ProgressDialog::setPlanPosition(const PlanPosition& position)
{
    // What the previous step did or measured is no longer what runs.
    if (position.title != m_planStep->text()) {
        m_step->clear();
        m_measure->clear();
        m_toolLine->clear();
    }
    m_planStep->setText(position.title);
    m_planStep->setVisible(!position.title.isEmpty());
    m_overall = position.percent;
    showBarAt(m_overall);
}

void ProgressDialog::showBarAt(int percent)
{
    m_bar->setRange(0, 100);
    m_bar->setValue(percent);
    m_bar->setTextVisible(true);
}

void ProgressDialog::showBarRunning()
{
    m_bar->setRange(0, 0);
    m_bar->setTextVisible(false);
}

void ProgressDialog::showElapsed()
{
    m_elapsed->setText(tr("Waktu berjalan: %1").arg(elapsedText(m_clock.elapsed())));
}

void ProgressDialog::setToolLine(const QString& line)
{
    m_toolLine->setText(line);
}

void ProgressDialog::finish()
{
    m_finished = true;
    m_ticker.stop();
    accept();
}

void ProgressDialog::reject()
{
    requestCancel();
}

void ProgressDialog::closeEvent(QCloseEvent* event)
{
    if (m_finished) {
        QDialog::closeEvent(event);
        return;
    }
    event->ignore();
    requestCancel();
}

void ProgressDialog::requestCancel()
{
    if (m_cancel == nullptr || !m_cancel->isEnabled()) {
        return;
    }
    m_cancel->setEnabled(false);
    m_step->setText(tr("Membatalkan..."));
    emit cancelRequested();
}

} // namespace ranupa
