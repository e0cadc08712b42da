#pragma once

#include <QDialog>
#include <memory>
#include <optional>

namespace Ui {
class DataUtil;
}

namespace ranupa {

class BackupStatusReader;
struct BackupStatus;
struct OperationOutcome;

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

} // namespace ranupa
