#pragma once

#include <QDialog>
#include <QTime>

class QSpinBox;
class QTimeEdit;

namespace ranupa {

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

} // namespace ranupa
