#pragma once

#include "core/ops/operation.h"

#include <QString>
#include <optional>

namespace ranupa {

// What a trial restore loaded, as the database it loaded into counts it.
struct TrialCounts
{
    int tables = 0;
    qint64 rows = 0;
    int largeObjects = 0;
    bool compared = true; // with the archive's own counts; a custom-format archive has none
};

// A trial restore of the backup `fileText`, for an operation that has begun (Operation::begin()):
//   1. open the file once (everything after reads it through that one open file), check it and
//      read what it holds; ask the server whether it can take it;
//   2. count the rows the archive holds for each table, and its large objects;
//   3. create the marked database ranupa_helper_uji and load the backup into it;
//   4. count its rows and large objects in one query, which must be the archive's;
//   5. drop it, whatever happened.
// pendataan is never touched. A trial interrupted half-way leaves the marked database only,
// which the next run drops.
std::optional<Failure> trialRestore(Operation& operation, const QString& fileText,
                                    TrialCounts& counts);

// "12 tabel (3.456 baris) dan 1 large object dimuat ke database uji, sama dengan isi file
// backup."
QString trialSummary(const TrialCounts& counts);

// A trial restore on its own: finds the installation, takes the server lock, sets right what an
// interrupted run left, then trialRestore(). "Backup dapat direstore" with the counts, or "Backup
// tidak dapat direstore" with the cause. An empty text gives a Skipped outcome.
OperationOutcome verifyBackup(Operation& operation, const QString& fileText);

// verifyBackup() on a worker thread.
class VerifyJob final : public OperationJob
{
public:
    using OperationJob::OperationJob;
    // finished() follows exactly once, never from inside start().
    void start(const QString& file);
};

// Runs a trial restore to the end; for the command line and tests.
OperationOutcome runVerify(const QString& file, const OperationProgress& progress = {});

} // namespace ranupa
