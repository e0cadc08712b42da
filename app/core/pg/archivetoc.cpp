#include "core/pg/archivetoc.h"

#include <QRegularExpression>
#include <QTimeZone>
#include <algorithm>
#include <array>

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
    if (schemaEnd < 0) {
        entry.schema = rest.toString();
        return entry;
    }
    entry.schema = rest.left(schemaEnd).toString();
    rest = rest.mid(schemaEnd + 1);
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
            if (text.startsWith(u"Archive created at") || text.startsWith(u"dbname:")) {
                sawHeader = true;
            }
            readHeaderLine(text, toc);
        } else if (auto entry = parseEntry(line.toString())) {
            toc.entries.append(*entry);
        }
    }
    if (!sawHeader) {
        return std::nullopt;
    }
    return toc;
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

} // namespace ranupa
