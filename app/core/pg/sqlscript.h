#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <algorithm>
#include <initializer_list>

namespace ranupa::sql {

// A lexical piece of an SQL script as pg_restore writes it. Offsets index the script's bytes.
struct Token
{
    enum class Kind
    {
        Word,         // keyword or unquoted identifier; also numbers
        QuotedIdent,  // "..."
        String,       // '...', E'...', $tag$...$tag$
        Symbol,       // one character: ; , ( ) = . and the like
        Unterminated, // a quote the script never closes, up to the script's end
    };
    Kind kind = Kind::Symbol;
    qsizetype begin = 0;
    qsizetype end = 0;
};

// One statement up to its semicolon, or one psql meta-command line ("\connect pendataan").
struct Statement
{
    bool meta = false;
    qsizetype begin = 0; // first byte of its first token
    qsizetype end = 0;   // just after its semicolon (or the meta-command's line)
    QList<Token> tokens; // without the closing semicolon; empty for a meta-command
};

// Splits a script into statements the way psql reads it: comments are skipped; quoted
// identifiers, string literals and dollar quotes are kept whole, so a ";" inside a function body
// does not end its statement; a backslash outside them starts a meta-command that runs to the
// end of its line. Assumes standard_conforming_strings, as pg_dump's scripts set it.
QList<Statement> splitScript(QByteArrayView script);

// `text` as an SQL string literal that means the same whatever the server's
// standard_conforming_strings says: its single quotes doubled, and with a backslash an E'' literal
// with its backslashes doubled.
QByteArray quoteLiteral(QByteArrayView text);

// `name` as a double-quoted SQL identifier, its double quotes doubled.
QByteArray quoteIdentifier(QByteArrayView name);

// One statement of a script, with the questions the readers below ask of its tokens.
class StatementView final
{
public:
    StatementView(QByteArrayView script, const Statement& statement)
        : s(script), tokens(statement.tokens)
    {}

    qsizetype size() const { return tokens.size(); }
    // Whether token `i` is the unquoted word `lowerCaseWord`, in any letter case.
    bool word(qsizetype i, QByteArrayView lowerCaseWord) const;
    bool words(qsizetype i, std::initializer_list<QByteArrayView> lowerCaseWords) const
    {
        for (const QByteArrayView w : lowerCaseWords) {
            if (!word(i++, w)) {
                return false;
            }
        }
        return true;
    }
    bool symbol(qsizetype i, char c) const
    {
        return i >= 0 && i < size() && tokens[i].kind == Token::Kind::Symbol &&
               s[tokens[i].begin] == c;
    }
    bool isName(qsizetype i) const
    {
        return i >= 0 && i < size() &&
               (tokens[i].kind == Token::Kind::Word || tokens[i].kind == Token::Kind::QuotedIdent);
    }
    // The name a Word or QuotedIdent token stands for, as the server would read it: an unquoted
    // word folded to lower case, a quoted one with its doubled quotes undone. The text of a String
    // token (without its quotes) for a String; the bytes themselves for a Symbol.
    QByteArray value(qsizetype i) const;
    QByteArrayView text(qsizetype i) const
    {
        return s.sliced(tokens[i].begin, tokens[i].end - tokens[i].begin);
    }
    const Token& token(qsizetype i) const { return tokens[i]; }

    bool anyWord(qsizetype i, std::initializer_list<QByteArrayView> lowerCaseWords) const
    {
        return std::any_of(lowerCaseWords.begin(), lowerCaseWords.end(),
                           [&](QByteArrayView w) { return word(i, w); });
    }
    // The first or last `lowerCaseWord` at or after `from` outside parentheses, so that clauses
    // inside expressions are told apart; -1 if there is none.
    qsizetype firstTopLevelWord(QByteArrayView w, qsizetype from = 0) const
    {
        return topLevelWord(w, from, false);
    }
    qsizetype lastTopLevelWord(QByteArrayView w, qsizetype from = 0) const
    {
        return topLevelWord(w, from, true);
    }

private:
    qsizetype topLevelWord(QByteArrayView lowerCaseWord, qsizetype from, bool last) const
    {
        qsizetype found = -1;
        int level = 0;
        for (qsizetype i = 0; i < size() && (last || found < 0); ++i) {
            level -= symbol(i, ')');
            if (i >= from && level == 0 && word(i, lowerCaseWord)) {
                found = i;
            }
            level += symbol(i, '(');
        }
        return found;
    }

    QByteArrayView s;
    const QList<Token>& tokens;
};

// CREATE DATABASE ...
bool isCreateDatabase(const StatementView& st);
// ALTER DATABASE name OWNER TO ...
bool isDatabaseOwnerChange(const StatementView& st);
// SET, RESET or SELECT set_config(...): what pg_restore writes to set its session up.
bool isOnlySessionSetup(const StatementView& st);
// The encoding a pg_restore script is written in, from its first "SET client_encoding = 'X'",
// in upper case; "" when it has none.
QString scriptEncoding(QByteArrayView script, const QList<Statement>& statements);

} // namespace ranupa::sql
