#pragma once

#include <QString>
#include <optional>
#include <utility>

namespace ranupa {

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

// "Database pendataan tidak diubah."
QString pendataanUnchangedText();

// What the operator reads under the message of a failed operation: the cause and what to do,
// then "Database pendataan tidak diubah." when that is so.
QString failureSummary(FailureCause cause, const QString& port, bool pendataanUnchanged);

// The failure for the details: "Langkah yang gagal: <step>." and `after` on its line, then the
// details below.
QString failedStepText(const Failure& failure, const QString& after = {});

// What the text a failing step left (its details, the tools' output) says about why. Finds the
// causes that show in the tools' messages; Unknown otherwise.
FailureCause causeFromToolText(const QString& text);

} // namespace ranupa
