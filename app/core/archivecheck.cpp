#include "core/archivecheck.h"

#include "core/commandline.h"
#include "core/tooldetails.h"
#include "core/toolrunner.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>
#include <algorithm>
#include <array>
#include <limits>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

constexpr qint64 blockSize = 512;
using Block = std::array<unsigned char, blockSize>;

// Offsets of the fields of a ustar header that the walk needs.
constexpr int nameOffset = 0;
constexpr int nameLength = 100;
constexpr int sizeOffset = 124;
constexpr int sizeLength = 12;
constexpr int checksumOffset = 148;
constexpr int checksumLength = 8;
constexpr int typeOffset = 156;
constexpr int magicOffset = 257;

bool isZeroBlock(const Block& block)
{
    return std::all_of(block.begin(), block.end(), [](unsigned char c) { return c == 0; });
}

bool readBlock(QIODevice& device, Block& block)
{
    return device.read(reinterpret_cast<char*>(block.data()), blockSize) == blockSize;
}

QString memberName(const Block& header)
{
    const auto* begin = reinterpret_cast<const char*>(header.data()) + nameOffset;
    return QString::fromLocal8Bit(begin, qstrnlen(begin, nameLength));
}

// An octal number field: optional leading blanks, at least one digit, then only NULs or blanks.
std::optional<quint64> parseOctal(const unsigned char* field, int length)
{
    int i = 0;
    while (i < length && field[i] == ' ') {
        ++i;
    }
    quint64 value = 0;
    int digits = 0;
    for (; i < length && field[i] >= '0' && field[i] <= '7'; ++i, ++digits) {
        if (value > (std::numeric_limits<quint64>::max() >> 3)) {
            return std::nullopt;
        }
        value = (value << 3) | quint64(field[i] - '0');
    }
    for (; i < length; ++i) {
        if (field[i] != 0 && field[i] != ' ') {
            return std::nullopt;
        }
    }
    if (digits == 0) {
        return std::nullopt;
    }
    return value;
}

// GNU tar writes sizes of 8 GiB and more as a big-endian binary number flagged by the top bit.
std::optional<quint64> parseSize(const Block& header)
{
    const unsigned char* field = header.data() + sizeOffset;
    if ((field[0] & 0x80) == 0) {
        return parseOctal(field, sizeLength);
    }
    if ((field[0] & 0x40) != 0) { // a negative number
        return std::nullopt;
    }
    quint64 value = field[0] & 0x3f;
    for (int i = 1; i < sizeLength; ++i) {
        if (value > (std::numeric_limits<quint64>::max() >> 8)) {
            return std::nullopt;
        }
        value = (value << 8) | field[i];
    }
    return value;
}

bool hasKnownMagic(const Block& header)
{
    const auto* magic = reinterpret_cast<const char*>(header.data()) + magicOffset;
    // POSIX ustar, GNU tar, and the magic-less headers of very old pg_dump versions.
    return memcmp(magic, "ustar\0", 6) == 0 || memcmp(magic, "ustar  \0", 8) == 0 || magic[0] == 0;
}

bool checksumMatches(const Block& header)
{
    const std::optional<quint64> stored =
        parseOctal(header.data() + checksumOffset, checksumLength);
    if (!stored) {
        return false;
    }
    quint64 unsignedSum = 0;
    qint64 signedSum = 0;
    for (int i = 0; i < blockSize; ++i) {
        const bool inChecksum = i >= checksumOffset && i < checksumOffset + checksumLength;
        const unsigned char byte = inChecksum ? ' ' : header[i];
        unsignedSum += byte;
        signedSum += static_cast<signed char>(byte);
    }
    // Some old tar programs summed signed bytes; both sums describe an intact header.
    return *stored == unsignedSum || qint64(*stored) == signedSum;
}

// Links, devices, directories and FIFOs carry no data whatever their size field says.
bool typeHasData(unsigned char type)
{
    return type < '1' || type > '6';
}

quint64 paddedSize(quint64 size)
{
    return (size + blockSize - 1) / blockSize * blockSize;
}

} // namespace

std::optional<QString> tarStructureProblem(QIODevice& device)
{
    const qint64 start = device.pos();
    const qint64 total = device.size() - start;
    if (total <= 0) {
        return u"File backup kosong."_s;
    }
    qint64 position = 0;
    int members = 0;
    Block header{};
    for (;;) {
        if (position == total) {
            return u"Arsip terpotong: penanda akhir arsip tidak ada."_s;
        }
        if (total - position < blockSize || !device.seek(start + position) ||
            !readBlock(device, header)) {
            return members == 0
                       ? u"File bukan arsip backup."_s
                       : u"Arsip terpotong: header pada posisi %1 tidak lengkap."_s.arg(position);
        }
        if (isZeroBlock(header)) {
            Block second{};
            if (total - position < 2 * blockSize || !readBlock(device, second)) {
                return u"Arsip terpotong: penanda akhir arsip tidak lengkap."_s;
            }
            if (!isZeroBlock(second)) {
                return u"Arsip rusak: blok kosong di tengah arsip pada posisi %1."_s.arg(position);
            }
            if (members == 0) {
                return u"Arsip tidak berisi apa pun."_s;
            }
            return std::nullopt; // whatever follows the end marker is record padding
        }
        if (!hasKnownMagic(header) || !checksumMatches(header)) {
            return members == 0
                       ? u"File bukan arsip backup."_s
                       : u"Arsip rusak: header pada posisi %1 tidak valid."_s.arg(position);
        }
        const std::optional<quint64> size = parseSize(header);
        if (!size) {
            return u"Arsip rusak: ukuran \"%1\" tidak valid."_s.arg(memberName(header));
        }
        const quint64 dataSize = typeHasData(header[typeOffset]) ? paddedSize(*size) : 0;
        if (dataSize > quint64(total - position - blockSize)) {
            return u"Arsip terpotong: data \"%1\" tidak lengkap."_s.arg(memberName(header));
        }
        position += blockSize + qint64(dataSize);
        ++members;
    }
}

bool isCustomFormatArchive(const QString& filePath)
{
    QFile file(filePath);
    return file.open(QIODevice::ReadOnly) && file.peek(5) == "PGDMP";
}

std::optional<QString> archiveStructureProblem(const QString& filePath)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        return u"File backup tidak dapat dibuka: %1"_s.arg(file.errorString());
    }
    if (file.peek(5) == "PGDMP") {
        return std::nullopt; // custom format: pg_restore reads it without tar's pitfalls
    }
    return tarStructureProblem(file);
}

QString archiveListCommandLine(const QString& filePath)
{
    return u"pgsql\\bin\\pg_restore.exe --list \""_s + commandline::escapeForQuotes(filePath) +
           u'"';
}

QString archiveReadThroughCommandLine(const QString& filePath)
{
#ifdef Q_OS_WIN
    const QString nowhere = u"NUL"_s;
#else
    const QString nowhere = u"/dev/null"_s;
#endif
    return u"pgsql\\bin\\pg_restore.exe --verbose --file \""_s + nowhere + u"\" \""_s +
           commandline::escapeForQuotes(filePath) + u'"';
}

struct ArchiveCheck::Private
{
    QPointer<ToolRunner> runner;
    QTimer watchdog;
    bool timedOut = false;
};

ArchiveCheck::ArchiveCheck(QObject* parent) : QObject(parent), d(std::make_unique<Private>())
{
    d->watchdog.setSingleShot(true);
    d->watchdog.setInterval(listTimeout);
    connect(&d->watchdog, &QTimer::timeout, this, [this] {
        d->timedOut = true;
        if (d->runner) {
            d->runner->cancel();
        }
    });
}

ArchiveCheck::~ArchiveCheck() = default;

void ArchiveCheck::start(const QString& filePath)
{
    const auto finishLater = [this](const ArchiveCheckResult& result) {
        QMetaObject::invokeMethod(
            this, [this, result] { emit finished(result); }, Qt::QueuedConnection);
    };
    if (const std::optional<QString> problem = archiveStructureProblem(filePath)) {
        finishLater({.ok = false, .problem = *problem});
        return;
    }
    if (d->runner) {
        d->runner->deleteLater();
    }
    d->runner = new ToolRunner(this);
    d->timedOut = false;
    const bool custom = isCustomFormatArchive(filePath);
    // Reading a custom archive through takes a while and says how far it is; the table of
    // contents that --list prints is no progress to show.
    if (custom) {
        connect(d->runner, &ToolRunner::outputLine, this, &ArchiveCheck::toolLine);
    }
    connect(d->runner, &ToolRunner::finished, this, [this, finishLater](const ToolResult& tool) {
        d->watchdog.stop();
        ArchiveCheckResult result{.ok = tool.succeeded(), .problem = {}};
        if (!result.ok) {
            const QString what =
                d->timedOut ? u"pg_restore tidak selesai membaca file backup dalam %1 detik."_s.arg(
                                  d->watchdog.interval() / 1000)
                            : u"pg_restore tidak dapat membaca file backup."_s;
            result.problem = toolFailureDetails(what, tool);
        }
        finishLater(result);
    });
    const qint64 tensOfMB = custom ? QFileInfo(filePath).size() / (10 * 1024 * 1024) : 0;
    d->watchdog.setInterval(listTimeout + readThroughTimePer10MB * tensOfMB);
    d->watchdog.start();
    d->runner->start(custom ? archiveReadThroughCommandLine(filePath)
                            : archiveListCommandLine(filePath));
}

void ArchiveCheck::cancel()
{
    d->watchdog.stop();
    if (d->runner && d->runner->isRunning()) {
        d->runner->cancel();
    }
}

ArchiveCheckResult checkArchive(const QString& filePath)
{
    ArchiveCheck check;
    QEventLoop loop;
    ArchiveCheckResult outcome;
    QObject::connect(&check, &ArchiveCheck::finished, &loop, [&](const ArchiveCheckResult& result) {
        outcome = result;
        loop.quit();
    });
    check.start(filePath);
    loop.exec();
    return outcome;
}

} // namespace ranupa
