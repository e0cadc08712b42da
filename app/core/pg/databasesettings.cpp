#include "core/pg/databasesettings.h"

#include "core/pg/archivetoc.h"
#include "core/pg/sqlscript.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

using sql::Statement;
using sql::StatementView;
using sql::Token;

// Where the database's name goes in the statements written anew; a control character, which no
// statement taken from an archive can hold.
constexpr QByteArrayView databaseNameSlot = "\x01";

// Symbols a settings statement may hold besides names, words and literals.
bool isPlainSymbol(const StatementView& st, qsizetype i)
{
    return st.symbol(i, ',') || st.symbol(i, '=') || st.symbol(i, '.') || st.symbol(i, '-');
}

// GRANT privileges ON DATABASE name TO ... / REVOKE ... FROM ...: the one name, never a list,
// so that no other database's privileges change.
qsizetype grantedDatabaseIndex(const StatementView& st)
{
    for (qsizetype i = 1; i + 3 < st.size(); ++i) {
        if (st.words(i, {"on", "database"})) {
            return st.anyWord(i + 3, {"to", "from"}) ? i + 2 : -1;
        }
    }
    return -1;
}

// What ALTER DATABASE name ... may change: its settings, connection limit and template flag.
bool isDatabasePropertyChange(const StatementView& st)
{
    return (st.word(3, "set") && !st.word(4, "tablespace")) || st.word(3, "reset") ||
           st.words(3, {"connection", "limit"}) || st.word(3, "is_template");
}

// Where the database's name stands in a statement of a kind pg_dump writes into a database's own
// entries; -1 for any other kind. SET and RESET SESSION AUTHORIZATION, which pg_dump puts around
// a grant made by another role than the owner, name no database: `namesNone` says so.
qsizetype databaseNameIndex(const StatementView& st, bool& namesNone)
{
    namesNone = false;
    if (st.words(0, {"set", "session", "authorization"}) && st.size() == 4) {
        namesNone = true;
        return -1;
    }
    if (st.words(0, {"reset", "session", "authorization"}) && st.size() == 3) {
        namesNone = true;
        return -1;
    }
    if (st.words(0, {"alter", "database"})) {
        return isDatabasePropertyChange(st) ? 2 : -1;
    }
    if (st.word(0, "alter") && st.anyWord(1, {"role", "user"}) && st.words(3, {"in", "database"}) &&
        st.anyWord(6, {"set", "reset"})) {
        return 5;
    }
    const bool withText = st.size() >= 2 && st.word(st.size() - 2, "is");
    if (st.words(0, {"comment", "on", "database"})) {
        return st.size() == 6 && withText ? 3 : -1;
    }
    if (st.words(0, {"security", "label"})) {
        const qsizetype on = st.word(2, "for") ? 4 : 2;
        return st.size() == on + 5 && st.words(on, {"on", "database"}) && withText ? on + 2 : -1;
    }
    if (st.anyWord(0, {"grant", "revoke"})) {
        return grantedDatabaseIndex(st);
    }
    return -1;
}

// The statement written anew: names and literals quoted by the program, the database's name as
// databaseNameSlot. Nothing when a token is not one of the plain kinds.
std::optional<QByteArray> rebuilt(const StatementView& st, qsizetype nameIndex)
{
    QByteArray out;
    for (qsizetype i = 0; i < st.size(); ++i) {
        const bool tight = st.symbol(i, '.') || (i > 0 && st.symbol(i - 1, '.'));
        if (i > 0 && !tight && !st.symbol(i, ',')) {
            out += ' ';
        }
        if (i == nameIndex) {
            out += databaseNameSlot;
        } else if (st.token(i).kind == Token::Kind::Word) {
            out += st.text(i); // letters, digits, "_" and "$" only
        } else if (st.token(i).kind == Token::Kind::QuotedIdent) {
            out += sql::quoteIdentifier(st.value(i));
        } else if (st.token(i).kind == Token::Kind::String) {
            out += sql::quoteLiteral(st.value(i));
        } else if (isPlainSymbol(st, i)) {
            out += st.value(i);
        } else {
            return std::nullopt;
        }
    }
    return out + ';';
}

bool isLeftOutMeta(QByteArrayView text)
{
    return text.startsWith("\\connect") || text.startsWith("\\restrict") ||
           text.startsWith("\\unrestrict");
}

// psql reads a NUL, a carriage return or an escape as something else than text: any of them
// could end a literal early. Tab and line feed are all a setting or comment needs.
bool isControl(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\t' && c != '\n') || u == 0x7f;
}

// Where the first control character of `text` is, a line break of Windows not counted; -1 if
// there is none.
qsizetype firstControl(QByteArrayView text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const bool lineEnd = text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n';
        if (!lineEnd && isControl(text[i])) {
            return i;
        }
    }
    return -1;
}

bool valuesHoldControl(const StatementView& st)
{
    for (qsizetype i = 0; i < st.size(); ++i) {
        if (st.token(i).kind != Token::Kind::Symbol && firstControl(st.value(i)) >= 0) {
            return true;
        }
    }
    return false;
}

// Text of the archive as the operator can read it: control characters as \xNN.
QString shown(QByteArrayView text)
{
    QByteArray out;
    for (const char c : text.trimmed()) {
        out += isControl(c) ? "\\x" + QByteArray::number(uchar(c), 16).rightJustified(2, '0')
                            : QByteArray(1, c);
    }
    return QString::fromUtf8(out);
}

QString shownStatement(QByteArrayView script, const Statement& statement)
{
    return shown(script.sliced(statement.begin, statement.end - statement.begin));
}

// The line around `at`.
QString shownLine(QByteArrayView script, qsizetype at)
{
    const qsizetype begin = script.lastIndexOf('\n', at) + 1;
    const qsizetype end = script.indexOf('\n', at);
    return shown(script.sliced(begin, (end < 0 ? script.size() : end) - begin));
}

// The encodings a database can have. A client-only encoding (SJIS, BIG5, GBK, ...) lets a
// multibyte character swallow the quote that follows it.
bool isServerEncoding(const QByteArray& name)
{
    static const QByteArrayList names{
        "SQL_ASCII",    "UTF8",          "EUC_JP",     "EUC_CN",     "EUC_KR",     "EUC_TW",
        "EUC_JIS_2004", "MULE_INTERNAL", "LATIN1",     "LATIN2",     "LATIN3",     "LATIN4",
        "LATIN5",       "LATIN6",        "LATIN7",     "LATIN8",     "LATIN9",     "LATIN10",
        "WIN1256",      "WIN1258",       "WIN866",     "WIN874",     "KOI8R",      "WIN1251",
        "WIN1252",      "ISO_8859_5",    "ISO_8859_6", "ISO_8859_7", "ISO_8859_8", "WIN1250",
        "WIN1253",      "WIN1254",       "WIN1255",    "WIN1257",    "KOI8U"};
    return names.contains(name.toUpper());
}

} // namespace

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

DatabaseSettings databaseSettings(QByteArrayView script)
{
    const QList<Statement> statements = sql::splitScript(script);
    DatabaseSettings settings;
    settings.encoding = scriptEncoding(script, statements).toLatin1();
    QByteArray archiveName;
    for (const Statement& statement : statements) {
        if (const StatementView st(script, statement); isCreateDatabase(st) && st.isName(2)) {
            archiveName = st.value(2);
            break;
        }
    }
    const auto refuse = [&](const QString& what, const QString& why) {
        settings.statements.clear();
        settings.refused = what;
        settings.refusedWhy = why;
        return settings;
    };
    const QString control = u"karakter kontrol"_s;
    if (const qsizetype at = firstControl(script); at >= 0) {
        return refuse(shownLine(script, at), control);
    }
    const QString notSetting = u"perintah yang bukan pengaturan database"_s;
    bool asAnotherRole = false;
    for (const Statement& statement : statements) {
        const StatementView st(script, statement);
        if (valuesHoldControl(st)) {
            return refuse(shownStatement(script, statement), control);
        }
        if (statement.meta) {
            if (!isLeftOutMeta(script.sliced(statement.begin))) {
                return refuse(shownStatement(script, statement), notSetting);
            }
            continue;
        }
        if (isCreateDatabase(st) || isDatabaseOwnerChange(st)) {
            continue;
        }
        if (st.words(0, {"set", "client_encoding"}) && st.size() >= 4 &&
            (!isServerEncoding(st.value(3)) || st.value(3).toUpper() != settings.encoding)) {
            return refuse(shownStatement(script, statement),
                          u"encoding yang tidak dapat dimiliki database PostgreSQL"_s);
        }
        bool namesNone = false;
        const qsizetype nameIndex = databaseNameIndex(st, namesNone);
        if (!namesNone && isOnlySessionSetup(st)) {
            continue;
        }
        if (!namesNone &&
            (nameIndex < 0 || !st.isName(nameIndex) || st.value(nameIndex) != archiveName)) {
            return refuse(shownStatement(script, statement), notSetting);
        }
        const std::optional<QByteArray> statementText = rebuilt(st, nameIndex);
        if (!statementText) {
            return refuse(shownStatement(script, statement), notSetting);
        }
        if (namesNone) {
            asAnotherRole = st.word(0, "set");
        }
        settings.statements += *statementText + '\n';
    }
    if (asAnotherRole) {
        settings.statements += "RESET SESSION AUTHORIZATION;\n";
    }
    return settings;
}

QByteArray settingsFor(const DatabaseSettings& settings, const QString& database)
{
    QByteArray statements = settings.statements;
    return statements.replace(databaseNameSlot, sql::quoteIdentifier(database.toUtf8()));
}

} // namespace ranupa
