#include "gui/progressdialog.h"

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
    m_step = new QLabel(this);
    m_step->setTextFormat(Qt::PlainText);
    layout->addWidget(m_step);

    auto* bar = new QProgressBar(this);
    bar->setRange(0, 0); // the tools say nothing about how far they are
    bar->setTextVisible(false);
    layout->addWidget(bar);

    m_toolLine = new QLabel(this);
    m_toolLine->setTextFormat(Qt::PlainText);
    m_toolLine->setObjectName(u"toolLine"_s);
    // A long line must not widen the dialog; it is cut at the label's edge instead.
    m_toolLine->setMinimumWidth(1);
    m_toolLine->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    layout->addWidget(m_toolLine);

    if (cancellable) {
        m_cancel = new QPushButton(tr("Batal"), this);
        m_cancel->setObjectName(u"cancelButton"_s);
        m_cancel->setAutoDefault(false);
        layout->addWidget(m_cancel, 0, Qt::AlignRight);
        connect(m_cancel, &QPushButton::clicked, this, &ProgressDialog::requestCancel);
    }
}

void ProgressDialog::setStep(const QString& step)
{
    m_step->setText(step);
    m_toolLine->clear();
}

void ProgressDialog::setToolLine(const QString& line)
{
    m_toolLine->setText(line);
}

void ProgressDialog::finish()
{
    m_finished = true;
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
