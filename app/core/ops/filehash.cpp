#include "core/ops/filehash.h"

#include "core/model/progress.h"
#include "core/ops/operation.h"

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// Fast enough to cost a fraction of the load, and made so that no change can keep its hash.
constexpr auto algorithm = QCryptographicHash::Blake2b_256;

constexpr qint64 hashChunkBytes = 1 << 20;

} // namespace

Result<QByteArray> hashBackupFile(Operation& operation, QFile& file)
{
    operation.step(u"Membaca file backup..."_s);
    QCryptographicHash hash(algorithm);
    ProgressMeasure read;
    read.total = file.size();
    file.seek(0);
    QByteArray buffer(hashChunkBytes, Qt::Uninitialized);
    for (;;) {
        const qint64 got = file.read(buffer.data(), hashChunkBytes);
        if (got < 0) {
            return Failure{.step = u"membaca file backup"_s,
                           .details = u"File backup tidak dapat dibaca: "_s + file.errorString(),
                           .cause = FailureCause::BackupNotReadable};
        }
        if (got == 0) {
            return hash.result();
        }
        hash.addData(QByteArrayView(buffer.constData(), got));
        read.done = file.pos();
        operation.progress(read);
        if (operation.cancelled()) {
            return Failure::cancel();
        }
    }
}

HashingReader::HashingReader(QFile& file) : m_file(file), m_hash(algorithm)
{
    m_file.seek(0);
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

QByteArray HashingReader::hashThroughEnd()
{
    while (!read(hashChunkBytes).isEmpty()) {
    }
    return m_hash.result();
}

qint64 HashingReader::bytesAvailable() const
{
    return m_file.bytesAvailable() + QIODevice::bytesAvailable();
}

qint64 HashingReader::readData(char* data, qint64 maxSize)
{
    const qint64 got = m_file.read(data, maxSize);
    if (got > 0) {
        m_hash.addData(QByteArrayView(data, got));
    }
    return got;
}

qint64 HashingReader::writeData(const char*, qint64)
{
    return -1;
}

} // namespace ranupa
