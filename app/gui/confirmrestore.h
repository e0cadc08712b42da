#pragma once

#include <QDialog>

class QCheckBox;
class QFormLayout;
class QLabel;
class QLayout;
class QPushButton;
class QScrollArea;
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
    // `lastBackupFolder` is where a folder for the safety backup is first looked for, when the
    // chosen file's own folder cannot take it.
    ConfirmRestoreDialog(const RestoreSummary& summary, const QString& lastBackupFolder,
                         QWidget* parent = nullptr);

    // Where the current pendataan is to be backed up first; "" for not at all.
    QString safetyBackupDir() const;

private:
    QFormLayout* makeSummary(const RestoreSummary& summary);
    void addOtherDatabaseWarning(const RestoreSummary& summary, QVBoxLayout& column);
    void addSafetyBackupChoice(const RestoreSummary& summary, QVBoxLayout& column);
    void setSafetyBackupFolder(const QString& folder);
    void chooseSafetyBackupFolder();
    void showSafetyBackupNote();
    void fitToScreen();
    QLayout* makeButtons();

    QString m_lastBackupFolder;
    QString m_safetyBackupFolder;
    bool m_folderWritable = false;
    QFormLayout* m_summary = nullptr;
    QScrollArea* m_scroll = nullptr;
    QCheckBox* m_safetyBackup = nullptr;
    QLabel* m_note = nullptr;
    QPushButton* m_chooseFolder = nullptr;
};

} // namespace ranupa
