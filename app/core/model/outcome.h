#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>
#include <optional>
#include <utility>

// What an operation works on and how it ends: the names of pendataan and of the program's own
// databases, why it failed, what the operator is shown, what a restore asks first, and the record
// of the run.
namespace ranupa {

// The school-data application's database: the one backed up, and replaced by a restore.
inline constexpr QStringView pendataan = u"pendataan";

// The databases the program makes on the server besides pendataan. Each carries the program's
// mark (a comment) from the moment it bears one of these names, and only a database under one of
// these names with that mark is ever dropped or renamed by the program:
//   ranupa_helper_pendataan_baru   a restore loads the backup into it; once complete, it becomes
//                                  pendataan in the same transaction that sets the old one aside
//   ranupa_helper_pendataan_usang  the previous pendataan, set aside by that transaction and
//                                  dropped right after it
//   ranupa_helper_uji              a trial restore loads the backup into it, counts its rows
//                                  and drops it
inline constexpr QStringView scratchDatabaseName = u"ranupa_helper_pendataan_baru";
inline constexpr QStringView replacedDatabaseName = u"ranupa_helper_pendataan_usang";
inline constexpr QStringView trialDatabaseName = u"ranupa_helper_uji";
// A database is created under a name of its own, the unfinished prefix and a random suffix, and
// refusing connections: no command can mark it in the instant it is created. Until one
// transaction marks it, gives it its name and opens it, nobody can have put anything into it, so
// the program drops a database with that prefix that still refuses connections, whoever was
// interrupted while making it.
inline constexpr QStringView unfinishedDatabasePrefix = u"ranupa_helper_dibuat_";
// What restores of earlier versions of the program set the previous pendataan aside under while
// they loaded the new one; they put no mark on it.
inline constexpr QStringView legacySetAsideName = u"ranupa_helper_pendataan_sebelum";
// The comment that marks the program's own databases.
inline constexpr QStringView ownDatabaseMark = u"Dibuat oleh Ranupa Helper; dihapus otomatis.";

// Why a backup or restore failed, as far as the program can tell, for the sentence the operator
// reads under the message.
enum class FailureCause
{
    Unknown,
    ServerUnreachable,    // nothing answers on the port from the settings
    PasswordRequired,     // the server wants a password for postgres
    ToolsMissing,         // pgsql/bin/... could not be started
    InstallationMissing,  // neither directory holds config/ or pgsql/
    SettingsMissing,      // config/install.ini or its DefDBPort missing
    InvalidPort,          // DefDBPort is not a port number
    DiskFull,             // where the backup is written
    ServerDiskFull,       // the server's disk, while a restore loads
    DirectoryNotWritable, // the backup cannot be written into the chosen directory
    BackupNotReadable,    // the chosen file is missing or cannot be opened
    DamagedBackup,        // the chosen file is not a whole backup
    ForeignBackup,        // the backup holds another database
    MissingRole,          // the server lacks a role the backup names
    DatabaseInUse,        // connections to pendataan keep coming back
    DatabaseMissing,      // there is no pendataan on the server to back up
    ReservedName,         // a database the program did not make bears one of its names
    UnsafeBackup,         // the backup holds statements a restore must not run
    UnrestorableBackup,   // the backup just written holds what a restore would refuse
    BackupChanged,        // the backup file changed while it was being restored
    DatabaseLocked,       // another session holds a lock the swap waits for
    ReplicationInUse,     // pendataan has logical replication: subscriptions or slots
    PreparedTransaction,  // a prepared transaction on pendataan keeps it from being replaced
    LockLost,             // someone else ended the program's own server session
    SslRequired,          // the environment asks for SSL, which the server does not offer
    TempFolderUnusable,   // the temp folder is missing or cannot be written
    NotEnoughRoom,        // the backup's folder lacks room for it
    FileTooLarge,         // the backup's file system takes no file that large (FAT32: 4 GiB)
    Busy,                 // another backup or restore runs on the server
};

// Why an operation did not succeed: the one shape every step reports a failure in, from which
// the message, the sentences under it and the details are composed (operation.h).
struct Failure
{
    QString step;    // which step failed, in words, e.g. "menulis file backup (pg_dump)"
    QString details; // what the program found and what the tools wrote
    FailureCause cause = FailureCause::Unknown;
    bool cancelled = false; // the operator or a signal stopped it
    // Said only where it is sure: pendataan is as it was before the operation.
    bool pendataanUnchanged = false;
    // The cause in words with the figures of this case, where causeText()'s fixed sentences
    // would leave them out; "" for causeText().
    QString said = {};

    static Failure cancel() { return {.step = {}, .details = {}, .cancelled = true}; }
};

// What a step that gives a value gives back: the value, or why there is none.
template <typename T> class [[nodiscard]] Result final
{
public:
    Result(T value) : m_value(std::move(value)) {}
    Result(Failure failure) : m_failure(std::move(failure)) {}

    explicit operator bool() const { return m_value.has_value(); }
    const T& operator*() const { return *m_value; }
    const T* operator->() const { return &*m_value; }
    T& operator*() { return *m_value; }
    T* operator->() { return &*m_value; }
    // Only where there is no value.
    const Failure& failure() const { return m_failure; }

private:
    std::optional<T> m_value;
    Failure m_failure;
};

// One or two sentences: what went wrong and what to do; for Unknown, whom to hand the details
// to. `port` is the port the program used, when known.
QString causeText(FailureCause cause, const QString& port = {});

// What the operator reads under the message of a failed operation: the cause and what to do,
// then "Database pendataan tidak diubah." when that is so.
QString failureSummary(FailureCause cause, const QString& port, bool pendataanUnchanged);

// The failure for the details: "Langkah yang gagal: <step>." and `after` on its line, then the
// details below.
QString failedStepText(const Failure& failure, const QString& after = {});

// What the text a failing step left (its details, the tools' output) says about why. Finds the
// causes that show in the tools' messages; Unknown otherwise.
FailureCause causeFromToolText(const QString& text);

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
