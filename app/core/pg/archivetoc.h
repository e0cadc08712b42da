#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <optional>

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

} // namespace ranupa
