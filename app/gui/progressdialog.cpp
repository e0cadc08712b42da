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
    m_step = addLabel({});
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
    m_bar->setRange(0, 0);
    m_bar->setTextVisible(false);
}

void ProgressDialog::setProgress(const ProgressMeasure& measure)
{
    m_measure->setText(progressText(measure));
    // A wait is no progress: the bar runs to show that the program is alive, the text says why.
    if (measure.waiting) {
        m_bar->setRange(0, 0);
        m_bar->setTextVisible(false);
    } else if (measure.isDeterminate()) {
        m_bar->setRange(0, 100);
        m_bar->setValue(measure.percent());
        m_bar->setTextVisible(true);
    }
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
