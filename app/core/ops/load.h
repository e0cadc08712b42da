#pragma once

#include "core/ops/operation.h"
#include "core/pg/archive.h"
#include "core/pg/archivedatabase.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QLockFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>
#include <optional>

namespace ranupa {

// Before a restore touches the server, the backup is checked (can pg_restore read all of it?) and
// planned against the server (can the server take it?).

// What pg_restore reads a backup from: its open file, fed on the standard input from the start,
// or the folder of its private copy (ArchiveCopy), read as an archive in the directory format.
struct ArchiveSource
{
    ArchiveSource(QFile& file) : file(&file) {} // NOLINT(google-explicit-constructor)
    explicit ArchiveSource(const QString& copyFolder) : folder(copyFolder) {}

    // Readies `how` to hand the archive over: the file from its start; the folder is named in the
    // command instead.
    void feed(ToolRun& how) const;

    QFile* file = nullptr;
    QString folder;
};

// Checks that the open backup `file` can be restored, reading it through the file, never by its
// path again: its tar structure first (pg_restore 15 can spin forever on some cut-short tar
// archives, so it must never see one), then its table of contents (listContents()). A
// custom-format archive has no tar structure; pg_restore reads it through instead. Gives the
// table of contents in `toc` (empty for the custom format) and the tar members in `members` (none
// for the custom format). Leaves the file's position anywhere.
std::optional<Failure> checkArchive(Operation& operation, QFile& file, ArchiveToc& toc,
                                    TarMembers* members = nullptr);

// The table of contents of `source` as pg_restore --list --create reads it, in `toc`; with
// `members`, it must name no data member the archive lacks. The whole check of a private copy,
// whose tar structure was walked as it was made.
std::optional<Failure> listContents(Operation& operation, const ArchiveSource& source,
                                    const TarMembers* members, ArchiveToc& toc);

// What a restore must know before it touches the server, read from the backup file and asked of
// the server.
struct RestorePlan
{
    QString archiveDatabase;      // the name of the database the backup was made of
    QDateTime archiveCreated;     // when pg_dump wrote the backup; invalid when it does not say
    QString archiveServerVersion; // of the server the backup was made on, as the archive says
    int archiveTables = 0;        // the tables the backup holds
    DatabaseLocale locale;        // what to create the new database with
    int serverVersion = 0;        // server_version_num
    DatabaseSettings settings;    // the database's own settings, as the program writes them
    QString owner;                // the backup's owner of the database, where the server has it
    QString note; // worth telling although nothing failed (a fallback locale, a missing owner)
};

// Reads the backup's schema (the roles it names, the CREATE DATABASE with its encoding and
// locale) and its database settings from `source`, whose table of contents is `toc`, then
// asks the server which roles it lacks and whether it has the backup's locale. Refuses a backup
// of another database than pendataan unless `acceptOtherDatabase`, and one whose database
// entries hold statements of other kinds than settings. Touches nothing.
std::optional<Failure> planRestore(Operation& operation, const ArchiveSource& source,
                                   const ArchiveToc& toc, bool acceptOtherDatabase,
                                   RestorePlan& plan);

// What a restore gives the database it loaded, in `database`: the backup's owner, where the
// server has that role, then the backup's database settings; in UTF-8, in one psql script.
QByteArray databaseStatements(const RestorePlan& plan, const QString& database);

// The private copy of a tar backup's members: a folder of the program's own under the system's
// temp folder (QDir::tempPath(), so TMPDIR is honoured), which pg_restore reads as an archive in
// the directory format and so can load in parallel. Once it is made, nothing that happens to the
// backup file matters any more. The folder goes with the copy; one that a killed program left
// (power cut, kill -9) is recognised by its name and its lock file, which no running program
// holds, and removed by the next run (removeLeftCopies()).
class ArchiveCopy final
{
    Q_DISABLE_COPY_MOVE(ArchiveCopy)
    struct Made // only make() makes one
    {
        explicit Made() = default;
    };

public:
    // Copies the members of the tar archive in the open `file`, in one read of it from its start,
    // walking its tar structure on the way: a structure that is not whole fails as the check of
    // the file would (DamagedBackup), and a cancel stops it. There is no copy (nullptr) for a
    // custom-format archive, which has no members, and where the temp folder lacks room for the
    // file and a margin or the copy cannot be written; the operation's notes then say why in one
    // line.
    static Result<std::unique_ptr<ArchiveCopy>> make(Operation& operation, QFile& file);
    explicit ArchiveCopy(Made);
    ~ArchiveCopy();

    QString folder() const { return m_dir.path(); }
    // As the walk found them in the file.
    const TarMembers& members() const { return m_members; }
    // countDataRows() of the member `name`, read in the copy.
    std::optional<qint64> countRows(const QString& name) const;

private:
    QTemporaryDir m_dir;
    QLockFile m_lock;
    TarMembers m_members;
};

// Removes the copies in the temp folder that no running program holds, and notes it.
void removeLeftCopies(Operation& operation);

// The steps a restore and a trial restore share, each called as a step of the operation that
// runs them: the backup file opened once and read once into a private copy of its members, which
// is then checked, planned against the server, and loaded in parallel into `database`, a marked
// database of the program's own (owndatabases.h), which is dropped again when the work does not go
// on with it. Where there can be no copy, everything reads the one open file, and the load proves
// that it fed pg_restore the bytes that were checked.
class BackupLoad final
{
    Q_DISABLE_COPY_MOVE(BackupLoad)

public:
    // `what` names the database in the steps: "Membuat database <what>...".
    BackupLoad(Operation& operation, const QString& database, const QString& what);
    ~BackupLoad();

    // Opens the file once; makes the private copy or, without one, the hash of the file as it is
    // read once; checks the archive and plans the restore against the server.
    std::optional<Failure> prepare(const QString& fileText, bool acceptOtherDatabase);
    std::optional<Failure> createDatabase();
    // pg_restore loads the copy, the bar following the entries of the table of contents it has
    // done; or it loads the file it reads on its standard input, the bar following the bytes it
    // has read. The copy goes then, whatever happened.
    std::optional<Failure> load();
    // Without a copy the file was read as the load went on: this catches one written over
    // meanwhile, by its size and time or by the hash of what was fed. A copy is immune.
    std::optional<Failure> checkFileUnchanged() const;
    // Drops the database once this load has created it; the failure says why it could not.
    std::optional<Failure> dropDatabase(const QString& step);

    // countDataRows() of the member `name` of a tar backup: in the copy, or through the file.
    std::optional<qint64> countRows(const QString& name, const TarMember& member);

    const QString& filePath() const { return m_filePath; } // absolute
    qint64 fileSize() const { return m_fileSize; }
    const ArchiveToc& toc() const { return m_toc; }
    const TarMembers& members() const { return m_members; } // none for the custom format
    const RestorePlan& restorePlan() const { return m_plan; }

private:
    ToolResult loadCopy();
    ToolResult loadStream();

    Operation& m_op;
    const QString m_database;
    const QString m_what;
    QString m_filePath;
    QFile m_file;
    qint64 m_fileSize = 0;
    QDateTime m_fileModified;
    std::unique_ptr<ArchiveCopy> m_copy;
    QByteArray m_checkedHash; // without a copy
    QByteArray m_fedHash;
    ArchiveToc m_toc;
    TarMembers m_members;
    RestorePlan m_plan;
    bool m_created = false;
};

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
