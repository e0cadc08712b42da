#include "core/pg/archive.h"

#include "core/files/backupfiles.h"

#include <QRegularExpression>
#include <QStringList>
#include <QTimeZone>
#include <algorithm>
#include <array>
#include <limits>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// The entry types pg_dump writes that take more than one word; the longest must be tried first
// ("SEQUENCE OWNED BY" before "SEQUENCE"). Anything else is one word.
constexpr std::array multiWordTypes = {
    u"MATERIALIZED VIEW DATA",
    u"DATABASE PROPERTIES",
    u"SEQUENCE OWNED BY",
    u"PUBLICATION TABLES IN SCHEMA",
    u"PUBLICATION TABLE",
    u"TEXT SEARCH CONFIGURATION",
    u"TEXT SEARCH DICTIONARY",
    u"TEXT SEARCH PARSER",
    u"TEXT SEARCH TEMPLATE",
    u"FOREIGN DATA WRAPPER",
    u"FOREIGN TABLE",
    u"FK CONSTRAINT",
    u"CHECK CONSTRAINT",
    u"MATERIALIZED VIEW",
    u"OPERATOR CLASS",
    u"OPERATOR FAMILY",
    u"ROW SECURITY",
    u"SECURITY LABEL",
    u"SEQUENCE SET",
    u"TABLE DATA",
    u"DEFAULT ACL",
    u"EVENT TRIGGER",
    u"LARGE OBJECT",
    u"PROCEDURAL LANGUAGE",
    u"USER MAPPING",
    u"TABLE ATTACH",
    u"INDEX ATTACH",
    u"ACCESS METHOD",
    u"SHELL TYPE",
    u"BLOB METADATA",
};

QString takeType(QStringView& rest)
{
    for (const char16_t* candidate : multiWordTypes) {
        const QStringView type(candidate);
        if (rest.startsWith(type) && (rest.size() == type.size() || rest[type.size()] == u' ')) {
            rest = rest.mid(type.size()).trimmed();
            return type.toString();
        }
    }
    const qsizetype space = rest.indexOf(u' ');
    const QString type = (space < 0 ? rest : rest.left(space)).toString();
    rest = space < 0 ? QStringView() : rest.mid(space + 1);
    return type;
}

std::optional<ArchiveTocEntry> parseEntry(const QString& line)
{
    // "<dump id>; <catalog oid> <object oid> <type> <schema> <name> <owner>"
    static const QRegularExpression head(u"^(\\d+); (\\d+) (\\d+) "_s);
    const QRegularExpressionMatch match = head.match(line);
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    ArchiveTocEntry entry;
    entry.dumpId = match.captured(1).toInt();
    entry.objectOid = match.captured(3).toUInt();
    QStringView rest = QStringView(line).mid(match.capturedEnd(0));
    entry.type = takeType(rest);
    const qsizetype schemaEnd = rest.indexOf(u' ');
    entry.schema = (schemaEnd < 0 ? rest : rest.left(schemaEnd)).toString();
    rest = schemaEnd < 0 ? QStringView() : rest.mid(schemaEnd + 1);
    // The owner is the last word; an entry without one ends in a space.
    const qsizetype ownerStart = rest.lastIndexOf(u' ');
    entry.name = (ownerStart < 0 ? rest : rest.left(ownerStart)).toString();
    entry.owner = ownerStart < 0 ? QString() : rest.mid(ownerStart + 1).toString();
    return entry;
}

// "Archive created at 2026-12-07 23:11:56 UTC"; pg_dump writes the zone as an abbreviation.
QDateTime parseCreated(const QString& text)
{
    const QString stamp = text.left(19);
    QDateTime created = QDateTime::fromString(stamp, u"yyyy-MM-dd HH:mm:ss"_s);
    if (!created.isValid()) {
        return {};
    }
    const QString zone = text.mid(19).trimmed();
    if (zone == u"UTC"_s || zone == u"GMT"_s) {
        created.setTimeZone(QTimeZone::utc());
    } else if (const QTimeZone tz(zone.toUtf8()); tz.isValid()) {
        created.setTimeZone(tz);
    }
    return created;
}

void readHeaderLine(QStringView line, ArchiveToc& toc)
{
    const auto valueAfter = [line](QStringView key) -> std::optional<QString> {
        if (!line.startsWith(key)) {
            return std::nullopt;
        }
        return line.mid(key.size()).trimmed().toString();
    };
    if (auto v = valueAfter(u"Archive created at")) {
        toc.created = parseCreated(*v);
    } else if (auto v = valueAfter(u"dbname:")) {
        toc.databaseName = *v;
    } else if (auto v = valueAfter(u"Dumped from database version:")) {
        toc.serverVersion = *v;
    }
}

constexpr qint64 blockSize = 512;
using Block = std::array<unsigned char, blockSize>;

// Offsets of the fields of a ustar header that the walk needs.
constexpr int nameOffset = 0;
constexpr int nameLength = 100;
constexpr int sizeOffset = 124;
constexpr int sizeLength = 12;
constexpr int checksumOffset = 148;
constexpr int checksumLength = 8;
constexpr int typeOffset = 156;
constexpr int magicOffset = 257;

bool isZeroBlock(const Block& block)
{
    return std::all_of(block.begin(), block.end(), [](unsigned char c) { return c == 0; });
}

bool readBlock(QIODevice& device, Block& block)
{
    return device.read(reinterpret_cast<char*>(block.data()), blockSize) == blockSize;
}

QString memberName(const Block& header)
{
    const auto* begin = reinterpret_cast<const char*>(header.data()) + nameOffset;
    return QString::fromLocal8Bit(begin, qstrnlen(begin, nameLength));
}

// An octal number field: optional leading blanks, at least one digit, then only NULs or blanks.
std::optional<quint64> parseOctal(const unsigned char* field, int length)
{
    int i = 0;
    while (i < length && field[i] == ' ') {
        ++i;
    }
    quint64 value = 0;
    int digits = 0;
    for (; i < length && field[i] >= '0' && field[i] <= '7'; ++i, ++digits) {
        if (value > (std::numeric_limits<quint64>::max() >> 3)) {
            return std::nullopt;
        }
        value = (value << 3) | quint64(field[i] - '0');
    }
    for (; i < length; ++i) {
        if (field[i] != 0 && field[i] != ' ') {
            return std::nullopt;
        }
    }
    return digits > 0 ? std::optional(value) : std::nullopt;
}

// GNU tar writes sizes of 8 GiB and more as a big-endian binary number flagged by the top bit.
std::optional<quint64> parseSize(const Block& header)
{
    const unsigned char* field = header.data() + sizeOffset;
    if ((field[0] & 0x80) == 0) {
        return parseOctal(field, sizeLength);
    }
    if ((field[0] & 0x40) != 0) { // a negative number
        return std::nullopt;
    }
    quint64 value = field[0] & 0x3f;
    for (int i = 1; i < sizeLength; ++i) {
        if (value > (std::numeric_limits<quint64>::max() >> 8)) {
            return std::nullopt;
        }
        value = (value << 8) | field[i];
    }
    return value;
}

bool hasKnownMagic(const Block& header)
{
    const auto* magic = reinterpret_cast<const char*>(header.data()) + magicOffset;
    // POSIX ustar, GNU tar, and the magic-less headers of very old pg_dump versions.
    return memcmp(magic, "ustar\0", 6) == 0 || memcmp(magic, "ustar  \0", 8) == 0 || magic[0] == 0;
}

bool checksumMatches(const Block& header)
{
    const std::optional<quint64> stored =
        parseOctal(header.data() + checksumOffset, checksumLength);
    if (!stored) {
        return false;
    }
    quint64 unsignedSum = 0;
    qint64 signedSum = 0;
    for (int i = 0; i < blockSize; ++i) {
        const bool inChecksum = i >= checksumOffset && i < checksumOffset + checksumLength;
        const unsigned char byte = inChecksum ? ' ' : header[i];
        unsignedSum += byte;
        signedSum += static_cast<signed char>(byte);
    }
    // Some old tar programs summed signed bytes; both sums describe an intact header.
    return *stored == unsignedSum || qint64(*stored) == signedSum;
}

// Links, devices, directories and FIFOs carry no data whatever their size field says.
bool typeHasData(unsigned char type)
{
    return type < '1' || type > '6';
}

quint64 paddedSize(quint64 size)
{
    return (size + blockSize - 1) / blockSize * blockSize;
}

} // namespace

QList<ArchiveTocEntry> ArchiveToc::entriesOfType(QStringView type) const
{
    QList<ArchiveTocEntry> found;
    std::copy_if(entries.begin(), entries.end(), std::back_inserter(found),
                 [type](const ArchiveTocEntry& e) { return e.type == type; });
    return found;
}

std::optional<ArchiveToc> parseArchiveList(const QString& listOutput)
{
    ArchiveToc toc;
    bool sawHeader = false;
    for (QStringView line : QStringView(listOutput).split(u'\n')) {
        if (line.endsWith(u'\r')) {
            line.chop(1);
        }
        if (line.startsWith(u';')) {
            const QStringView text = line.mid(1).trimmed();
            sawHeader =
                sawHeader || text.startsWith(u"Archive created at") || text.startsWith(u"dbname:");
            readHeaderLine(text, toc);
        } else if (auto entry = parseEntry(line.toString())) {
            toc.entries.append(*entry);
        }
    }
    return sawHeader ? std::optional(std::move(toc)) : std::nullopt;
}

QByteArray databaseEntriesList(const ArchiveToc& toc)
{
    QByteArray list;
    for (const ArchiveTocEntry& entry : toc.entries) {
        const bool aboutDatabase = (entry.type == u"COMMENT"_s || entry.type == u"ACL"_s ||
                                    entry.type == u"SECURITY LABEL"_s) &&
                                   entry.schema == u"-"_s && entry.name.startsWith(u"DATABASE "_s);
        if (aboutDatabase || entry.type == u"DATABASE PROPERTIES"_s) {
            list += QByteArray::number(entry.dumpId) + ";\n";
        }
    }
    return list;
}

ArchiveScan scanArchive(QFile& file)
{
    ArchiveScan scan;
    file.seek(0);
    if (file.peek(5) == "PGDMP") {
        scan.customFormat = true; // pg_restore reads it without tar's pitfalls
        return scan;
    }
    TarWalk walk = walkTar(file);
    scan.problem = std::move(walk.problem);
    scan.members = std::move(walk.members);
    return scan;
}

TarWalk walkTar(QIODevice& device, const TarDataReader& readData)
{
    TarWalk walk;
    const auto fail = [&walk](const QString& problem) {
        walk.problem = problem;
        return walk;
    };
    const qint64 start = device.pos();
    const qint64 total = device.size() - start;
    if (total <= 0) {
        return fail(u"File backup kosong."_s);
    }
    qint64 position = 0;
    Block header{};
    for (;;) {
        if (position == total) {
            return fail(u"Arsip terpotong: penanda akhir arsip tidak ada."_s);
        }
        if (total - position < blockSize || !device.seek(start + position) ||
            !readBlock(device, header)) {
            return fail(
                walk.members.isEmpty()
                    ? u"File bukan arsip backup."_s
                    : u"Arsip terpotong: header pada posisi %1 tidak lengkap."_s.arg(position));
        }
        if (isZeroBlock(header)) {
            Block second{};
            if (total - position < 2 * blockSize || !readBlock(device, second)) {
                return fail(u"Arsip terpotong: penanda akhir arsip tidak lengkap."_s);
            }
            if (!isZeroBlock(second)) {
                return fail(
                    u"Arsip rusak: blok kosong di tengah arsip pada posisi %1."_s.arg(position));
            }
            if (walk.members.isEmpty()) {
                return fail(u"Arsip tidak berisi apa pun."_s);
            }
            // pg_dump ends its archive right after the marker. More bytes mean a file that was
            // cut short and filled up (with zeros, say): the marker is then just the first
            // empty block where the rest of the archive should be.
            const qint64 after = total - position - 2 * blockSize;
            if (after > 0) {
                return fail(
                    u"Arsip rusak: ada %1 byte setelah penanda akhir arsip pada posisi "
                    u"%2; bagian arsip sesudahnya hilang atau file telah diisi."_s.arg(after)
                        .arg(position));
            }
            return walk;
        }
        if (!hasKnownMagic(header) || !checksumMatches(header)) {
            return fail(walk.members.isEmpty()
                            ? u"File bukan arsip backup."_s
                            : u"Arsip rusak: header pada posisi %1 tidak valid."_s.arg(position));
        }
        const std::optional<quint64> size = parseSize(header);
        if (!size) {
            return fail(u"Arsip rusak: ukuran \"%1\" tidak valid."_s.arg(memberName(header)));
        }
        const quint64 dataSize = typeHasData(header[typeOffset]) ? paddedSize(*size) : 0;
        if (dataSize > quint64(total - position - blockSize)) {
            return fail(u"Arsip terpotong: data \"%1\" tidak lengkap."_s.arg(memberName(header)));
        }
        const QString name = memberName(header);
        const TarMember member{.offset = start + position + blockSize, .size = qint64(*size)};
        walk.members.insert(name, member);
        if (readData && typeHasData(header[typeOffset])) {
            readData(name, member);
        }
        position += blockSize + qint64(dataSize);
    }
}

ArchiveScan scanArchiveFile(const QString& filePath)
{
    QFile file;
    if (const std::optional<Failure> unreadable = openRegularFileForReading(filePath, file)) {
        ArchiveScan scan;
        scan.problem = u"File backup tidak dapat dibaca: "_s + unreadable->details;
        scan.unreadable = true;
        return scan;
    }
    return scanArchive(file);
}

std::optional<QString> missingDataMembers(const ArchiveToc& toc, const TarMembers& members)
{
    QStringList missing;
    const auto require = [&](const QString& member, const QString& what) {
        // pg_dump versions that compressed tar members named them with ".gz".
        if (!members.contains(member) && !members.contains(member + u".gz"_s)) {
            missing << u"%1 (%2)"_s.arg(what, member);
        }
    };
    if (!members.contains(u"toc.dat"_s)) {
        missing << u"daftar isi (toc.dat)"_s;
    }
    for (const ArchiveTocEntry& entry : toc.entries) {
        if (entry.type == u"TABLE DATA"_s) {
            require(u"%1.dat"_s.arg(entry.dumpId),
                    u"data tabel %1.%2"_s.arg(entry.schema, entry.name));
        }
    }
    if (!toc.entriesOfType(u"BLOBS").isEmpty()) {
        require(u"blobs.toc"_s, u"daftar objek besar"_s);
        for (const ArchiveTocEntry& blob : toc.entriesOfType(u"BLOB")) {
            require(u"blob_%1.dat"_s.arg(blob.objectOid), u"objek besar %1"_s.arg(blob.objectOid));
        }
    }
    if (missing.isEmpty()) {
        return std::nullopt;
    }
    constexpr qsizetype listed = 10;
    QString text = u"Arsip tidak lengkap: %1 bagian data yang disebut daftar isinya tidak ada di "
                   u"dalam arsip:\n"_s.arg(missing.size()) +
                   missing.first(std::min(listed, missing.size())).join(u'\n');
    if (missing.size() > listed) {
        text += u"\n..."_s;
    }
    return text;
}

std::optional<qint64> countDataRows(QIODevice& device, const TarMember& member)
{
    if (!device.seek(member.offset)) {
        return std::nullopt;
    }
    qint64 lines = 0;
    QByteArray tail; // the last bytes read, for the end of the data
    for (qint64 left = member.size; left > 0;) {
        const QByteArray chunk = device.read(std::min<qint64>(left, 1 << 20));
        if (chunk.isEmpty()) {
            return std::nullopt;
        }
        lines += chunk.count('\n');
        tail = (tail + chunk.right(8)).right(8);
        left -= chunk.size();
    }
    // "\." alone on a line, then only line ends (pg_dump writes three): a "\." further up counts
    // as a row, so that the rows it would cut off on loading show as missing.
    qsizetype ends = 0;
    while (ends < tail.size() && tail.at(tail.size() - 1 - ends) == '\n') {
        ++ends;
    }
    const QByteArray last = tail.chopped(ends);
    const bool alone = last == "\\." ? member.size == ends + 2 : last.endsWith("\n\\.");
    if (ends == 0 || !alone) {
        return std::nullopt;
    }
    return lines - ends;
}

} // namespace ranupa
