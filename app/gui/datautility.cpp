#include "gui/datautility.h"

#include "core/files/installation.h"
#include "core/model/wording.h"
#include "core/ops/job.h"
#include "core/ops/runstatus.h"
#include "core/schedule/scheduler.h"
#include "gui/screenfit.h"
#include "ui_datautil.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QScopedValueRollback>
#include <QSettings>
#include <QStandardPaths>
#include <QTextEdit>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <utility>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// Where a backup was last made from the window, and the folder last chosen in a selector,
// remembered between runs.
QSettings programSettings()
{
    return QSettings(u"Ranupa Helper"_s, u"Ranupa Helper"_s);
}

constexpr QStringView lastBackupFolderKey = u"lastBackupFolder";
constexpr QStringView lastChosenFolderKey = u"lastChosenFolder";

QString lastBackupFolder()
{
    return programSettings().value(lastBackupFolderKey).toString();
}

// The selectors open in the folder last used. The first time, that is the user's documents
// rather than the working directory: the installation folder lies on the database's own disk.
QString lastFolderUsed()
{
    const QSettings settings = programSettings();
    for (const QString& folder :
         {settings.value(lastChosenFolderKey).toString(), lastBackupFolder(),
          QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)}) {
        if (!folder.isEmpty() && QFileInfo(folder).isDir()) {
            return folder;
        }
    }
    return QDir::homePath();
}

// Each press opens a fresh selector in the folder last used: Qt would otherwise start where the
// previous selector of the process was left. A cancelled choice empties the field, also after an
// earlier choice. The field shows the path as the system writes it (C:\Cadangan on Windows).
void chooseInto(QFileDialog& selector, QLineEdit& field)
{
    selector.setDirectory(lastFolderUsed());
    fitToScreen(selector);
    const bool chosen = selector.exec() == QDialog::Accepted;
    const QString path = chosen ? selector.selectedFiles().value(0) : QString();
    field.setText(QDir::toNativeSeparators(path));
    if (chosen) {
        const QFileInfo info(path);
        programSettings().setValue(lastChosenFolderKey,
                                   info.isDir() ? info.absoluteFilePath() : info.absolutePath());
    }
}

// A button that does its work and leaves the box open, as OK alone closes it.
QPushButton* addKeepingButton(QMessageBox& box, const QString& text, const QString& name)
{
    QPushButton* button = box.addButton(text, QMessageBox::ActionRole);
    button->setObjectName(name);
    QObject::disconnect(button, &QAbstractButton::clicked, nullptr, nullptr);
    return button;
}

// The message boxes carry the executable's name, as the rest of the school-data tools do.
QString messageTitle()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

// Qt sizes a message box by its main text, which is short here: the sentences of the cause
// would wrap after every few words. The details hold paths and the tools' lines.
void widenForReading(QMessageBox& box)
{
    // Each at least so many average characters wide, as far as the screen allows.
    const std::pair<QWidget*, int> parts[]{
        {box.findChild<QLabel*>(u"qt_msgbox_informativelabel"_s), 60},
        {box.findChild<QTextEdit*>(), 90}};
    for (const auto& [part, columns] : parts) {
        if (part != nullptr) {
            const int wanted = part->fontMetrics().averageCharWidth() * columns;
            part->setMinimumWidth(std::min(wanted, roomOnScreen(box).width() * 4 / 5));
        }
    }
}

// Under the outcome's message (the box's text): the size and time of a success and the summary,
// then the details; on failure "Salin rincian", on success "Buka folder" for the backup's folder.
void describeOutcome(QMessageBox& box, const OperationOutcome& outcome)
{
    // The cause and what to do, readable without opening the details.
    QStringList under{outcome.figures, outcome.summary};
    under.removeAll(QString());
    if (!under.isEmpty()) {
        box.setInformativeText(under.join(u'\n'));
    }
    // Paths are shown exactly as they are; nothing in them is markup.
    box.setTextFormat(Qt::PlainText);
    const bool failed = outcome.status == OperationStatus::Failed;
    if (!outcome.details.isEmpty()) {
        box.setDetailedText(outcome.details);
    }
    if (failed && !outcome.details.isEmpty()) {
        // For whoever is asked for help: the details go whole into a message or a chat, without
        // their box being opened and selected.
        QPushButton* copy = addKeepingButton(box, u"Salin rincian"_s, u"copyDetails"_s);
        QObject::connect(copy, &QAbstractButton::clicked, &box, [copy, details = outcome.details] {
            QApplication::clipboard()->setText(details);
            copy->setText(u"Rincian disalin"_s);
        });
    }
    if (!failed && !outcome.backupFolder.isEmpty()) {
        // The system's file manager shows the folder, for the file to be copied on or checked.
        QPushButton* open = addKeepingButton(box, u"Buka folder"_s, u"openFolder"_s);
        QObject::connect(open, &QAbstractButton::clicked, &box, [folder = outcome.backupFolder] {
            QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
        });
    }
}

// Qt's details button becomes the default once it has the focus, so that after it has been
// pressed Enter would show or hide the details again instead of closing the box. Called once all
// buttons are there.
void keepOkTheDefault(QMessageBox& box)
{
    for (QPushButton* button : box.findChildren<QPushButton*>()) {
        if (box.buttonRole(button) == QMessageBox::ActionRole) {
            button->setAutoDefault(false);
        }
    }
    box.setDefaultButton(QMessageBox::Ok);
}

// Runs `request` with `job` behind a modal progress dialog and gives back how it ended, as soon
// as that is certain: the job may still be finishing (see waitForTheRest()).
OperationOutcome runWithProgress(OperationJob& job, const OperationRequest& request,
                                 QWidget* parent, const QString& title)
{
    // Both can be cancelled safely: a backup removes its partial file, a restore leaves
    // pendataan as it was.
    ProgressDialog progress(title, true, parent);
    std::optional<OperationOutcome> outcome;
    const auto tell = [&](const OperationOutcome& result) {
        if (!outcome) {
            outcome = result;
            progress.finish();
        }
    };
    QObject::connect(&job, &OperationJob::stepChanged, &progress, &ProgressDialog::setStep);
    QObject::connect(&job, &OperationJob::toolLine, &progress, &ProgressDialog::setToolLine);
    QObject::connect(&job, &OperationJob::progressChanged, &progress, &ProgressDialog::setProgress);
    QObject::connect(&job, &OperationJob::planChanged, &progress, &ProgressDialog::setPlanPosition);
    QObject::connect(&job, &OperationJob::reported, &progress, tell);
    QObject::connect(&job, &OperationJob::finished, &progress, tell);
    QObject::connect(&progress, &ProgressDialog::cancelRequested, &job, &OperationJob::cancel);
    job.start(request);
    progress.exec();
    return outcome.value_or(OperationOutcome{});
}

// What a job does after its outcome was told (a restore drops the previous database) happens
// while the message is read; should it take longer, a progress dialog shows it to its end. The
// window takes input meanwhile: its operations are refused while one runs.
void waitForTheRest(OperationJob& job, QWidget* parent, const QString& title)
{
    QEventLoop moment;
    QObject::connect(&job, &OperationJob::finished, &moment, &QEventLoop::quit);
    QTimer::singleShot(std::chrono::milliseconds(700), &moment, &QEventLoop::quit);
    if (job.isRunning()) {
        moment.exec();
    }
    if (!job.isRunning()) {
        return;
    }
    ProgressDialog progress(title, false, parent);
    progress.setStep(u"Menyelesaikan..."_s);
    QObject::connect(&job, &OperationJob::stepChanged, &progress, &ProgressDialog::setStep);
    QObject::connect(&job, &OperationJob::finished, &progress, &ProgressDialog::finish);
    progress.exec();
}

// The restore stops before it touches the server and asks, over the progress dialog. The job is
// the connection's context: a question still queued when the job goes is never answered.
void askBeforeReplacing(OperationJob& job, QWidget& window)
{
    job.setAsksOperator(true);
    const auto ask = [&job, &window](const RestoreSummary& summary) {
        if (job.cancelRequested()) {
            return; // asked before the cancel arrived: nobody waits for the answer
        }
        QWidget* over = QApplication::activeModalWidget();
        ConfirmRestoreDialog confirm(summary, lastBackupFolder(), over != nullptr ? over : &window);
        confirm.setObjectName(u"confirmRestore"_s);
        const bool proceed = confirm.exec() == QDialog::Accepted;
        job.answer({.proceed = proceed,
                    .safetyBackupDir = proceed ? confirm.safetyBackupDir() : QString()});
    };
    QObject::connect(&job, &OperationJob::confirmationNeeded, &job, ask);
}

// The scheduler may take its time (a minute a program at most): the schedule is made on a thread
// of its own while a progress dialog keeps the window busy, and read back to be told.
std::optional<Failure> makeScheduleWhileBusy(const DailyBackup& backup,
                                             std::optional<Schedule>& made, QWidget* parent)
{
    ProgressDialog progress(u"Jadwalkan Backup Harian"_s, false, parent);
    progress.setStep(u"Membuat jadwal..."_s);
    std::optional<Failure> notMade;
    const std::unique_ptr<QThread> maker(QThread::create([&] {
        notMade = makeSchedule(backup);
        made = notMade ? std::nullopt : currentSchedule();
    }));
    QObject::connect(maker.get(), &QThread::finished, &progress, &ProgressDialog::finish);
    maker->start();
    progress.exec();
    maker->wait();
    return notMade;
}

} // namespace

DataUtility::DataUtility(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::DataUtil>()),
      m_statusReader(std::make_unique<BackupStatusReader>())
{
    ui->setupUi(this);
    // No close box and no system menu: "Tutup" is the window's own way out.
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint);
    scaleLayoutToFont(*this);

    connect(ui->cmdKeluar, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->cmdPilihBackup, &QPushButton::clicked, this, &DataUtility::PilihBackup);
    connect(ui->cmdBackup, &QPushButton::clicked, this, &DataUtility::DoBackup);
    connect(ui->cmdPilihRestore, &QPushButton::clicked, this, &DataUtility::PilihRestore);
    connect(ui->cmdRestore, &QPushButton::clicked, this, &DataUtility::DoRestore);

    // Read-only and out of the focus chain: the window's keyboard order stays as it was.
    ui->backupStatus->setFocusPolicy(Qt::NoFocus);
    ui->backupStatus->setTextFormat(Qt::PlainText);
    connect(m_statusReader.get(), &BackupStatusReader::statusRead, this, &DataUtility::showStatus);
    refreshStatus();
    ui->targetDir->setFocus();
}

DataUtility::~DataUtility() = default;

void DataUtility::PilihBackup()
{
    QFileDialog selector(this, u"Backup Data"_s);
    selector.setObjectName(u"backupSelector"_s);
    selector.setFileMode(QFileDialog::Directory);
    selector.setOption(QFileDialog::ShowDirsOnly);
    chooseInto(selector, *ui->targetDir);
}

void DataUtility::PilihRestore()
{
    QFileDialog selector(this, u"Restore Data"_s);
    selector.setObjectName(u"restoreSelector"_s);
    selector.setFileMode(QFileDialog::ExistingFile);
    selector.setAcceptMode(QFileDialog::AcceptOpen);
    selector.setNameFilter(u"Ranupa Backup (*.dbk)"_s);
    showBackupsIn(selector);
    chooseInto(selector, *ui->backupFile);
}

bool DataUtility::mayStart(const QString& chosen)
{
    if (!m_busy && chosen.isEmpty()) {
        LoadDbPort(); // read as on every press; with nothing chosen, nothing more happens
    }
    return !m_busy && !chosen.isEmpty();
}

void DataUtility::DoBackup()
{
    const QString targetDir = ui->targetDir->text();
    if (!mayStart(targetDir)) {
        return;
    }
    QScopedValueRollback busy(m_busy, true);
    OperationJob job;
    job.setOrigin(RunOrigin::Window);
    const OperationOutcome outcome =
        runWithProgress(job, BackupRequest{.targetDir = targetDir}, this, u"Backup"_s);
    const bool succeeded = outcome.status == OperationStatus::Succeeded;
    const QString folder = QFileInfo(outcome.filePath).absolutePath();
    if (succeeded) {
        programSettings().setValue(lastBackupFolderKey, folder);
    }
    refreshStatus();
    if (showOutcome(outcome, succeeded)) {
        scheduleDailyBackup(folder);
    }
}

void DataUtility::DoRestore()
{
    const QString backupFile = ui->backupFile->text();
    if (!mayStart(backupFile)) {
        return;
    }
    QScopedValueRollback busy(m_busy, true);
    OperationJob job;
    job.setOrigin(RunOrigin::Window);
    askBeforeReplacing(job, *this);
    const RestoreRequest request{.backupFile = backupFile};
    showOutcome(runWithProgress(job, request, this, u"Restore"_s));
    waitForTheRest(job, this, u"Restore"_s);
    refreshStatus();
}

bool DataUtility::showOutcome(const OperationOutcome& outcome, bool offerSchedule)
{
    if (outcome.status == OperationStatus::Skipped) {
        return false;
    }
    const bool failed = outcome.status == OperationStatus::Failed;
    QMessageBox box(failed ? QMessageBox::Warning : QMessageBox::Information, messageTitle(),
                    outcome.message, QMessageBox::Ok, this);
    describeOutcome(box, outcome);
    // Pressed, it closes the box as OK does, and the schedule's own dialog follows.
    QAbstractButton* schedule = nullptr;
    if (offerSchedule) {
        schedule =
            box.addButton(u"Jadwalkan backup harian ke folder ini..."_s, QMessageBox::ActionRole);
        schedule->setObjectName(u"scheduleDaily"_s);
    }
    widenForReading(box);
    keepOkTheDefault(box);
    box.exec();
    return schedule != nullptr && box.clickedButton() == schedule;
}

void DataUtility::scheduleDailyBackup(const QString& backupDir)
{
    ScheduleDialog ask(backupDir, this);
    ask.setObjectName(u"scheduleDialog"_s);
    if (ask.exec() != QDialog::Accepted) {
        return;
    }
    const Result<DailyBackup> backup = dailyBackupOfThisProgram(backupDir, ask.at(), ask.keep());
    std::optional<Schedule> made;
    const std::optional<Failure> notMade =
        backup ? makeScheduleWhileBusy(*backup, made, this) : backup.failure();
    refreshStatus();
    QMessageBox box(made ? QMessageBox::Information : QMessageBox::Warning, messageTitle(),
                    made ? u"Backup harian dijadwalkan"_s
                         : u"Jadwal backup harian tidak dapat dibuat"_s,
                    QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    if (made) {
        box.setInformativeText(u"Jadwal: %1.\nBackup berikutnya: %2.\n%3"_s.arg(
            describeSchedule(*made), wording::upcoming(nextRun(made->backup.at)),
            missedStartText(made->kind)));
    } else if (notMade) {
        if (notMade->cause != FailureCause::Unknown) {
            box.setInformativeText(causeText(notMade->cause));
        }
        box.setDetailedText(failedStepText(*notMade));
    } else {
        box.setInformativeText(u"Jadwal dibuat, tetapi tidak dapat dibaca kembali."_s);
    }
    widenForReading(box);
    box.exec();
}

void DataUtility::refreshStatus()
{
    // Started from the wrong folder, no backup or restore can run: said before one is tried.
    m_installationNotice = missingInstallationNotice();
    showStatus(std::nullopt);
    m_statusReader->refresh();
}

void DataUtility::showStatus(const std::optional<BackupStatus>& read)
{
    BackupStatus status = read.value_or(BackupStatus{
        .text = u"Memeriksa riwayat backup dan jadwal..."_s, .toolTip = {}, .warning = false});
    if (m_installationNotice) {
        status = {.text = *m_installationNotice,
                  .toolTip = read ? status.text + u"\n\n"_s + status.toolTip : QString(),
                  .warning = true};
    }
    ui->backupStatus->setText(fittedLines(status.text, *ui->backupStatus));
    ui->backupStatus->setToolTip(
        status.toolTip.isEmpty() ? status.text : status.text + u"\n\n"_s + status.toolTip);
    QPalette palette = this->palette();
    if (status.warning) {
        palette.setColor(QPalette::WindowText, QColor(0xb0, 0x00, 0x00));
    }
    ui->backupStatus->setPalette(palette);
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
