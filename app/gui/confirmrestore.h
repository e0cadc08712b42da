#pragma once

#include <QDialog>

class QCheckBox;
class QLayout;
class QPushButton;
class QVBoxLayout;

namespace ranupa {

struct RestoreSummary;

// Asked after the chosen backup and the server have passed their checks and before pendataan is
// touched: says that the whole database will be replaced and what the backup holds. "Batal" is
// the default and answers Enter and Escape; only "Ganti Database" goes on.
class ConfirmRestoreDialog final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ConfirmRestoreDialog)

public:
    explicit ConfirmRestoreDialog(const RestoreSummary& summary, QWidget* parent = nullptr);

    // Whether the current pendataan is to be backed up first.
    bool safetyBackupWanted() const;
    // Where that backup goes: beside the chosen backup file.
    static QString safetyBackupDirFor(const RestoreSummary& summary);

private:
    void addSummary(const RestoreSummary& summary, QVBoxLayout& column);
    void addSafetyBackupChoice(const RestoreSummary& summary, QVBoxLayout& column);
    QLayout* makeButtons();

    QCheckBox* m_safetyBackup = nullptr;
    QPushButton* m_replace = nullptr;
    QPushButton* m_cancel = nullptr;
};

} // namespace ranupa
