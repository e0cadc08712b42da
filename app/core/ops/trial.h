#pragma once

#include "core/model/outcome.h"

#include <QString>

namespace ranupa {

class Operation;

// What a trial restore loaded, as the database it loaded into counts it.
struct TrialCounts
{
    int tables = 0;
    qint64 rows = 0;
    int largeObjects = 0;
    bool compared = true; // with the archive's own counts; a custom-format archive has none
};

// A trial restore of the backup `fileText`, for an operation that has begun:
//   1. open the file once and copy its members in one read (everything after reads that copy, or
//      without one the one open file), check it and read what it holds; ask the server whether
//      it can take it;
//   2. count the rows the archive holds for each table, and its large objects;
//   3. create the marked database ranupa_helper_uji and load the backup into it;
//   4. count its rows and large objects in one query, which must be the archive's;
//   5. drop it, whatever happened.
// pendataan is never touched. A trial interrupted half-way leaves the marked database only,
// which the next run drops.
Result<TrialCounts> trialRestore(Operation& operation, const QString& fileText);

// "12 tabel (3.456 baris) dan 1 objek besar dimuat ke database uji, sama dengan isi file
// backup."
QString trialSummary(const TrialCounts& counts);

} // namespace ranupa
