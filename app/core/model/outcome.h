#pragma once

#include "core/model/failure.h"
#include "core/model/names.h"

#include <QDateTime>
#include <QMetaType>
#include <QString>

namespace ranupa {

enum class OperationStatus
{
    Skipped, // the field was empty, or the operator declined: nothing changed, nothing is shown
    Succeeded,
    Failed,
    Cancelled,
};

enum class OperationKind
{
    Backup,
    Restore,
    Verify, // a trial restore into a database of the program's own
};

// How a backup or a restore ended, ready to be shown to the user.
struct OperationOutcome
{
    OperationStatus status = OperationStatus::Skipped;
    QString message;  // the message box text, e.g. "Gagal melakukan backup"
    QString details;  // on failure: which step failed and what the tools wrote
    QString filePath; // the backup file this backup wrote (or tried to)
    FailureCause cause = FailureCause::Unknown; // why it failed, where the program can tell
    bool pendataanUnchanged = false; // said only where it is sure: pendataan is as it was
    QString summary;    // under the message: the cause and what to do, and whether pendataan is
                        // unchanged (failureSummary())
    bool tried = false; // a trial restore of the file ran (--verify)
    // On success: the backup file's size and how long the operation took, under the message.
    QString figures;
    // On success: the folder of the backup written (a restore's backup of pendataan first), or
    // else of the backup read.
    QString backupFolder;
};

// What the chosen backup holds, for the operator to see before pendataan is replaced.
struct RestoreSummary
{
    QString filePath;             // absolute
    qint64 fileSize = 0;          // in bytes
    QDateTime created;            // when the backup was made, from the archive; invalid if unknown
    QString databaseName;         // the database the backup was made of
    QString serverVersion;        // of the server that wrote it, as the archive names it
    int tableCount = 0;           // the tables it holds
    bool pendataanExists = false; // there is a pendataan to replace (and to back up first)

    bool isOtherDatabase() const { return databaseName != pendataan; }
};

// The operator's answer to a RestoreSummary.
struct Confirmation
{
    bool proceed = false;
    QString safetyBackupDir; // back the current pendataan up there first; "" for no
};

enum class RunOrigin
{
    Window,
    CommandLine,
    Schedule, // started by the system's scheduler (--scheduled)
};

enum class RunResult
{
    Succeeded,
    Failed,
    Cancelled,
};

// One backup, trial restore or restore as the history records it (files/history.h).
struct RunRecord
{
    QDateTime started; // local time, with its offset from UTC
    OperationKind kind = OperationKind::Backup;
    RunOrigin origin = RunOrigin::Window;
    RunResult result = RunResult::Succeeded;
    bool tried = false; // a trial restore of the file ran to its end
    qint64 durationMs = 0;
    qint64 fileSize = -1; // -1: no file, or its size is unknown
    QString filePath;     // the backup written, tried or restored
    QString cause;        // unless it succeeded: what happened, in a sentence or two

    bool operator==(const RunRecord&) const = default;
};

// One run in words, for --history: when | what | how it ended | size | how long | file.
QString describeRun(const RunRecord& record);

// The outcome of an operation that ended in `failure`, composed in the one place the messages,
// the sentences under them and the details are made: the message of the kind, the cause and
// what to do, whether pendataan is unchanged, then the notes, the failed step and its details.
OperationOutcome failedOutcome(OperationKind kind, const Failure& failure, const QString& port,
                               const QString& notes);

} // namespace ranupa

Q_DECLARE_METATYPE(ranupa::OperationOutcome)
Q_DECLARE_METATYPE(ranupa::RestoreSummary)
