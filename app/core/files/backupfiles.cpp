#include "core/files/backupfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <algorithm>
#include <functional>
#include <vector>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#include <qt_windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

QString randomSuffix()
{
    static constexpr char16_t characters[] =
        u"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QString suffix;
    for (int i = 0; i < 6; ++i) {
        suffix += QChar(characters[QRandomGenerator::global()->bounded(62)]);
    }
    return suffix;
}

bool isPartialBackupName(const QString& fileName)
{
    static const QRegularExpression pattern(u"^ranupaku\\d{14}-[A-Za-z0-9]{6}\\.part$"_s);
    return pattern.match(fileName).hasMatch();
}

Failure cannotOpen(const QString& path, const QString& why)
{
    return {.step = {}, .details = u"%1 tidak dapat dibuka: %2"_s.arg(path, why)};
}

Failure notRegular(const QString& path, const QString& what)
{
    return {.step = {}, .details = u"%1 bukan file biasa (%2) dan tidak dibaca."_s.arg(path, what)};
}

#ifdef Q_OS_UNIX

QString kindOf(mode_t mode)
{
    return S_ISDIR(mode)    ? u"folder"_s
           : S_ISFIFO(mode) ? u"FIFO"_s
           : S_ISSOCK(mode) ? u"socket"_s
                            : u"perangkat"_s;
}

constexpr int nameTaken = EEXIST;

// Opens the new file `path` for writing, never an existing one; 0, or the system's error code.
// Its lock tells a live backup from an abandoned one.
int createNewFile(const QString& path, QFile& file)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        return errno;
    }
    ::flock(fd, LOCK_EX | LOCK_NB);
    file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle);
    return 0;
}

// Whether some process still holds the lock of a partial backup file, i.e. its backup runs.
bool isHeldByRunningBackup(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0) {
        return errno != ENOENT && errno != ELOOP; // unsure: leave it be
    }
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return held;
}

void syncDirectoryOf(const QString& path)
{
    const int fd = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        [[maybe_unused]] const int ignored = ::fsync(fd);
        ::close(fd);
    }
}

Result<PartialBackupFile::Naming> renameWithoutReplacing(const QString& from, const QString& to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) ==
        0) {
        return PartialBackupFile::Naming::Done;
    }
    if (errno == EEXIST) {
        return PartialBackupFile::Naming::NameTaken;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return fileFailure({}, errno, qt_error_string(errno));
    }
#endif
    // File systems without an atomic rename that refuses to replace: a hard link refuses too.
    if (::link(source.constData(), target.constData()) != 0) {
        if (errno == EEXIST) {
            return PartialBackupFile::Naming::NameTaken;
        }
        return fileFailure({}, errno, qt_error_string(errno));
    }
    ::unlink(source.constData());
    return PartialBackupFile::Naming::Done;
}

#else

constexpr int nameTaken = ERROR_FILE_EXISTS;

// As on Linux. Without FILE_SHARE_DELETE: while it is open, nobody can remove it.
int createNewFile(const QString& path, QFile& file)
{
    const HANDLE handle = CreateFileW(
        reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(path).utf16()), GENERIC_WRITE,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return int(GetLastError());
    }
    file.open(_open_osfhandle(intptr_t(handle), _O_WRONLY), QIODevice::WriteOnly,
              QFileDevice::AutoCloseHandle);
    return 0;
}

bool isHeldByRunningBackup(const QString&)
{
    return false; // a file still open in a backup cannot be removed on Windows anyway
}

Result<PartialBackupFile::Naming> renameWithoutReplacing(const QString& from, const QString& to)
{
    // Without MOVEFILE_REPLACE_EXISTING the move fails when the target exists.
    if (MoveFileExW(reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(from).utf16()),
                    reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(to).utf16()),
                    MOVEFILE_WRITE_THROUGH)) {
        return PartialBackupFile::Naming::Done;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
        return PartialBackupFile::Naming::NameTaken;
    }
    return fileFailure({}, int(error), qt_error_string(int(error)));
}

#endif

} // namespace

#ifdef Q_OS_UNIX

std::optional<Failure> openRegularFileForReading(const QString& path, QFile& file)
{
    // O_NONBLOCK makes the open of a FIFO return at once; the type is then read from the open
    // descriptor itself, so nothing can be swapped in between the check and the read.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return cannotOpen(path, QString::fromLocal8Bit(std::strerror(errno)));
    }
    struct stat status = {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return notRegular(path, kindOf(status.st_mode));
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return cannotOpen(path, file.errorString());
    }
    return std::nullopt;
}

#else

std::optional<Failure> openRegularFileForReading(const QString& path, QFile& file)
{
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        return notRegular(path, info.isDir() ? u"folder"_s : u"perangkat"_s);
    }
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return cannotOpen(path, file.errorString());
    }
    return std::nullopt;
}

#endif

// In the system's own writing, with one separator before the name also after a folder given as
// "D:\" or "C:\Cadangan\".
QString backupFilePath(const QString& targetDir, const QDateTime& now, BackupKind kind)
{
    const QString name =
        editionWord.toString() + now.toString(u"ddMMyyyyhhmmss"_s) +
        (kind == BackupKind::BeforeRestore ? u"-sebelum-restore.dbk"_s : u".dbk"_s);
    return QDir::toNativeSeparators(QDir(targetDir).filePath(name));
}

QDateTime backupTime(const QString& fileName)
{
    bool beforeRestore = false;
    const QDateTime time = backupNameTime(fileName, &beforeRestore);
    return beforeRestore ? QDateTime() : time;
}

QDateTime backupNameTime(const QString& fileName, bool* beforeRestore)
{
    static const QRegularExpression pattern(u"^ranupaku(\\d{14})(-sebelum-restore)?\\.dbk$"_s);
    const QRegularExpressionMatch match = pattern.match(fileName);
    if (beforeRestore != nullptr) {
        *beforeRestore = match.hasMatch() && match.hasCaptured(2);
    }
    return match.hasMatch() ? QDateTime::fromString(match.captured(1), u"ddMMyyyyhhmmss"_s)
                            : QDateTime();
}

QStringList backupsNewestFirst(const QStringList& fileNames)
{
    std::vector<std::pair<QDateTime, QString>> backups;
    for (const QString& name : fileNames) {
        if (const QDateTime time = backupNameTime(name); time.isValid()) {
            backups.emplace_back(time, name);
        }
    }
    std::sort(backups.begin(), backups.end(), std::greater<>());
    QStringList sorted;
    for (const auto& backup : backups) {
        sorted << backup.second;
    }
    return sorted;
}

Failure fileFailure(const QString& step, int systemError, const QString& text)
{
#ifdef Q_OS_WIN
    const bool full = systemError == ERROR_DISK_FULL || systemError == ERROR_HANDLE_DISK_FULL;
    const bool tooLarge = systemError == ERROR_FILE_TOO_LARGE;
#else
    const bool full = systemError == ENOSPC || systemError == EDQUOT;
    const bool tooLarge = systemError == EFBIG;
#endif
    return {.step = step,
            .details = text,
            .cause = full       ? FailureCause::DiskFull
                     : tooLarge ? FailureCause::FileTooLarge
                                : FailureCause::DirectoryNotWritable};
}

PartialBackupFile::PartialBackupFile(const QString& path) : m_path(path), m_file(path) {}

Result<std::unique_ptr<PartialBackupFile>> PartialBackupFile::create(const QString& directory,
                                                                     const QDateTime& stamp)
{
    const QString prefix = QDir(directory).filePath(editionWord.toString() +
                                                    stamp.toString(u"ddMMyyyyhhmmss"_s) + u'-');
    int error = 0;
    for (int attempt = 0; attempt < 20; ++attempt) {
        std::unique_ptr<PartialBackupFile> file(
            new PartialBackupFile(prefix + randomSuffix() + u".part"_s));
        if (error = createNewFile(file->m_path, file->m_file); error == 0) {
            return file;
        }
        file->m_ours = false; // not made by us: never to be removed by us
        if (error != nameTaken) {
            break; // another try will not do better
        }
    }
    return fileFailure({}, error, qt_error_string(error));
}

PartialBackupFile::~PartialBackupFile()
{
    if (m_ours) {
        [[maybe_unused]] const std::optional<Failure> ignored = remove();
    }
}

Result<PartialBackupFile::Naming> PartialBackupFile::giveFinalName(const QString& finalPath)
{
#ifdef Q_OS_UNIX
    // The file's data and then its new directory entry are made durable, so that a power cut
    // right after the success message cannot leave a cut-short file under a backup's name. Data
    // the disk could not take is no backup.
    if (::fsync(m_file.handle()) != 0) {
        return fileFailure({}, errno, qt_error_string(errno));
    }
#else
    m_file.close(); // Windows renames no file that is open without delete sharing
#endif
    const Result<Naming> naming = renameWithoutReplacing(m_path, finalPath);
    if (naming && *naming == Naming::Done) {
        m_ours = false;
        m_file.close();
#ifdef Q_OS_UNIX
        syncDirectoryOf(finalPath);
#endif
    }
    return naming;
}

std::optional<Failure> PartialBackupFile::remove()
{
    if (!m_ours) {
        return std::nullopt;
    }
    m_file.close();
    QFile file(m_path);
    if (file.remove() || !file.exists()) {
        m_ours = false;
        return std::nullopt;
    }
    return Failure{.step = {}, .details = file.errorString()};
}

QStringList removeAbandonedPartialBackups(const QString& directory)
{
    const QDir dir(directory);
    QStringList removed;
    for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        const QString path = dir.filePath(name);
        if (isPartialBackupName(name) && !isHeldByRunningBackup(path) && QFile::remove(path)) {
            removed << path;
        }
    }
    return removed;
}

} // namespace ranupa
