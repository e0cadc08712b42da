#include "gui/datautility.h"

#include "core/backup.h"
#include "core/restore.h"
#include "gui/confirmrestore.h"
#include "gui/layoutscale.h"
#include "gui/progressdialog.h"
#include "gui/screenfit.h"
#include "ui_datautil.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QScopedValueRollback>
#include <QTextEdit>
#include <algorithm>
#include <functional>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// Each press opens a fresh selector in the working directory. Qt would otherwise start where the
// previous selector of the process was left.
void startInWorkingDirectory(QFileDialog& selector)
{
    selector.setDirectory(QDir::currentPath());
}

// The message boxes carry the executable's name, as the rest of the school-data tools do.
QString messageTitle()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

// At least `columns` average characters wide, as far as the screen allows.
void widenTo(QWidget& widget, int columns, const QMessageBox& box)
{
    const int wanted = widget.fontMetrics().averageCharWidth() * columns;
    widget.setMinimumWidth(std::min(wanted, roomOnScreen(box).width() * 4 / 5));
}

// Qt sizes a message box by its main text, which is short here: the sentences of the cause
// would wrap after every few words. The details hold paths and the tools' lines.
void widenForReading(QMessageBox& box)
{
    if (auto* summary = box.findChild<QLabel*>(u"qt_msgbox_informativelabel"_s)) {
        widenTo(*summary, 60, box);
    }
    if (auto* details = box.findChild<QTextEdit*>()) {
        widenTo(*details, 90, box);
    }
}

// Qt's details button becomes the default once it has the focus, so that after it has been
// pressed Enter would show or hide the details again instead of closing the box.
void keepOkTheDefault(QMessageBox& box)
{
    for (QAbstractButton* button : box.buttons()) {
        auto* pushButton = qobject_cast<QPushButton*>(button);
        if (pushButton != nullptr && box.buttonRole(button) == QMessageBox::ActionRole) {
            pushButton->setAutoDefault(false);
        }
    }
    box.setDefaultButton(QMessageBox::Ok);
}

// Runs a backup or restore job behind a modal progress dialog and gives back how it ended.
template <typename Job>
OperationOutcome runWithProgress(QWidget* parent, const QString& fieldText, const QString& title,
                                 const std::function<void(Job&, QWidget& progress)>& configure = {})
{
    Job job;
    // Both can be cancelled safely: a backup removes its partial file, a restore puts
    // pendataan back as it was.
    ProgressDialog progress(title, true, parent);
    progress.setObjectName(u"progress"_s);
    OperationOutcome outcome;
    QObject::connect(&job, &Job::stepChanged, &progress, &ProgressDialog::setStep);
    QObject::connect(&job, &Job::toolLine, &progress, &ProgressDialog::setToolLine);
    QObject::connect(&job, &Job::progressChanged, &progress, &ProgressDialog::setProgress);
    QObject::connect(&job, &Job::finished, &progress, [&](const OperationOutcome& result) {
        outcome = result;
        progress.finish();
    });
    QObject::connect(&progress, &ProgressDialog::cancelRequested, &job, &Job::cancel);
    if (configure) {
        configure(job, progress);
    }
    job.start(fieldText);
    progress.exec();
    return outcome;
}

// The restore stops before it touches the server and asks, over its progress dialog.
void askBeforeReplacing(RestoreJob& job, QWidget& progress)
{
    job.setAskBeforeReplacing(true);
    QObject::connect(&job, &RestoreJob::confirmationNeeded, &progress,
                     [&job, &progress](const RestoreSummary& summary) {
                         ConfirmRestoreDialog confirm(summary, &progress);
                         confirm.setObjectName(u"confirmRestore"_s);
                         if (confirm.exec() != QDialog::Accepted) {
                             job.decline();
                             return;
                         }
                         job.setSafetyBackupDir(
                             confirm.safetyBackupWanted()
                                 ? ConfirmRestoreDialog::safetyBackupDirFor(summary)
                                 : QString());
                         job.proceed();
                     });
}

} // namespace

DataUtility::DataUtility(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::DataUtil>())
{
    ui->setupUi(this);
    // No close box and no system menu: "Tutup" is the window's own way out.
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint);
    setFixedSize(size());
    scaleLayoutToFont(*this);

    connect(ui->cmdKeluar, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->cmdPilihBackup, &QPushButton::clicked, this, &DataUtility::PilihBackup);
    connect(ui->cmdBackup, &QPushButton::clicked, this, &DataUtility::DoBackup);
    connect(ui->cmdPilihRestore, &QPushButton::clicked, this, &DataUtility::PilihRestore);
    connect(ui->cmdRestore, &QPushButton::clicked, this, &DataUtility::DoRestore);

    ui->targetDir->setFocus();
}

DataUtility::~DataUtility() = default;

void DataUtility::PilihBackup()
{
    QFileDialog selector(this, u"Backup Data"_s);
    selector.setObjectName(u"backupSelector"_s);
    selector.setFileMode(QFileDialog::Directory);
    selector.setOption(QFileDialog::ShowDirsOnly);
    startInWorkingDirectory(selector);
    fitToScreen(selector);
    const bool chosen = selector.exec() == QDialog::Accepted;
    // A cancelled choice empties the field, also after an earlier choice.
    ui->targetDir->setText(chosen ? selector.selectedFiles().value(0) : QString());
}

void DataUtility::PilihRestore()
{
    QFileDialog selector(this, u"Restore Data"_s);
    selector.setObjectName(u"restoreSelector"_s);
    selector.setFileMode(QFileDialog::ExistingFile);
    selector.setAcceptMode(QFileDialog::AcceptOpen);
    selector.setNameFilter(u"Ranupa Backup (*.dbk)"_s);
    startInWorkingDirectory(selector);
    fitToScreen(selector);
    const bool chosen = selector.exec() == QDialog::Accepted;
    ui->backupFile->setText(chosen ? selector.selectedFiles().value(0) : QString());
}

void DataUtility::DoBackup()
{
    if (m_busy) {
        return;
    }
    QScopedValueRollback busy(m_busy, true);
    const QString targetDir = ui->targetDir->text();
    if (targetDir.isEmpty()) {
        runBackup(targetDir); // reads the settings and gives up without a word
        return;
    }
    showOutcome(runWithProgress<BackupJob>(this, targetDir, u"Backup"_s));
}

void DataUtility::DoRestore()
{
    if (m_busy) {
        return;
    }
    QScopedValueRollback busy(m_busy, true);
    const QString backupFile = ui->backupFile->text();
    if (backupFile.isEmpty()) {
        runRestore(backupFile);
        return;
    }
    showOutcome(runWithProgress<RestoreJob>(this, backupFile, u"Restore"_s, askBeforeReplacing));
}

void DataUtility::showOutcome(const OperationOutcome& outcome)
{
    if (outcome.status == OperationStatus::Skipped) {
        return;
    }
    const bool failed = outcome.status == OperationStatus::Failed;
    QMessageBox box(failed ? QMessageBox::Warning : QMessageBox::Information, messageTitle(),
                    outcome.message, QMessageBox::Ok, this);
    // The cause and what to do, readable without opening the details.
    if (!outcome.summary.isEmpty()) {
        box.setInformativeText(outcome.summary);
    }
    // Paths are shown exactly as they are; nothing in them is markup.
    box.setTextFormat(Qt::PlainText);
    if (!outcome.details.isEmpty()) {
        box.setDetailedText(outcome.details);
    }
    widenForReading(box);
    keepOkTheDefault(box);
    box.exec();
}

void DataUtility::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Escape:
        event->accept(); // no button answers Escape here
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // Enter presses only the button that has the focus; in a field it does nothing.
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
            button->click();
        }
        event->accept();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

void DataUtility::closeEvent(QCloseEvent* event)
{
    if (m_busy) {
        event->ignore(); // a running backup or restore is never abandoned by a close request
        return;
    }
    // A close request that still reaches the window ends it as "Tutup" does.
    event->accept();
    accept();
}

} // namespace ranupa
