#include "core/pg/newdatabase.h"

#include "core/pg/sqlscript.h"

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

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

QString quotedText(const QString& text)
{
    return QString::fromUtf8(sql::quoteLiteral(text.toUtf8()));
}

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
                     u"quote_literal(%1) || ', LC_CTYPE = ' || quote_literal(%2) || ')'; "_s.arg(
                         hexText(archive.collate), hexText(archive.ctype));
    }
    if (archive.provider == u"icu"_s) {
        creations += u"EXECUTE 'CREATE COLLATION pg_temp.ranupa_probe_icu (PROVIDER = icu, LOCALE "
                     u"= ' || quote_literal(%1) || ')'; "_s.arg(hexText(archive.icuLocale));
    }
    return u"DO $ranupa$ DECLARE outcome text := 'ok'; BEGIN BEGIN %1 RAISE EXCEPTION "
           u"'ranupa-probe-done'; EXCEPTION WHEN others THEN IF SQLERRM <> 'ranupa-probe-done' "
           u"THEN outcome := SQLERRM; END IF; END; PERFORM set_config('ranupa.locale_probe', "
           u"outcome, false); END $ranupa$"_s.arg(creations);
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
