#pragma once

#include "core/failurecause.h"

#include <QString>

namespace ranupa {

// Only one backup or restore at a time for one installation, across every copy of the program
// (windows or command line). The lock is one the operating system holds for the process: it
// goes away with the process however that ends, so a crashed copy never leaves it behind.
class OperationLock final
{
    Q_DISABLE_COPY_MOVE(OperationLock)

public:
    // The lock for the installation in `installationDir` (any path naming it will do).
    explicit OperationLock(const QString& installationDir);
    ~OperationLock();

    // Takes the lock without waiting. False when another copy holds it, or when the lock file
    // cannot be made; problem() then says which, in words for the operator.
    bool tryLock();
    void unlock();
    bool isLocked() const;
    QString problem() const { return m_problem; }
    // Why the last tryLock() failed: Busy when another backup or restore holds the lock.
    FailureCause failureCause() const
    {
        return m_heldElsewhere ? FailureCause::Busy : FailureCause::Unknown;
    }
    QString filePath() const { return m_filePath; }

    // What the operator is told when another backup or restore runs.
    static QString busyText();

private:
    QString m_filePath;
    QString m_problem;
    bool m_heldElsewhere = false;
#ifdef Q_OS_WIN
    void* m_handle = nullptr;
#else
    int m_fd = -1;
#endif
};

} // namespace ranupa
