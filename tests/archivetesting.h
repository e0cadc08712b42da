// What several tests do with backup files: run the program's check of one, and find the data
// a damage can go into without touching the tar structure or the table of contents.
#pragma once

#include "core/ops/archivecheck.h"
#include "core/ops/operation.h"

#include <QByteArray>
#include <QFile>
#include <QSignalSpy>
#include <optional>

// Runs the program's check of the backup at `path` in the working directory, as the program runs
// it in the installation; nothing when it passes. A check that does not end within `timeoutMs`
// fails without a step.
inline std::optional<ranupa::Failure> archiveCheckFailure(const QString& path,
                                                          int timeoutMs = 120'000)
{
    std::optional<ranupa::Failure> failure;
    ranupa::OperationJob job;
    QSignalSpy done(&job, &ranupa::OperationJob::finished);
    job.run([&](ranupa::Operation& operation) {
        QFile file(path);
        ranupa::ArchiveToc toc;
        failure = file.open(QIODevice::ReadOnly) ? ranupa::checkArchive(operation, file, toc)
                                                 : ranupa::Failure{};
        return ranupa::OperationOutcome{};
    });
    return done.wait(timeoutMs) ? failure : ranupa::Failure{};
}

// The data of the largest member of a tar archive: where it starts, and its size.
struct TarData
{
    qint64 offset = 0;
    qint64 size = 0;
};

inline TarData largestTarMember(const QByteArray& bytes)
{
    TarData largest;
    qint64 offset = 0;
    while (offset + 512 <= bytes.size() && bytes.at(offset) != '\0') {
        const qint64 size = bytes.mid(offset + 124, 12).trimmed().toLongLong(nullptr, 8);
        if (size > largest.size) {
            largest = {offset + 512, size};
        }
        offset += 512 + (size + 511) / 512 * 512;
    }
    return largest;
}
