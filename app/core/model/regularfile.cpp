#include "core/model/regularfile.h"

#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

QString notRegularText(const QString& path, const QString& what)
{
    return u"%1 bukan file biasa (%2) dan tidak dibaca."_s.arg(path, what);
}

#ifdef Q_OS_UNIX
QString kindOf(mode_t mode)
{
    return S_ISDIR(mode)    ? u"folder"_s
           : S_ISFIFO(mode) ? u"FIFO"_s
           : S_ISSOCK(mode) ? u"socket"_s
                            : u"perangkat"_s;
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
        return Failure{.step = {},
                       .details = u"%1 tidak dapat dibuka: %2"_s.arg(
                           path, QString::fromLocal8Bit(std::strerror(errno)))};
    }
    struct stat status = {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return Failure{.step = {}, .details = notRegularText(path, kindOf(status.st_mode))};
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return Failure{.step = {},
                       .details = u"%1 tidak dapat dibuka: %2"_s.arg(path, file.errorString())};
    }
    return std::nullopt;
}

#else

std::optional<Failure> openRegularFileForReading(const QString& path, QFile& file)
{
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        return Failure{.step = {},
                       .details =
                           notRegularText(path, info.isDir() ? u"folder"_s : u"perangkat"_s)};
    }
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return Failure{.step = {},
                       .details = u"%1 tidak dapat dibuka: %2"_s.arg(path, file.errorString())};
    }
    return std::nullopt;
}

#endif

} // namespace ranupa
