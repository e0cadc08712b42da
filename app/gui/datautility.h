#pragma once

#include <QDialog>
#include <QTime>
#include <QTimer>
#include <memory>
#include <optional>

class QCheckBox;
class QFileDialog;
class QFormLayout;
class QLabel;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QSpinBox;
class QTimeEdit;
class QVBoxLayout;

namespace Ui {
class DataUtil;
}

namespace ranupa {

class BackupStatusReader;
struct BackupStatus;
struct OperationOutcome;
struct PlanPosition;
struct ProgressMeasure;
struct RestoreSummary;

// The window where the work happens: choose a target directory and back up into it, or choose a
// backup file and restore it. It has no close box; "Tutup" closes it.
class DataUtility final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DataUtility)

public:
    explicit DataUtility(QWidget* parent = nullptr);
    ~DataUtility() override;

    void PilihBackup();
    void DoBackup();
    void PilihRestore();
    void DoRestore();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // False while an operation runs, or with nothing chosen.
    bool mayStart(const QString& chosen);
    // With `offerSchedule`, a successful backup's message offers to schedule it daily; true when
    // that was chosen.
    bool showOutcome(const OperationOutcome& outcome, bool offerSchedule = false);
    void scheduleDailyBackup(const QString& backupDir);
    // The line about the backups made on this computer, from the history and the schedule; or,
    // when no installation is found, where it was looked for. The notice is said at once; the
    // rest fills in when the reader's answer comes, the window never waiting for it.
    void refreshStatus();
    // `read` is the reader's answer; nothing while it is awaited.
    void showStatus(const std::optional<BackupStatus>& read);

    std::unique_ptr<Ui::DataUtil> ui;
    bool m_busy = false;
    std::optional<QString> m_installationNotice;
    // Last: it goes first, dropping an answer still on its way.
    std::unique_ptr<BackupStatusReader> m_statusReader;
};

// The dialogs the Database Utility opens over itself.

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
    // At `percent`; below 0, running without a measure.
    void showBar(int percent);

    QLabel* m_planStep = nullptr;
    QLabel* m_step = nullptr;
    QProgressBar* m_bar = nullptr;
    QLabel* m_measure = nullptr;
    QLabel* m_toolLine = nullptr;
    QPushButton* m_cancel = nullptr;
    QTimer m_ticker;
    int m_overall = -1; // the whole operation's percent, once it has a plan
};

// Asked after the chosen backup and the server have passed their checks and before pendataan is
// touched: says that the whole database will be replaced and what the backup holds. "Batal" is
// the default and answers Enter and Escape; only "Ganti Database" goes on.
class ConfirmRestoreDialog final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ConfirmRestoreDialog)

public:
    // `lastBackupFolder` is where a folder for the safety backup is first looked for, when the
    // chosen file's own folder cannot take it.
    ConfirmRestoreDialog(const RestoreSummary& summary, const QString& lastBackupFolder,
                         QWidget* parent = nullptr);

    // Where the current pendataan is to be backed up first; "" for not at all.
    QString safetyBackupDir() const;

private:
    void addSafetyBackupChoice(const RestoreSummary& summary, QVBoxLayout& column);
    void setSafetyBackupFolder(const QString& folder);
    void chooseSafetyBackupFolder();
    void showSafetyBackupNote();
    void fitToScreen();

    QString m_lastBackupFolder;
    QString m_safetyBackupFolder;
    bool m_folderWritable = false;
    QFormLayout* m_summary = nullptr;
    QScrollArea* m_scroll = nullptr;
    QCheckBox* m_safetyBackup = nullptr;
    QLabel* m_note = nullptr;
    QPushButton* m_chooseFolder = nullptr;
};

// Asks when the daily backup into `backupDir` runs and how many backups it keeps; the schedule
// itself is made by the caller once this is accepted.
class ScheduleDialog final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ScheduleDialog)

public:
    ScheduleDialog(const QString& backupDir, QWidget* parent = nullptr);

    QTime at() const;
    int keep() const;

private:
    QTimeEdit* m_at;
    QSpinBox* m_keep;
};

// Turns Qt's own file selector into the restore's: backups newest first by the time in their
// names, with the columns "Nama", "Ukuran" (as the program writes sizes) and "Dibuat" (the time in
// the name, in the words of the listing), each wide enough for its text. At a large scale on a
// small screen, the panel of places gives way first.
void showBackupsIn(QFileDialog& selector);

} // namespace ranupa
