#include "core/operationlock.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// One lock file per installation, in the temporary directory: the installation directory itself
// may not be writable, and every copy that works on it must find the same file.
QString lockFilePathFor(const QString& installationDir)
{
    const QFileInfo info(installationDir);
    const QString canonical =
        info.canonicalFilePath().isEmpty() ? info.absoluteFilePath() : info.canonicalFilePath();
#ifdef Q_OS_WIN
    const QByteArray key = canonical.toLower().toUtf8();
#else
    const QByteArray key = canonical.toUtf8();
#endif
    const QByteArray hash =
        QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex().left(16);
    return QDir(QDir::tempPath())
        .filePath(u"ranupa-helper-%1.lock"_s.arg(QString::fromLatin1(hash)));
}

} // namespace

OperationLock::OperationLock(const QString& installationDir)
    : m_filePath(lockFilePathFor(installationDir))
{}

OperationLock::~OperationLock()
{
    unlock();
}

QString OperationLock::busyText()
{
    return u"Backup atau restore lain sedang berjalan untuk instalasi ini (di jendela lain atau "
           u"dari baris perintah). Tunggu sampai selesai, lalu coba lagi."_s;
}

#ifdef Q_OS_WIN

bool OperationLock::tryLock()
{
    if (isLocked())
        return true;
    m_problem.clear();
    m_heldElsewhere = false;
    // No sharing: a second open fails while this handle lives, and Windows closes it when the
    // process ends, however it ends.
    const HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t*>(m_filePath.utf16()),
                                      GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        m_heldElsewhere = error == ERROR_SHARING_VIOLATION;
        m_problem =
            m_heldElsewhere
                ? busyText()
                : u"File kunci %1 tidak dapat dibuat (kode %2)."_s.arg(m_filePath).arg(error);
        return false;
    }
    m_handle = handle;
    return true;
}

void OperationLock::unlock()
{
    if (m_handle) {
        CloseHandle(static_cast<HANDLE>(m_handle));
        m_handle = nullptr;
    }
}

bool OperationLock::isLocked() const
{
    return m_handle != nullptr;
}

#else

bool OperationLock::tryLock()
{
    if (isLocked())
        return true;
    m_problem.clear();
    m_heldElsewhere = false;
    // Close-on-exec: the tools this program starts must not keep the lock after it has ended.
    const int fd = ::open(QFile::encodeName(m_filePath).constData(),
                          O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
        m_problem = u"File kunci %1 tidak dapat dibuat: %2"_s.arg(
            m_filePath, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    // Anyone may take the lock after us: the file outlives the copy that made it.
    [[maybe_unused]] const int ignored = ::fchmod(fd, 0666);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        m_heldElsewhere = error == EWOULDBLOCK;
        m_problem = m_heldElsewhere ? busyText()
                                    : u"File kunci %1 tidak dapat dikunci: %2"_s.arg(
                                          m_filePath, QString::fromLocal8Bit(std::strerror(error)));
        return false;
    }
    m_fd = fd;
    return true;
}

void OperationLock::unlock()
{
    if (m_fd >= 0) {
        ::close(m_fd); // releases the flock
        m_fd = -1;
    }
}

bool OperationLock::isLocked() const
{
    return m_fd >= 0;
}

#endif

} // namespace ranupa
