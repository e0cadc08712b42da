// What several tests do with backup files: run the program's check of one, and find the data
// a damage can go into without touching the tar structure or the table of contents.
#pragma once

#include "core/ops/load.h"
#include "core/ops/operation.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <algorithm>
#include <optional>

// Runs the program's check of the backup at `path` in the working directory, as the program runs
// it in the installation; nothing when it passes. A check that does not end within `timeoutMs`
// fails without a step.
inline std::optional<ranupa::Failure> archiveCheckFailure(const QString& path,
                                                          int timeoutMs = 120'000)
{
    // Nobody to tell or ask; the check ends when its time is up.
    struct Quiet final : ranupa::OperationHost
    {
        void stepChanged(const QString&) override {}
        void toolLine(const QString&) override {}
        void progressChanged(const ranupa::ProgressMeasure&) override {}
        void planChanged(const ranupa::PlanPosition&) override {}
        void reported(const ranupa::OperationOutcome&) override {}
        bool cancelRequested() const override { return clock.hasExpired(timeoutMs); }
        bool asksOperator() const override { return false; }
        std::optional<ranupa::Confirmation> confirm(const ranupa::RestoreSummary&) override
        {
            return std::nullopt;
        }
        QElapsedTimer clock;
        int timeoutMs = 0;
    } quiet;
    quiet.clock.start();
    quiet.timeoutMs = timeoutMs;
    ranupa::Operation operation(quiet);
    QFile file(path);
    ranupa::ArchiveToc toc;
    const std::optional<ranupa::Failure> failure = file.open(QIODevice::ReadOnly)
                                                       ? ranupa::checkArchive(operation, file, toc)
                                                       : ranupa::Failure{};
    return failure && failure->cancelled ? ranupa::Failure{} : failure;
}

// A member of a tar archive: its name, where its data starts, and the data's size.
struct TarData
{
    QByteArray name;
    qint64 offset = 0;
    qint64 size = 0;
};

inline QList<TarData> tarMembers(const QByteArray& bytes)
{
    QList<TarData> members;
    for (qint64 offset = 0; offset + 512 <= bytes.size() && bytes.at(offset) != '\0';) {
        const qint64 size = bytes.mid(offset + 124, 12).trimmed().toLongLong(nullptr, 8);
        members.append({bytes.mid(offset, 100).split('\0').constFirst(), offset + 512, size});
        offset += 512 + (size + 511) / 512 * 512;
    }
    return members;
}

inline TarData largestTarMember(const QByteArray& bytes)
{
    const QList<TarData> members = tarMembers(bytes);
    const auto largest =
        std::max_element(members.begin(), members.end(),
                         [](const auto& a, const auto& b) { return a.size < b.size; });
    return largest == members.end() ? TarData{} : *largest;
}
