#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

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

// The name a Word or QuotedIdent token stands for, as the server would read it: an unquoted word
// folded to lower case, a quoted one with its doubled quotes undone. The text of a String token
// (without its quotes) for a String; the bytes themselves for a Symbol.
QByteArray tokenValue(QByteArrayView script, const Token& token);

// Whether the token is the unquoted word `lowerCaseWord`, in any letter case.
bool isWord(QByteArrayView script, const Token& token, QByteArrayView lowerCaseWord);

// `text` as an SQL string literal, its single quotes doubled.
QByteArray quoteLiteral(QByteArrayView text);

// `name` as a double-quoted SQL identifier, its double quotes doubled.
QByteArray quoteIdentifier(QByteArrayView name);

} // namespace ranupa::sql
