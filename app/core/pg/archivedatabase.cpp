#include "core/pg/archivedatabase.h"

#include "core/pg/sqlscript.h"

#include <QHash>
#include <algorithm>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

using sql::Statement;
using sql::StatementView;
using sql::Token;

// Names and locales are bytes in the script's encoding. Anything but UTF-8 is, for the names a
// school's database holds, a single-byte Latin encoding.
QString decodeScriptText(const QByteArray& bytes, const QString& encoding)
{
    if (encoding.isEmpty() || encoding == u"UTF8"_s || encoding == u"SQL_ASCII"_s) {
        return QString::fromUtf8(bytes);
    }
    return QString::fromLatin1(bytes);
}

// Gathers the roles that the statements of a script name.
struct RoleCollector
{
    QString encoding; // the script's, which the names are in
    QStringList found;

    void read(const StatementView& st)
    {
        if (isCreateDatabase(st) || isDatabaseOwnerChange(st)) {
            return; // the new database is postgres's whatever the old one's owner was
        }
        for (qsizetype i = 0; i + 2 < st.size(); ++i) {
            if (st.words(i, {"owner", "to"})) {
                addName(st, i + 2);
            }
        }
        if (st.anyWord(0, {"grant", "revoke"})) {
            readPrivileges(st, 0);
        } else if (st.words(0, {"alter", "default", "privileges"})) {
            readDefaultPrivileges(st);
        } else if (st.words(0, {"set", "session", "authorization"})) {
            addName(st, 3);
        } else if (st.words(0, {"set", "role"})) {
            addName(st, 2);
        } else if (st.words(0, {"create", "policy"})) {
            if (const qsizetype to = st.firstTopLevelWord("to"); to >= 0) {
                addList(st, to + 1);
            }
        } else if (st.word(0, "alter") && st.anyWord(1, {"role", "user"}) &&
                   st.words(3, {"in", "database"})) {
            addName(st, 2);
        } else if (st.words(0, {"create", "user", "mapping", "for"})) {
            addName(st, 4);
        }
    }

    // GRANT ... TO grantees / REVOKE ... FROM grantees, starting at the GRANT or REVOKE word.
    void readPrivileges(const StatementView& st, qsizetype start)
    {
        const bool grant = st.word(start, "grant");
        const qsizetype clause = st.lastTopLevelWord(grant ? "to" : "from", start);
        if (clause >= 0) {
            addList(st, clause + 1);
        }
        if (const qsizetype by = st.lastTopLevelWord("granted", start);
            by >= 0 && st.word(by + 1, "by")) {
            addName(st, by + 2);
        }
    }

    // ALTER DEFAULT PRIVILEGES FOR ROLE r [IN SCHEMA s] GRANT/REVOKE ...
    void readDefaultPrivileges(const StatementView& st)
    {
        if (st.word(3, "for") && st.anyWord(4, {"role", "user"})) {
            addList(st, 5);
        }
        for (qsizetype i = 3; i < st.size(); ++i) {
            if (st.anyWord(i, {"grant", "revoke"})) {
                readPrivileges(st, i);
                return;
            }
        }
    }

    // A comma-separated list of role names from `i`, up to the first token that is neither.
    void addList(const StatementView& st, qsizetype i)
    {
        for (;;) {
            if (st.word(i, "group")) {
                ++i; // the old "TO GROUP name" spelling
            }
            if (!addName(st, i) || !st.symbol(i + 1, ',')) {
                return;
            }
            i += 2;
        }
    }

    bool addName(const StatementView& st, qsizetype i)
    {
        const bool literal = i < st.size() && st.token(i).kind == Token::Kind::String;
        // Words that end a list of roles rather than name one.
        const bool clauseWord = st.anyWord(i, {"with", "using", "granted", "cascade", "restrict",
                                               "in", "grant", "revoke", "server", "on"});
        if ((!st.isName(i) && !literal) || clauseWord) {
            return false;
        }
        // Role names that are keywords when unquoted, not roles.
        if (st.anyWord(i, {"public", "current_user", "session_user", "current_role", "none"})) {
            return true;
        }
        const QString name = decodeScriptText(st.value(i), encoding);
        if (!name.isEmpty() && !found.contains(name)) {
            found.append(name);
        }
        return true;
    }
};

// Options of CREATE DATABASE name [WITH] option [=] value ..., keyed by lower-case option name.
QHash<QByteArray, QByteArray> createDatabaseOptions(const StatementView& st)
{
    QHash<QByteArray, QByteArray> options;
    qsizetype i = st.word(3, "with") ? 4 : 3;
    while (i < st.size()) {
        if (st.token(i).kind != Token::Kind::Word) {
            ++i;
            continue;
        }
        QByteArray key = st.value(i++);
        if (key == "connection" && st.word(i, "limit")) {
            key = "connection limit";
            ++i;
        }
        if (st.symbol(i, '=')) {
            ++i;
        }
        QByteArray value;
        if (st.symbol(i, '-')) {
            value = "-";
            ++i;
        }
        if (i < st.size()) {
            value += st.value(i++);
        }
        options.insert(key, value);
    }
    return options;
}

// The role "ALTER DATABASE `name` OWNER TO role" names; "" when the script has no such statement.
QString ownerIn(QByteArrayView script, const QList<Statement>& statements, const QByteArray& name,
                const QString& encoding)
{
    for (const Statement& statement : statements) {
        const StatementView st(script, statement);
        if (!statement.meta && isDatabaseOwnerChange(st) && st.size() == 6 && st.value(2) == name &&
            st.isName(5)) {
            return decodeScriptText(st.value(5), encoding);
        }
    }
    return {};
}

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

// SET and RESET SESSION AUTHORIZATION, which pg_dump puts around a grant made by another role
// than the owner: they name no database.
bool isSessionAuthorization(const StatementView& st)
{
    return (st.words(0, {"set", "session", "authorization"}) && st.size() == 4) ||
           (st.words(0, {"reset", "session", "authorization"}) && st.size() == 3);
}

// Where the database's name stands in a statement of a kind pg_dump writes into a database's own
// entries; -1 for any other kind.
qsizetype databaseNameIndex(const StatementView& st)
{
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
        } else if (st.token(i).kind == Token::Kind::Word || isPlainSymbol(st, i)) {
            out += st.text(i); // letters, digits, "_" and "$" only; or one plain symbol
        } else if (st.token(i).kind == Token::Kind::QuotedIdent) {
            out += sql::quoteIdentifier(st.value(i));
        } else if (st.token(i).kind == Token::Kind::String) {
            out += sql::quoteLiteral(st.value(i));
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

std::optional<ArchiveDatabase> archiveDatabaseFromScript(QByteArrayView script)
{
    const QList<Statement> statements = sql::splitScript(script);
    const QString encoding = scriptEncoding(script, statements);
    for (const Statement& statement : statements) {
        const StatementView st(script, statement);
        if (statement.meta || !isCreateDatabase(st) || !st.isName(2)) {
            continue;
        }
        const auto options = createDatabaseOptions(st);
        const auto text = [&](const QByteArray& key) {
            return decodeScriptText(options.value(key), encoding);
        };
        ArchiveDatabase database;
        database.name = decodeScriptText(st.value(2), encoding);
        DatabaseLocale& locale = database.locale;
        locale.encoding = options.contains("encoding") ? text("encoding").toUpper() : encoding;
        locale.collate = options.contains("lc_collate") ? text("lc_collate") : text("locale");
        locale.ctype = options.contains("lc_ctype") ? text("lc_ctype") : text("locale");
        locale.provider = text("locale_provider").toLower();
        locale.icuLocale = text("icu_locale");
        database.owner = ownerIn(script, statements, st.value(2), encoding);
        return database;
    }
    return std::nullopt;
}

QStringList rolesNamedInScript(QByteArrayView script)
{
    const QList<Statement> statements = sql::splitScript(script);
    RoleCollector collector{.encoding = scriptEncoding(script, statements), .found = {}};
    for (const Statement& statement : statements) {
        if (!statement.meta) {
            collector.read(StatementView(script, statement));
        }
    }
    return collector.found;
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
        const bool namesNone = isSessionAuthorization(st);
        const qsizetype nameIndex = namesNone ? -1 : databaseNameIndex(st);
        if (!namesNone && isOnlySessionSetup(st)) {
            continue;
        }
        const bool ofTheDatabase =
            namesNone || (st.isName(nameIndex) && st.value(nameIndex) == archiveName);
        const std::optional<QByteArray> statementText =
            ofTheDatabase ? rebuilt(st, nameIndex) : std::nullopt;
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
