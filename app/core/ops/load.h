#pragma once

#include "core/model/outcome.h"
#include "core/ops/archivecopy.h"
#include "core/ops/restoreplan.h"
#include "core/pg/archive.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QString>
#include <memory>
#include <optional>

namespace ranupa {

class Operation;
struct ToolResult;

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

    // Opens the file once; makes the private copy (archivecopy.h) or, without one, the hash of
    // the file as it is read once; checks the archive and plans the restore against the server.
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
    std::optional<Failure> openFile(const QString& fileText);
    std::optional<Failure> copyFile();
    std::optional<Failure> check();
    ArchiveSource source();
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

} // namespace ranupa
