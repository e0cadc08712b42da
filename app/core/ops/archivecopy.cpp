#include "core/model/progress.h"
#include "core/model/wording.h"
#include "core/ops/load.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStorageInfo>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// The copies' folders are named so, and each holds the lock of the program that made it.
constexpr QStringView folderPrefix = u"ranupa-helper-salinan-";
constexpr QStringView lockName = u"ranupa-helper.lock";

constexpr qint64 copyChunkBytes = 1 << 20;

// What pg_restore reads of an archive in the directory format. The rest (restore.sql, a script
// pg_dump adds to a tar archive for other readers) stays behind, and no other name of the
// archive's ever becomes a path.
bool isCopied(const QString& name)
{
    static const QRegularExpression read(
        u"^(toc\\.dat|blobs\\.toc|(blob_)?[0-9]+\\.dat(\\.gz)?)$"_s);
    return read.match(name).hasMatch();
}

void noteNoCopy(Operation& operation, const QString& why)
{
    operation.note(why + u", jadi data dimuat langsung dari file backup, tidak paralel."_s);
}

QString tempFolderText()
{
    return QDir::toNativeSeparators(QDir::tempPath());
}

// The tools read their arguments in the system's 8-bit encoding (on Windows its code page, not
// Unicode): a path they would read differently is not one to hand them.
bool readableByTools(const QString& path)
{
    return QString::fromLocal8Bit(path.toLocal8Bit()) == path;
}

// Only folders of this user: a name in a shared temp folder proves nothing.
bool ownedByThisUser(const QFileInfo& folder)
{
#ifdef Q_OS_UNIX
    return folder.ownerId() == ::geteuid();
#else
    return folder.exists();
#endif
}

// The one read of the file: the data of each member pg_restore reads goes into the folder as the
// walk meets it.
class Copier final
{
public:
    Copier(Operation& operation, QFile& file, const QString& folder)
        : m_op(operation), m_file(file), m_folder(folder),
          m_buffer(copyChunkBytes, Qt::Uninitialized)
    {
        m_read.total = file.size();
        m_op.progress(m_read); // from 0
    }

    void copy(const QString& name, const TarMember& member)
    {
        if (stopped() || !isCopied(name)) {
            return;
        }
        QFile out(m_folder.filePath(name));
        if (!out.open(QIODevice::WriteOnly)) {
            writeError = out.errorString();
            return;
        }
        for (qint64 left = member.size; left > 0 && !stopped();) {
            const qint64 got = m_file.read(m_buffer.data(), std::min(left, copyChunkBytes));
            if (got <= 0) {
                readError = got < 0 ? m_file.errorString() : u"file berakhir lebih awal"_s;
                return;
            }
            if (out.write(m_buffer.constData(), got) != got) {
                writeError = out.errorString();
                return;
            }
            left -= got;
            m_read.done = m_file.pos();
            m_op.progress(m_read);
            cancelled = m_op.cancelled();
        }
        if (!out.flush()) {
            writeError = out.errorString();
        }
    }

    // The whole file has been read: what the walk did not copy is what pg_restore never reads.
    void finish()
    {
        m_read.done = m_read.total;
        m_op.progress(m_read);
    }

    bool cancelled = false;
    QString readError;
    QString writeError; // the copy cannot be used, but the walk goes on

private:
    bool stopped() const { return cancelled || !readError.isEmpty() || !writeError.isEmpty(); }

    Operation& m_op;
    QFile& m_file;
    const QDir m_folder;
    QByteArray m_buffer;
    ProgressMeasure m_read;
};

} // namespace

ArchiveCopy::ArchiveCopy(Made)
    : m_dir(QDir::tempPath() + u'/' + folderPrefix.toString() + u"XXXXXX"_s),
      m_lock(m_dir.filePath(lockName.toString()))
{}

ArchiveCopy::~ArchiveCopy() = default;

Result<std::unique_ptr<ArchiveCopy>> ArchiveCopy::make(Operation& operation, QFile& file)
{
    file.seek(0);
    if (file.peek(5) == "PGDMP") {
        return std::unique_ptr<ArchiveCopy>(); // pg_restore reads it whole, from the file
    }
    if (!readableByTools(QDir::tempPath())) {
        noteNoCopy(operation, u"Nama folder sementara %1 tidak dapat dibaca oleh pg_restore"_s.arg(
                                  tempFolderText()));
        return std::unique_ptr<ArchiveCopy>();
    }
    const qint64 available = QStorageInfo(QDir::tempPath()).bytesAvailable();
    if (available < roomNeeded(file.size())) {
        noteNoCopy(operation, u"Ruang kosong di folder sementara %1 (%2) tidak cukup untuk "
                              u"salinan file backup (%3)"_s.arg(
                                  tempFolderText(), wording::size(std::max<qint64>(available, 0)),
                                  wording::size(roomNeeded(file.size()))));
        return std::unique_ptr<ArchiveCopy>();
    }
    operation.step(u"Menyalin file backup ke folder sementara..."_s);
    auto copy = std::make_unique<ArchiveCopy>(Made{});
    if (!copy->m_dir.isValid() || !copy->m_lock.tryLock(0)) {
        noteNoCopy(operation, u"Salinan file backup tidak dapat dibuat di folder sementara %1 "
                              u"(%2)"_s.arg(tempFolderText(), copy->m_dir.errorString()));
        return std::unique_ptr<ArchiveCopy>();
    }
    Copier copier(operation, file, copy->folder());
    file.seek(0);
    TarWalk walk = walkTar(file, [&copier](const QString& name, const TarMember& member) {
        copier.copy(name, member);
    });
    if (copier.cancelled) {
        return Failure::cancel();
    }
    if (!copier.readError.isEmpty()) {
        return Failure{.step = u"menyalin file backup"_s,
                       .details = u"File backup tidak dapat dibaca: "_s + copier.readError,
                       .cause = FailureCause::BackupNotReadable};
    }
    if (walk.problem) {
        return Failure{.step = u"memeriksa file backup"_s,
                       .details = *walk.problem,
                       .cause = FailureCause::DamagedBackup};
    }
    if (!copier.writeError.isEmpty()) {
        noteNoCopy(operation, u"Salinan file backup tidak dapat ditulis di folder sementara %1 "
                              u"(%2)"_s.arg(tempFolderText(), copier.writeError));
        return std::unique_ptr<ArchiveCopy>();
    }
    copier.finish();
    copy->m_members = std::move(walk.members);
    return copy;
}

std::optional<qint64> ArchiveCopy::countRows(const QString& name) const
{
    QFile member(m_dir.filePath(name));
    if (!member.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    return countDataRows(member, {.offset = 0, .size = member.size()});
}

void removeLeftCopies(Operation& operation)
{
    const QDir temp(QDir::tempPath());
    QStringList removed;
    for (const QFileInfo& folder : temp.entryInfoList(
             {folderPrefix.toString() + u'*'}, QDir::Dirs | QDir::NoSymLinks | QDir::Hidden)) {
        if (!ownedByThisUser(folder)) {
            continue;
        }
        // A lock no running program holds is taken over; one a running program holds is not.
        QLockFile lock(QDir(folder.filePath()).filePath(lockName.toString()));
        lock.setStaleLockTime(0);
        if (!lock.tryLock(0)) {
            continue;
        }
        lock.unlock();
        if (QDir(folder.filePath()).removeRecursively()) {
            removed << QDir::toNativeSeparators(folder.filePath());
        }
    }
    if (!removed.isEmpty()) {
        operation.note(u"Salinan file backup yang tertinggal dari pekerjaan sebelumnya yang "
                       u"terhenti telah dihapus: %1."_s.arg(removed.join(u", "_s)));
    }
}

} // namespace ranupa
