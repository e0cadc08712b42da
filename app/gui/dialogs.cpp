// The progress and schedule dialogs of the Database Utility (datautility.h).
#include "core/model/progress.h"
#include "gui/datautility.h"
#include "gui/screenfit.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFormLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTimeEdit>
#include <QVBoxLayout>
#include <algorithm>

using namespace Qt::StringLiterals;

namespace ranupa {

ProgressDialog::ProgressDialog(const QString& title, bool cancellable, QWidget* parent)
    : QDialog(parent)
{
    setObjectName(u"progress"_s);
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
    showBar(-1);
    layout->addWidget(m_bar);
    m_measure = addLabel(u"measure"_s);
    QLabel* elapsed = addLabel(u"elapsed"_s);
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
        connect(m_cancel, &QPushButton::clicked, this, &ProgressDialog::reject);
    }

    QElapsedTimer clock;
    clock.start();
    const auto showElapsed = [elapsed, clock] {
        elapsed->setText(tr("Waktu berjalan: %1").arg(elapsedText(clock.elapsed())));
    };
    showElapsed();
    connect(&m_ticker, &QTimer::timeout, this, showElapsed);
    m_ticker.start(1000);
}

void ProgressDialog::setStep(const QString& step)
{
    m_step->setText(step);
    m_toolLine->clear();
    m_measure->clear();
    showBar(m_overall); // running, or after a wait where the whole operation is
}

void ProgressDialog::setProgress(const ProgressMeasure& measure)
{
    m_measure->setText(progressText(measure));
    // A wait is no progress: the bar runs to show that the program is alive, the text says why.
    if (measure.waiting) {
        showBar(-1);
    } else if (m_overall >= 0) {
        showBar(m_overall); // setPlanPosition() moves it
    } else if (measure.isDeterminate()) {
        showBar(measure.percent());
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
    showBar(m_overall);
}

void ProgressDialog::showBar(int percent)
{
    m_bar->setRange(0, percent < 0 ? 0 : 100);
    if (percent >= 0) {
        m_bar->setValue(percent);
    }
    m_bar->setTextVisible(percent >= 0);
}

void ProgressDialog::setToolLine(const QString& line)
{
    m_toolLine->setText(line);
}

void ProgressDialog::finish()
{
    m_ticker.stop();
    accept();
}

void ProgressDialog::reject()
{
    if (m_cancel == nullptr || !m_cancel->isEnabled()) {
        return;
    }
    m_cancel->setEnabled(false);
    m_step->setText(tr("Membatalkan..."));
    emit cancelRequested();
}

ScheduleDialog::ScheduleDialog(const QString& backupDir, QWidget* parent)
    : QDialog(parent), m_at(new QTimeEdit(QTime(10, 0), this)), m_keep(new QSpinBox(this))
{
    setWindowTitle(u"Jadwalkan Backup Harian"_s);
    auto* folder = new QLabel(QDir::toNativeSeparators(backupDir), this);
    folder->setTextFormat(Qt::PlainText);
    folder->setWordWrap(true);
    m_at->setObjectName(u"at"_s);
    m_at->setDisplayFormat(u"HH.mm"_s);
    m_keep->setObjectName(u"keep"_s);
    m_keep->setRange(1, 999);
    m_keep->setValue(14);
    m_keep->setSuffix(u" backup terbaru"_s);

    auto* form = new QFormLayout;
    form->addRow(u"Folder:"_s, folder);
    form->addRow(u"Setiap hari &pukul:"_s, m_at);
    form->addRow(u"&Simpan:"_s, m_keep);
    // What an operator must know for it to work, and what it does.
    auto* note = new QLabel(u"Setiap backup langsung diuji, lalu backup lama di folder itu dihapus "
                            u"sehingga tinggal jumlah di atas. Komputer harus menyala pada jam "
                            u"itu."_s,
                            this);
    note->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(u"&Jadwalkan"_s, QDialogButtonBox::AcceptRole)->setDefault(true);
    buttons->addButton(u"Batal"_s, QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(note);
    layout->addWidget(buttons);
    setMinimumWidth(std::min(fontMetrics().averageCharWidth() * 60, roomOnScreen(*this).width()));
    m_at->setFocus();
}

QTime ScheduleDialog::at() const
{
    return m_at->time();
}

int ScheduleDialog::keep() const
{
    return m_keep->value();
}

} // namespace ranupa
