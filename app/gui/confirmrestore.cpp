#include "core/model/outcome.h"
#include "core/model/wording.h"
#include "gui/datautility.h"
#include "gui/screenfit.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QTemporaryFile>
#include <QVBoxLayout>
#include <algorithm>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

QString createdText(const QDateTime& created)
{
    return created.isValid() ? u"%1 (%2)"_s.arg(wording::dateTime(created), wording::age(created))
                             : wording::dateTime(created);
}

// "15.18 (Debian 15.18-0+deb12u1)" as the archive names it: the packager's part tells an
// operator nothing.
QString serverText(const QString& version)
{
    return version.isEmpty() ? u"tidak diketahui"_s
                             : u"PostgreSQL "_s + version.section(u' ', 0, 0);
}

// Only writing tells: permission bits know nothing of a write-protected flash disk, nor of an
// administrator's rights.
bool canWriteIn(const QString& folder)
{
    QTemporaryFile probe(QDir(folder).filePath(u".ranupa-XXXXXX"_s));
    return probe.open();
}

QLabel* plainLabel(const QString& text, QWidget* parent, const QString& objectName)
{
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText); // names and paths from the file are never markup
    label->setObjectName(objectName);
    return label;
}

// A long path loses folders from its middle; the file's own name stays whole.
QString shortPath(const QString& path, const QWidget& dialog)
{
    const QFontMetrics metrics = dialog.fontMetrics();
    const int widest =
        std::min(metrics.averageCharWidth() * 64, std::max(200, roomOnScreen(dialog).width() / 2));
    return elidedPath(path, metrics, widest);
}

void setBold(QLabel& label, bool bold = true)
{
    QFont font = label.font();
    font.setBold(bold);
    label.setFont(font);
}

// A sentence that must not be missed.
QLabel* boldParagraph(const QString& text, QWidget* parent, const QString& objectName)
{
    QLabel* label = plainLabel(text, parent, objectName);
    label->setWordWrap(true);
    setBold(*label);
    return label;
}

// What the backup holds, with the path of its file shortened; the whole path is its tooltip.
QFormLayout* makeSummary(const RestoreSummary& summary, QWidget& dialog)
{
    auto* form = new QFormLayout;
    const auto addRow = [&](const QString& label, const QString& text, const QString& name) {
        QLabel* value = plainLabel(text, &dialog, name);
        form->addRow(label, value);
        return value;
    };
    addRow(u"Dibuat:"_s, createdText(summary.created), u"created"_s);
    if (summary.created.isValid()) {
        addRow({}, u"Data yang dimasukkan setelah itu akan diganti."_s, u"replacedSince"_s);
    }
    addRow(u"Database:"_s, summary.databaseName, u"database"_s);
    addRow(u"Versi server:"_s, serverText(summary.serverVersion), u"serverVersion"_s);
    addRow(u"Jumlah tabel:"_s, QString::number(summary.tableCount), u"tables"_s);
    addRow(u"Ukuran:"_s, wording::size(summary.fileSize), u"size"_s);
    QLabel* file = addRow(u"File:"_s, shortPath(summary.filePath, dialog), u"file"_s);
    file->setToolTip(QDir::toNativeSeparators(summary.filePath));
    file->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return form;
}

QLayout* makeButtons(QDialog& dialog)
{
    auto* replace = new QPushButton(u"&Ganti Database"_s, &dialog);
    replace->setObjectName(u"replaceButton"_s);
    // Enter never presses it, not even when it has the focus: going on takes Alt+G, a click or
    // Space.
    replace->setAutoDefault(false);
    auto* cancel = new QPushButton(u"Batal"_s, &dialog);
    cancel->setObjectName(u"cancelButton"_s);
    cancel->setDefault(true);
    // Whoever just presses Enter, or looks away and presses Escape, replaces nothing.
    cancel->setFocus();
    QObject::connect(replace, &QPushButton::clicked, &dialog, &QDialog::accept);
    QObject::connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(replace);
    buttons->addWidget(cancel);
    return buttons;
}

} // namespace

ConfirmRestoreDialog::ConfirmRestoreDialog(const RestoreSummary& summary,
                                           const QString& lastBackupFolder, QWidget* parent)
    : QDialog(parent), m_lastBackupFolder(lastBackupFolder)
{
    setWindowTitle(u"Konfirmasi Restore"_s);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setModal(true);

    auto* top = new QHBoxLayout;
    auto* icon = new QLabel(this);
    const int iconSize = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    const QIcon warning = style()->standardIcon(QStyle::SP_MessageBoxWarning, nullptr, this);
    icon->setPixmap(warning.pixmap(iconSize));
    top->addWidget(icon, 0, Qt::AlignTop);

    // Everything above the buttons scrolls where the screen is too small for it.
    auto* content = new QWidget(this);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins({});
    auto* headline =
        boldParagraph(u"Seluruh isi database pendataan akan diganti dengan isi file backup ini."_s,
                      this, u"headline"_s);
    // The sentence on one line where the screen has room for it, and for a scroll bar beside it.
    headline->setMinimumWidth(
        std::min(headline->fontMetrics().horizontalAdvance(headline->text()),
                 roomOnScreen(*this).width() - iconSize * 2 -
                     style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this)));
    column->addWidget(headline);
    m_summary = makeSummary(summary, *this);
    column->addLayout(m_summary);
    if (summary.isOtherDatabase()) {
        column->addWidget(boldParagraph(
            u"Perhatian: file ini berisi database \"%1\", bukan "
            u"pendataan. Isinya tetap dimuat ke database pendataan."_s.arg(summary.databaseName),
            this, u"otherDatabaseWarning"_s));
    }
    addSafetyBackupChoice(summary, *column);
    m_scroll = new QScrollArea(this);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_scroll->setFocusPolicy(Qt::NoFocus); // Tab walks the choice and the buttons only
    m_scroll->setWidget(content);
    top->addWidget(m_scroll, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addSpacing(fontMetrics().height() / 2);
    layout->addLayout(makeButtons(*this));
    layout->setSizeConstraint(QLayout::SetFixedSize);
    showSafetyBackupNote();
}

void ConfirmRestoreDialog::addSafetyBackupChoice(const RestoreSummary& summary, QVBoxLayout& column)
{
    m_safetyBackup = new QCheckBox(u"&Backup database saat ini terlebih dahulu"_s, this);
    m_safetyBackup->setObjectName(u"safetyBackup"_s);
    column.addWidget(m_safetyBackup);
    const int indent =
        style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, m_safetyBackup) +
        style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, m_safetyBackup);
    m_note = plainLabel({}, this, u"safetyBackupNote"_s);
    m_note->setWordWrap(true);
    m_note->setIndent(indent);
    column.addWidget(m_note);
    if (!summary.pendataanExists) {
        // Nothing to back up: the choice would promise a file that is never written.
        m_safetyBackup->setEnabled(false);
        return;
    }
    m_safetyBackup->setChecked(true);
    setSafetyBackupFolder(QFileInfo(summary.filePath).absolutePath());
    if (!m_folderWritable) {
        // Said before "Ganti Database" is pressed, with a way on that keeps the safety backup:
        // otherwise it would fail only once the restore has begun.
        m_chooseFolder = new QPushButton(u"&Pilih folder..."_s, this);
        m_chooseFolder->setObjectName(u"chooseFolder"_s);
        connect(m_chooseFolder, &QPushButton::clicked, this,
                &ConfirmRestoreDialog::chooseSafetyBackupFolder);
        auto* row = new QHBoxLayout;
        row->addSpacing(indent);
        row->addWidget(m_chooseFolder);
        row->addStretch(1);
        column.addLayout(row);
    }
    connect(m_safetyBackup, &QCheckBox::toggled, this, &ConfirmRestoreDialog::showSafetyBackupNote);
}

void ConfirmRestoreDialog::setSafetyBackupFolder(const QString& folder)
{
    m_safetyBackupFolder = folder;
    m_folderWritable = canWriteIn(folder);
}

void ConfirmRestoreDialog::chooseSafetyBackupFolder()
{
    QFileDialog selector(this, u"Folder Backup Sebelum Restore"_s);
    selector.setObjectName(u"safetyBackupSelector"_s);
    selector.setFileMode(QFileDialog::Directory);
    selector.setOption(QFileDialog::ShowDirsOnly);
    selector.setDirectory(m_lastBackupFolder.isEmpty() ? QDir::homePath() : m_lastBackupFolder);
    ranupa::fitToScreen(selector);
    if (selector.exec() == QDialog::Accepted) {
        setSafetyBackupFolder(selector.selectedFiles().value(0));
        showSafetyBackupNote();
    }
}

void ConfirmRestoreDialog::showSafetyBackupNote()
{
    const bool wanted = m_safetyBackup->isChecked();
    if (!m_safetyBackup->isEnabled()) {
        m_note->setText(
            u"Database pendataan belum ada di server; tidak ada yang perlu di-backup."_s);
    } else if (!wanted) {
        m_note->setText(u"Perhatian: tidak ada salinan data saat ini yang dibuat. Bila file yang "
                        u"dipilih salah, data saat ini tidak bisa dikembalikan."_s);
    } else {
        const QString folder = shortPath(m_safetyBackupFolder, *this);
        m_note->setText(m_folderWritable
                            ? u"Disimpan sebagai file backup baru di "_s + folder
                            : u"Perhatian: folder %1 tidak dapat ditulisi (misalnya flashdisk "
                              u"yang dikunci). Pilih folder lain untuk backup ini."_s.arg(folder));
    }
    setBold(*m_note, m_safetyBackup->isEnabled() && !(wanted && m_folderWritable));
    if (m_chooseFolder != nullptr) {
        m_chooseFolder->setEnabled(wanted);
    }
    fitToScreen();
}

// On a small screen, or at a large scale, the summary's labels go above their values, and what is
// above the buttons scrolls: the buttons stay in view.
void ConfirmRestoreDialog::fitToScreen()
{
    const QSize whole = m_scroll->widget()->sizeHint();
    m_scroll->setFixedSize(whole);
    layout()->activate();
    const QSize spare = roomOnScreen(*this) - sizeHint();
    // A scroll bar that shows takes room of its own.
    const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, m_scroll);
    const int barWidth = spare.height() < 0 ? bar : 0;
    if (spare.width() < barWidth && m_summary->rowWrapPolicy() == QFormLayout::DontWrapRows) {
        m_summary->setRowWrapPolicy(QFormLayout::WrapAllRows);
        fitToScreen();
        return;
    }
    const int width = std::max(whole.width() + std::min(barWidth, spare.width()), bar * 4);
    const int height = std::max(
        whole.height() + std::min(width < whole.width() ? bar : 0, spare.height()), bar * 2);
    m_scroll->setFixedSize(width, height);
    // Scrolled, not squeezed: the texts keep the height they need at the width they get.
    QWidget& content = *m_scroll->widget();
    const int contentWidth = width - (height < whole.height() ? bar : 0);
    content.setMinimumHeight(content.hasHeightForWidth() ? content.heightForWidth(contentWidth)
                                                         : whole.height());
    layout()->activate();
    // Grown while shown (a longer note), it goes back onto the screen.
    if (isVisible() && !screen()->availableGeometry().contains(frameGeometry())) {
        adjustPosition(parentWidget());
    }
}

QString ConfirmRestoreDialog::safetyBackupDir() const
{
    return m_safetyBackup->isChecked() ? m_safetyBackupFolder : QString();
}

} // namespace ranupa
