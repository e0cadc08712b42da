#include "gui/scheduledialog.h"

#include "gui/screenfit.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTimeEdit>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace ranupa {

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
