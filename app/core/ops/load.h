#pragma once

#include "core/model/failure.h"
#include "core/ops/restoreplan.h"
#include "core/pg/archivetoc.h"
#include "core/pg/tar.h"

#include <QDateTime>
#include <QFile>
#include <QString>
#include <optional>

namespace ranupa {

class Operation;

// The steps a restore and a trial restore share, each called as a step of the operation that
// runs them: the backup file opened once and from then on read only through that open file,
// checked, planned against the server, and loaded into `database`, a marked database of the
// program's own (recovery.h), which is dropped again when the work does not go on with it.
class BackupLoad final
{
    Q_DISABLE_COPY_MOVE(BackupLoad)

public:
    // `what` names the database in the steps: "Membuat database <what>...".
    BackupLoad(Operation& operation, const QString& database, const QString& what);

    std::optional<Failure> openFile(const QString& fileText);
    std::optional<Failure> check();
    std::optional<Failure> plan(bool acceptOtherDatabase);
    std::optional<Failure> createDatabase();
    // pg_restore loads the file; the bar follows the bytes it has read.
    std::optional<Failure> load();
    // The file is read through the one open file, so it cannot be swapped for another; this
    // catches one written over while it was read.
    std::optional<Failure> checkFileUnchanged() const;
    // Drops the database once this load has created it; the failure says why it could not.
    std::optional<Failure> dropDatabase(const QString& step);

    const QString& filePath() const { return m_filePath; } // absolute
    qint64 fileSize() const { return m_fileSize; }
    QFile& file() { return m_file; }
    const ArchiveToc& toc() const { return m_toc; }
    const TarMembers& members() const { return m_members; } // none for the custom format
    const RestorePlan& restorePlan() const { return m_plan; }

private:
    Operation& m_op;
    const QString m_database;
    const QString m_what;
    QString m_filePath;
    QFile m_file;
    qint64 m_fileSize = 0;
    QDateTime m_fileModified;
    ArchiveToc m_toc;
    TarMembers m_members;
    RestorePlan m_plan;
    bool m_created = false;
};

} // namespace ranupa
