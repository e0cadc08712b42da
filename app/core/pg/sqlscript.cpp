#include "core/pg/sqlscript.h"

#include <QString>
#include <algorithm>

namespace ranupa::sql {

namespace {

bool isIdentStart(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_' || u >= 0x80;
}

bool isIdentPart(char c)
{
    return isIdentStart(c) || (c >= '0' && c <= '9') || c == '$';
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

char toLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

class Lexer final
{
public:
    explicit Lexer(QByteArrayView text) : s(text) {}

    QList<Statement> run()
    {
        QList<Statement> statements;
        Statement current;
        int depth = 0;
        const auto close = [&](qsizetype end) {
            if (!current.tokens.isEmpty()) {
                current.end = end;
                statements.append(current);
            }
            current = {};
            depth = 0;
        };
        while (skipBlanksAndComments()) {
            if (s[pos] == '\\') {
                // psql ends the query buffer's reading here; pg_restore only writes meta-commands
                // between statements.
                close(pos);
                const qsizetype begin = pos;
                const qsizetype lineEnd = s.indexOf('\n', pos);
                pos = lineEnd < 0 ? s.size() : lineEnd + 1;
                statements.append({.meta = true, .begin = begin, .end = pos, .tokens = {}});
                continue;
            }
            const Token token = next();
            if (token.kind == Token::Kind::Symbol) {
                const char c = s[token.begin];
                if (c == ';' && depth == 0) {
                    close(token.end);
                    continue;
                }
                depth += c == '(' ? 1 : c == ')' ? -1 : 0;
            }
            if (current.tokens.isEmpty()) {
                current.begin = token.begin;
            }
            current.tokens.append(token);
        }
        close(s.size());
        return statements;
    }

private:
    // Moves to the next token's first byte; false at the end of the text.
    bool skipBlanksAndComments()
    {
        while (pos < s.size()) {
            if (isSpace(s[pos])) {
                ++pos;
            } else if (s.sliced(pos).startsWith("--")) {
                const qsizetype lineEnd = s.indexOf('\n', pos);
                pos = lineEnd < 0 ? s.size() : lineEnd + 1;
            } else if (s.sliced(pos).startsWith("/*")) {
                skipBlockComment();
            } else {
                return true;
            }
        }
        return false;
    }

    // Block comments nest in SQL.
    void skipBlockComment()
    {
        int level = 0;
        while (pos < s.size()) {
            if (s.sliced(pos).startsWith("/*")) {
                ++level;
                pos += 2;
            } else if (s.sliced(pos).startsWith("*/")) {
                pos += 2;
                if (--level == 0) {
                    return;
                }
            } else {
                ++pos;
            }
        }
    }

    Token next()
    {
        const qsizetype begin = pos;
        const char c = s[pos];
        if (c == '"') {
            return quoted(begin, '"', false, Token::Kind::QuotedIdent);
        }
        if (c == '\'') {
            return quoted(begin, '\'', false, Token::Kind::String);
        }
        if ((c == 'E' || c == 'e') && pos + 1 < s.size() && s[pos + 1] == '\'') {
            ++pos;
            return quoted(begin, '\'', true, Token::Kind::String);
        }
        if (c == '$') {
            if (const qsizetype tagEnd = dollarTagEnd(); tagEnd > 0) {
                const QByteArrayView tag = s.sliced(pos, tagEnd - pos);
                const qsizetype close = s.indexOf(tag, tagEnd);
                pos = close < 0 ? s.size() : close + tag.size();
                return {Token::Kind::String, begin, pos};
            }
        }
        if (isIdentPart(c)) {
            while (pos < s.size() && isIdentPart(s[pos])) {
                ++pos;
            }
            return {Token::Kind::Word, begin, pos};
        }
        ++pos;
        return {Token::Kind::Symbol, begin, pos};
    }

    // At an opening quote: the token up to the closing one; a doubled quote stands for itself.
    // Unterminated when the text ends first.
    Token quoted(qsizetype begin, char quote, bool backslashEscapes, Token::Kind kind)
    {
        ++pos;
        while (pos < s.size()) {
            const char c = s[pos++];
            if (backslashEscapes && c == '\\') {
                ++pos;
            } else if (c == quote && pos < s.size() && s[pos] == quote) {
                ++pos;
            } else if (c == quote) {
                return {kind, begin, pos};
            }
        }
        pos = s.size(); // past a backslash that ended the text
        return {Token::Kind::Unterminated, begin, pos};
    }

    // At a "$": the end of a dollar-quote tag ("$$", "$body$") starting here, or 0 when the "$"
    // starts none (a parameter such as $1).
    qsizetype dollarTagEnd() const
    {
        qsizetype i = pos + 1;
        if (i < s.size() && isIdentStart(s[i])) {
            while (i < s.size() && isIdentPart(s[i]) && s[i] != '$') {
                ++i;
            }
        }
        return (i < s.size() && s[i] == '$') ? i + 1 : 0;
    }

    QByteArrayView s;
    qsizetype pos = 0;
};

QByteArray undoubled(QByteArrayView inner, char quote)
{
    QByteArray value;
    value.reserve(inner.size());
    for (qsizetype i = 0; i < inner.size(); ++i) {
        value.append(inner[i]);
        if (inner[i] == quote && i + 1 < inner.size() && inner[i + 1] == quote) {
            ++i;
        }
    }
    return value;
}

QByteArray doubled(QByteArrayView text, char quote)
{
    QByteArray quoted(1, quote);
    for (const char c : text) {
        quoted.append(c);
        if (c == quote) {
            quoted.append(c);
        }
    }
    quoted.append(quote);
    return quoted;
}

int digitValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    const char lower = toLower(c);
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

// The text of an E'...' literal: backslash escapes as the server reads them (\n, \t, octal,
// \x hex, \u and \U code points, anything else standing for itself), doubled quotes undone.
QByteArray withEscapesUndone(QByteArrayView inner)
{
    QByteArray out;
    // Up to `most` digits of `base` from `i` on: their value and how many there were.
    const auto digits = [&](qsizetype& i, int base, int most) {
        char32_t value = 0;
        int taken = 0;
        for (; taken < most && i < inner.size(); ++taken, ++i) {
            const int digit = digitValue(inner[i]);
            if (digit < 0 || digit >= base) {
                break;
            }
            value = value * char32_t(base) + char32_t(digit);
        }
        return std::pair{value, taken};
    };
    for (qsizetype i = 0; i < inner.size();) {
        const char c = inner[i++];
        if (c == '\'' && i < inner.size() && inner[i] == '\'') {
            out += '\'';
            ++i;
            continue;
        }
        if (c != '\\' || i >= inner.size()) {
            out += c;
            continue;
        }
        const char e = inner[i++];
        static constexpr QByteArrayView simple = "bfnrt";
        if (const qsizetype k = simple.indexOf(e); k >= 0) {
            out += "\b\f\n\r\t"[k];
            continue;
        }
        switch (e) {
        case 'x': {
            const auto [value, taken] = digits(i, 16, 2);
            taken > 0 ? void(out += char(value)) : void(out += 'x');
            break;
        }
        case 'u':
        case 'U': {
            const auto [value, taken] = digits(i, 16, e == 'u' ? 4 : 8);
            out += taken > 0 ? QString::fromUcs4(&value, 1).toUtf8() : QByteArray(1, e);
            break;
        }
        default:
            if (e >= '0' && e <= '7') {
                --i;
                out += char(digits(i, 8, 3).first);
            } else {
                out += e;
            }
        }
    }
    return out;
}

} // namespace

QList<Statement> splitScript(QByteArrayView script)
{
    return Lexer(script).run();
}

QByteArray StatementView::value(qsizetype i) const
{
    const QByteArrayView text = this->text(i);
    switch (tokens[i].kind) {
    case Token::Kind::Word: {
        QByteArray folded = text.toByteArray();
        std::transform(folded.begin(), folded.end(), folded.begin(), toLower);
        return folded;
    }
    case Token::Kind::QuotedIdent:
        return undoubled(text.sliced(1, std::max<qsizetype>(text.size() - 2, 0)), '"');
    case Token::Kind::String:
        if (text.startsWith('$')) {
            const qsizetype tagLength = text.indexOf('$', 1) + 1;
            return text.sliced(tagLength, std::max<qsizetype>(text.size() - 2 * tagLength, 0))
                .toByteArray();
        }
        if (text.startsWith('\'')) {
            return undoubled(text.sliced(1, std::max<qsizetype>(text.size() - 2, 0)), '\'');
        }
        return withEscapesUndone(text.sliced(2, std::max<qsizetype>(text.size() - 3, 0)));
    case Token::Kind::Symbol:
    case Token::Kind::Unterminated:
        break;
    }
    return text.toByteArray();
}

bool StatementView::word(qsizetype i, QByteArrayView lowerCaseWord) const
{
    if (i < 0 || i >= size() || tokens[i].kind != Token::Kind::Word ||
        text(i).size() != lowerCaseWord.size()) {
        return false;
    }
    return std::equal(lowerCaseWord.begin(), lowerCaseWord.end(), text(i).begin(),
                      [](char lower, char c) { return toLower(c) == lower; });
}

QByteArray quoteLiteral(QByteArrayView text)
{
    if (!text.contains('\\')) {
        return doubled(text, '\'');
    }
    QByteArray escaped = text.toByteArray();
    return 'E' + doubled(escaped.replace("\\", "\\\\"), '\'');
}

QByteArray quoteIdentifier(QByteArrayView name)
{
    return doubled(name, '"');
}

bool isCreateDatabase(const StatementView& st)
{
    return st.words(0, {"create", "database"});
}

bool isDatabaseOwnerChange(const StatementView& st)
{
    return st.words(0, {"alter", "database"}) && st.words(3, {"owner", "to"});
}

QString scriptEncoding(QByteArrayView script, const QList<Statement>& statements)
{
    for (const Statement& statement : statements) {
        const StatementView st(script, statement);
        if (st.words(0, {"set", "client_encoding"}) && st.size() >= 4) {
            return QString::fromLatin1(st.value(3)).toUpper();
        }
    }
    return {};
}

bool isOnlySessionSetup(const StatementView& st)
{
    return st.word(0, "set") || st.word(0, "reset") ||
           (st.word(0, "select") && st.size() > 3 && st.value(3) == "set_config");
}

} // namespace ranupa::sql
