#pragma once

#include "core/ops/job.h"

namespace ranupa::cli {

// How a job ended: the process exit code, and the outcome it was told from.
struct JobEnd
{
    int exitCode;
    OperationOutcome outcome;
};

// Runs one backup, restore or trial restore to its end. Unless `quiet`, its steps and progress go
// to standard error as it runs; its outcome is printed as the window shows it.
JobEnd runJob(const OperationRequest& request, bool quiet,
              RunOrigin origin = RunOrigin::CommandLine);

} // namespace ranupa::cli
