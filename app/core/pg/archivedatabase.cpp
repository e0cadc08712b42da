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

// Role names that are keywords when unquoted, not roles.
bool isPseudoRole(const StatementView& st, qsizetype i)
{
    return st.anyWord(i, {"public", "current_user", "session_user", "current_role", "none"});
}

class RoleCollector final
{
public:
    RoleCollector(QByteArrayView script, const QString& encoding) : s(script), encoding(encoding) {}

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

    QStringList roles() const { return found; }

private:
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
        if ((!st.isName(i) && !literal) || isClauseWord(st, i)) {
            return false;
        }
        if (isPseudoRole(st, i)) {
            return true;
        }
        const QString name = decodeScriptText(st.value(i), encoding);
        if (!name.isEmpty() && !found.contains(name)) {
            found.append(name);
        }
        return true;
    }

    // Words that end a list of roles rather than name one.
    static bool isClauseWord(const StatementView& st, qsizetype i)
    {
        return st.anyWord(i, {"with", "using", "granted", "cascade", "restrict", "in", "grant",
                              "revoke", "server", "on"});
    }

    QByteArrayView s;
    QString encoding;
    QStringList found;
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

bool isCLocale(const QString& locale)
{
    return locale == u"C"_s || locale == u"POSIX"_s;
}

QString describeLocale(const DatabaseLocale& locale)
{
    QString text =
        locale.collate == locale.ctype
            ? u"\"%1\""_s.arg(locale.collate)
            : u"\"%1\" (LC_COLLATE), \"%2\" (LC_CTYPE)"_s.arg(locale.collate, locale.ctype);
    if (locale.provider == u"icu"_s) {
        text += u", ICU \"%1\""_s.arg(locale.icuLocale);
    }
    return text;
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
    RoleCollector collector(script, scriptEncoding(script, statements));
    for (const Statement& statement : statements) {
        if (!statement.meta) {
            collector.read(StatementView(script, statement));
        }
    }
    return collector.roles();
}

LocaleChoice chooseDatabaseLocale(const DatabaseLocale& archive, const ServerLocaleFacts& server)
{
    QString why = server.archiveLocaleProblem;
    if (why.isEmpty() && archive.provider == u"icu"_s && server.version < 150000) {
        why = u"server PostgreSQL versi ini belum mendukung ICU untuk database"_s;
    }
    if (why.isEmpty()) {
        return {.locale = archive, .note = {}, .problem = {}};
    }
    const DatabaseLocale& fallback = server.defaults;
    const bool fits = isCLocale(fallback.ctype) ||
                      archive.encoding.compare(fallback.encoding, Qt::CaseInsensitive) == 0 ||
                      (server.windows && archive.encoding == u"UTF8"_s);
    if (!fits) {
        return {.locale = std::nullopt,
                .note = {},
                .problem =
                    u"File backup memakai encoding %1 dengan lokal %2, tetapi server tidak "
                    u"memiliki lokal itu (%3). Lokal bawaan server, %4, hanya cocok "
                    u"dengan encoding %5. Pasang lokal %2 di server, lalu ulangi restore."_s.arg(
                        archive.encoding, describeLocale(archive), why, describeLocale(fallback),
                        fallback.encoding)};
    }
    DatabaseLocale chosen = fallback;
    chosen.encoding = archive.encoding;
    return {.locale = chosen,
            .note = u"Lokal %1 dari file backup tidak ada di server (%2); database dibuat "
                    u"dengan lokal bawaan server, %3, dan encoding %4 dari file backup."_s.arg(
                        describeLocale(archive), why, describeLocale(fallback), archive.encoding),
            .problem = {}};
}

namespace {

QString quotedText(const QString& text)
{
    return QString::fromUtf8(sql::quoteLiteral(text.toUtf8()));
}

} // namespace

QString createDatabaseOptions(const DatabaseLocale& locale, int serverVersion)
{
    QString statement = u"OWNER=postgres TEMPLATE=template0"_s;
    statement += u" ENCODING="_s + quotedText(locale.encoding);
    statement += u" LC_COLLATE="_s + quotedText(locale.collate);
    statement += u" LC_CTYPE="_s + quotedText(locale.ctype);
    if (serverVersion >= 150000) {
        // Named even for libc: left out, the provider would come from template0.
        if (locale.provider == u"icu"_s) {
            statement += u" LOCALE_PROVIDER=icu ICU_LOCALE="_s + quotedText(locale.icuLocale);
        } else {
            statement += u" LOCALE_PROVIDER=libc"_s;
        }
    }
    return statement + u" TABLESPACE=pg_default CONNECTION LIMIT=-1"_s;
}

QString missingRolesProblem(const QStringList& roles)
{
    QString text =
        u"File backup menyebut peran (role) yang tidak ada di server: %1.\n"
        u"Buat dulu peran itu sebagai postgres, misalnya dengan psql:\n"_s.arg(roles.join(u", "_s));
    for (const QString& role : roles) {
        text += u"    CREATE ROLE "_s + QString::fromUtf8(sql::quoteIdentifier(role.toUtf8())) +
                u";\n"_s;
    }
    return text + u"(tambahkan LOGIN dan PASSWORD bila peran itu dipakai untuk masuk), lalu "
                  u"ulangi restore."_s;
}

namespace {

// A text from the backup as an SQL expression, without the text itself ever being SQL.
QString hexText(const QString& text)
{
    return u"convert_from(decode('%1', 'hex'), 'UTF8')"_s.arg(
        QString::fromLatin1(text.toUtf8().toHex()));
}

// Proves that the server can load the archive's locales: the collations are made in an inner
// block that always ends in an exception, which takes them away again. What it found stays in a
// setting of the session for the question after it.
QString localeProbe(const DatabaseLocale& archive)
{
    QString creations;
    if (!archive.collate.isEmpty() || !archive.ctype.isEmpty()) {
        creations += u"EXECUTE 'CREATE COLLATION pg_temp.ranupa_probe_libc (LC_COLLATE = ' || "
                     u"quote_literal(%1) || ', LC_CTYPE = ' || quote_literal(%2) || ')';\n"_s.arg(
                         hexText(archive.collate), hexText(archive.ctype));
    }
    if (archive.provider == u"icu"_s) {
        creations += u"EXECUTE 'CREATE COLLATION pg_temp.ranupa_probe_icu (PROVIDER = icu, LOCALE "
                     u"= ' || quote_literal(%1) || ')';\n"_s.arg(hexText(archive.icuLocale));
    }
    return u"DO $ranupa$\n"
           u"DECLARE\n"
           u"    outcome text := 'ok';\n"
           u"BEGIN\n"
           u"    BEGIN\n"_s +
           creations +
           u"        RAISE EXCEPTION 'ranupa-probe-done';\n"
           u"    EXCEPTION WHEN others THEN\n"
           u"        IF SQLERRM <> 'ranupa-probe-done' THEN\n"
           u"            outcome := SQLERRM;\n"
           u"        END IF;\n"
           u"    END;\n"
           u"    PERFORM set_config('ranupa.locale_probe', outcome, false);\n"
           u"END\n"
           u"$ranupa$"_s;
}

// The indexes (from 1) of the roles the server lacks, compared as UTF-8 bytes: the conversion to
// UTF-8 never fails, whatever the server's encoding.
QString missingRolesExpression(const QStringList& roles)
{
    QStringList hex;
    for (const QString& role : roles) {
        hex.append(u'\'' + QString::fromLatin1(role.toUtf8().toHex()) + u'\'');
    }
    if (hex.isEmpty()) {
        return u"''"_s;
    }
    return u"array_to_string(ARRAY(SELECT t.i FROM unnest(ARRAY[%1]::text[]) WITH ORDINALITY AS "
           u"t(h, i) WHERE NOT EXISTS (SELECT 1 FROM pg_roles AS r WHERE "
           u"convert_to(r.rolname::text, "
           u"'UTF8') = decode(t.h, 'hex')) ORDER BY t.i), ' ')"_s.arg(hex.join(u", "_s));
}

// "" before 15; anything newer is named as the server codes it.
QString providerName(const QString& code)
{
    return code == u"c"_s ? u"libc"_s : code == u"i"_s ? u"icu"_s : code;
}

} // namespace

QStringList serverProbeStatements(const DatabaseLocale& archive, const QStringList& roles)
{
    return {localeProbe(archive),
            u"SELECT current_setting('server_version_num'), version() ~* "
            u"'(windows|mingw|visual c)', pg_encoding_to_char(d.encoding), d.datcollate, "
            u"d.datctype, coalesce(to_jsonb(d) ->> 'datlocprovider', ''), coalesce(to_jsonb(d) "
            u"->> 'daticulocale', to_jsonb(d) ->> 'datlocale', ''), "
            u"replace(current_setting('ranupa.locale_probe'), E'\\n', ' '), %1 FROM pg_database "
            u"AS d WHERE d.datname = 'template0'"_s.arg(missingRolesExpression(roles))};
}

std::optional<ServerProbe> parseServerProbe(const Rows& answer, const QStringList& roles)
{
    const QStringList fields = answer.value(0);
    if (answer.size() != 1 || fields.size() != 9) {
        return std::nullopt;
    }
    ServerProbe probe;
    ServerLocaleFacts& facts = probe.facts;
    facts.version = fields[0].toInt();
    facts.windows = fields[1] == u"t"_s;
    facts.defaults = {.encoding = fields[2],
                      .collate = fields[3],
                      .ctype = fields[4],
                      .provider = providerName(fields[5]),
                      .icuLocale = fields[6]};
    facts.archiveLocaleProblem = fields[7] == u"ok"_s ? QString() : fields[7];
    for (const QString& index : fields[8].split(u' ', Qt::SkipEmptyParts)) {
        if (const int i = index.toInt() - 1; i >= 0 && i < roles.size()) {
            probe.missingRoles.append(roles.at(i));
        }
    }
    return probe;
}

} // namespace ranupa
