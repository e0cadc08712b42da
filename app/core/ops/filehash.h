#pragma once

#include "core/model/outcome.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QIODevice>

namespace ranupa {

class Operation;

// Where a restore streams the open backup file to pg_restore instead of loading a private copy,
// these prove that pg_restore was fed exactly the bytes that were checked: a file rewritten in
// place while it loads, even with its modification time put back, shows in the hash.

// The hash of the whole of `file`, read once from its start, the bar following the bytes read. A
// cancel stops it; a file that cannot be read fails it (BackupNotReadable).
Result<QByteArray> hashBackupFile(Operation& operation, QFile& file);

// Reads `file` from its start for a tool's standard input, hashing every byte it hands over.
class HashingReader final : public QIODevice
{
public:
    explicit HashingReader(QFile& file);

    // The hash of the bytes handed over and of the rest of the file, which a tool that stopped
    // reading early left: the same as hashBackupFile()'s only if those bytes were the file's then.
    QByteArray hashThroughEnd();

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 maxSize) override;

private:
    QFile& m_file;
    QCryptographicHash m_hash;
};

} // namespace ranupa
