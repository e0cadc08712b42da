#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QIODevice>
#include <QList>
#include <QString>
#include <functional>
#include <optional>

// A backup archive as the program reads it: its table of contents as pg_restore --list prints it,
// and the tar structure pg_dump writes, checked the way the program checks it: its members, and
// the rows a table's member holds.
namespace ranupa {

// One line of an archive's table of contents as pg_restore --list prints it:
// "3391; 0 16432 TABLE DATA public mata_pelajaran postgres".
struct ArchiveTocEntry
{
    int dumpId = 0;
    quint32 objectOid = 0;
    QString type;   // "TABLE", "TABLE DATA", "BLOBS", "SEQUENCE SET", ...
    QString schema; // "-" where the object has none
    QString name;   // may hold spaces, e.g. "DATABASE pendataan" for a comment
    QString owner;  // "" where the entry has none
};

// What pg_restore --list says about an archive: its header and its entries in archive order.
struct ArchiveToc
{
    QDateTime created; // when pg_dump wrote it; invalid when the header lacks it
    QString databaseName;
    QString serverVersion; // "Dumped from database version"
    QList<ArchiveTocEntry> entries;

    QList<ArchiveTocEntry> entriesOfType(QStringView type) const;
};

// Reads the text of pg_restore --list (with or without --create). Nothing when the text holds no
// archive header at all; unknown lines are skipped.
std::optional<ArchiveToc> parseArchiveList(const QString& listOutput);

// The list for pg_restore --use-list that selects the database's own entries: its comment,
// privileges, security labels and settings (the DATABASE PROPERTIES entry). Empty when the
// archive has none of them.
QByteArray databaseEntriesList(const ArchiveToc& toc);

// Where the data of one member of a tar archive lies in the file.
struct TarMember
{
    qint64 offset = 0; // of its first byte, from the start of the file
    qint64 size = 0;
};
using TarMembers = QHash<QString, TarMember>; // by name

// What a walk through the tar structure of an archive found.
struct TarWalk
{
    std::optional<QString> problem; // why it cannot be restored; nothing when it is whole
    TarMembers members;             // the members met on the way
};

// Called for each member that holds data, with the device at its first byte of data; it may read
// the data, and the walk goes on from the member's end whatever it read.
using TarDataReader = std::function<void(const QString& name, const TarMember& member)>;

// Walks the tar structure of `device` from its current position: every member header must be
// valid and every member's data and padding present, and the archive must end with its two zero
// blocks and nothing after them, as pg_dump writes it. Reads the headers only, and the data only
// where `readData` reads it.
TarWalk walkTar(QIODevice& device, const TarDataReader& readData = {});

// What the file itself says about an archive, before any tool reads it.
struct ArchiveScan
{
    std::optional<QString> problem;
    bool unreadable = false;   // the problem is that the file cannot be opened at all
    bool customFormat = false; // starts with "PGDMP": no tar structure to walk
    TarMembers members;        // of a tar archive
};

// Opens the file only when it is a regular file (never blocking on a FIFO or a device), then
// walks its tar structure; a file in the custom archive format has none and passes. A missing,
// unreadable or empty file is a problem.
ArchiveScan scanArchiveFile(const QString& filePath);

// The same for a file already open, read from its start.
ArchiveScan scanArchive(QFile& file);

// Whether every data member that the table of contents names is among a tar archive's members:
// "<dump id>.dat" for each TABLE DATA entry, and with a BLOBS entry "blobs.toc" and
// "blob_<oid>.dat" for each BLOB. pg_restore --list reads the table of contents only, so an
// archive that lost its later members is listed fine; this says which are missing.
std::optional<QString> missingDataMembers(const ArchiveToc& toc, const TarMembers& members);

// The rows in a table's data member as pg_dump writes it: one line of COPY text each, then a
// "\." line and empty ones. Reads the member through `device`; nothing when it cannot be read
// or does not end so.
std::optional<qint64> countDataRows(QIODevice& device, const TarMember& member);

} // namespace ranupa
