#include "gui/confirmrestore.h"

#include "core/restore.h"
#include "gui/screenfit.h"

#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

QString unknownText()
{
    return u"tidak diketahui"_s;
}

// Day.month.year, as the program writes dates elsewhere, in the operator's own time zone.
QString createdText(const QDateTime& created)
{
    return created.isValid() ? created.toLocalTime().toString(u"dd.MM.yyyy HH:mm:ss"_s)
                             : unknownText();
}

QString sizeText(qint64 bytes)
{
    return QLocale(QLocale::Indonesian, QLocale::Indonesia)
        .formattedDataSize(bytes, 1, QLocale::DataSizeTraditionalFormat);
}

QLabel* plainLabel(const QString& text, QWidget* parent, const QString& objectName = {})
{
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText); // names and paths from the file are never markup
    label->setObjectName(objectName);
    return label;
}

} // namespace

ConfirmRestoreDialog::ConfirmRestoreDialog(const RestoreSummary& summary, QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(u"Konfirmasi Restore"_s);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setModal(true);

    auto* top = new QHBoxLayout;
    auto* icon = new QLabel(this);
    const int iconSize = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    icon->setPixmap(style()
                        ->standardIcon(QStyle::SP_MessageBoxWarning, nullptr, this)
                        .pixmap(iconSize, iconSize));
    top->addWidget(icon, 0, Qt::AlignTop);

    auto* column = new QVBoxLayout;
    auto* headline =
        plainLabel(u"Seluruh isi database pendataan akan diganti dengan isi file backup ini."_s,
                   this, u"headline"_s);
    headline->setWordWrap(true);
    QFont bold = headline->font();
    bold.setBold(true);
    headline->setFont(bold);
    // The sentence on one line where the screen has room for it.
    headline->setMinimumWidth(std::min(headline->fontMetrics().horizontalAdvance(headline->text()),
                                       roomOnScreen(*this).width() - iconSize * 2));
    column->addWidget(headline);
    addSummary(summary, *column);
    addSafetyBackupChoice(summary, *column);
    top->addLayout(column, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addSpacing(fontMetrics().height() / 2);
    layout->addLayout(makeButtons());
    layout->setSizeConstraint(QLayout::SetFixedSize);

    // Whoever just presses Enter, or looks away and presses Escape, replaces nothing.
    m_cancel->setFocus();
}

void ConfirmRestoreDialog::addSummary(const RestoreSummary& summary, QVBoxLayout& column)
{
    auto* form = new QFormLayout;
    form->addRow(u"Dibuat:"_s, plainLabel(createdText(summary.created), this, u"created"_s));
    form->addRow(u"Database:"_s, plainLabel(summary.databaseName, this, u"database"_s));
    form->addRow(u"Versi server:"_s,
                 plainLabel(summary.serverVersion.isEmpty() ? unknownText() : summary.serverVersion,
                            this, u"serverVersion"_s));
    form->addRow(u"Jumlah tabel:"_s,
                 plainLabel(QString::number(summary.tableCount), this, u"tables"_s));
    form->addRow(u"Ukuran:"_s, plainLabel(sizeText(summary.fileSize), this, u"size"_s));

    // A long path is cut in its middle, where the folders between the drive and the file's own
    // name matter least; the whole path is in the tooltip.
    const QString path = QDir::toNativeSeparators(summary.filePath);
    const int widest = std::min(fontMetrics().averageCharWidth() * 64,
                                std::max(200, roomOnScreen(*this).width() / 2));
    auto* file =
        plainLabel(fontMetrics().elidedText(path, Qt::ElideMiddle, widest), this, u"file"_s);
    file->setToolTip(path);
    file->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow(u"File:"_s, file);
    column.addLayout(form);

    if (summary.isOtherDatabase()) {
        auto* warning = plainLabel(
            u"Perhatian: file ini berisi database \"%1\", bukan "
            u"pendataan. Isinya tetap dimuat ke database pendataan."_s.arg(summary.databaseName),
            this, u"otherDatabaseWarning"_s);
        warning->setWordWrap(true);
        QFont bold = warning->font();
        bold.setBold(true);
        warning->setFont(bold);
        column.addWidget(warning);
    }
}

void ConfirmRestoreDialog::addSafetyBackupChoice(const RestoreSummary& summary, QVBoxLayout& column)
{
    m_safetyBackup = new QCheckBox(u"&Backup database saat ini terlebih dahulu"_s, this);
    m_safetyBackup->setObjectName(u"safetyBackup"_s);
    column.addWidget(m_safetyBackup);
    QString note;
    if (summary.pendataanExists) {
        m_safetyBackup->setChecked(true);
        note = u"Disimpan sebagai file backup baru di "_s +
               QDir::toNativeSeparators(safetyBackupDirFor(summary));
    } else {
        // Nothing to back up: the choice would promise a file that is never written.
        m_safetyBackup->setEnabled(false);
        note = u"Database pendataan belum ada di server; tidak ada yang perlu dibackup."_s;
    }
    auto* where = plainLabel(note, this, u"safetyBackupNote"_s);
    where->setWordWrap(true);
    where->setIndent(
        style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, m_safetyBackup) +
        style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, m_safetyBackup));
    column.addWidget(where);
}

QLayout* ConfirmRestoreDialog::makeButtons()
{
    m_replace = new QPushButton(u"&Ganti Database"_s, this);
    m_replace->setObjectName(u"replaceButton"_s);
    // Enter never presses it, not even when it has the focus: going on takes Alt+G, a click or
    // Space.
    m_replace->setAutoDefault(false);
    m_cancel = new QPushButton(u"Batal"_s, this);
    m_cancel->setObjectName(u"cancelButton"_s);
    m_cancel->setDefault(true);
    connect(m_replace, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_replace);
    buttons->addWidget(m_cancel);
    return buttons;
}

bool ConfirmRestoreDialog::safetyBackupWanted() const
{
    return m_safetyBackup->isEnabled() && m_safetyBackup->isChecked();
}

QString ConfirmRestoreDialog::safetyBackupDirFor(const RestoreSummary& summary)
{
    return QFileInfo(summary.filePath).absolutePath();
}

} // namespace ranupa
