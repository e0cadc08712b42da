#include "core/pg/serverprobe.h"

#include <QHash>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// A text from the backup as an SQL expression, without the text itself ever being SQL.
QByteArray hexText(const QString& text)
{
    return "convert_from(decode('" + text.toUtf8().toHex() + "', 'hex'), 'UTF8')";
}

QByteArray localeProbe(const DatabaseLocale& archive)
{
    QByteArray creations;
    if (!archive.collate.isEmpty() || !archive.ctype.isEmpty()) {
        creations += "        EXECUTE 'CREATE COLLATION pg_temp.ranupa_probe_libc (LC_COLLATE = ' "
                     "|| quote_literal(" +
                     hexText(archive.collate) + ") || ', LC_CTYPE = ' || quote_literal(" +
                     hexText(archive.ctype) + ") || ')';\n";
    }
    if (archive.provider == u"icu"_s) {
        creations += "        EXECUTE 'CREATE COLLATION pg_temp.ranupa_probe_icu (PROVIDER = icu, "
                     "LOCALE = ' || quote_literal(" +
                     hexText(archive.icuLocale) + ") || ')';\n";
    }
    // The collations only prove that the server can load the locales: the inner block always
    // ends in an exception, which takes them away again.
    return "DO $ranupa$\n"
           "DECLARE\n"
           "    outcome text := 'ok';\n"
           "BEGIN\n"
           "    BEGIN\n" +
           creations +
           "        RAISE EXCEPTION 'ranupa-probe-done';\n"
           "    EXCEPTION WHEN others THEN\n"
           "        IF SQLERRM <> 'ranupa-probe-done' THEN\n"
           "            outcome := SQLERRM;\n"
           "        END IF;\n"
           "    END;\n"
           "    PERFORM set_config('ranupa.locale_probe', outcome, false);\n"
           "END\n"
           "$ranupa$;\n"
           "SELECT 'locale=' || replace(current_setting('ranupa.locale_probe'), E'\\n', ' ');\n";
}

QByteArray missingRolesQuery(const QStringList& roles)
{
    if (roles.isEmpty()) {
        return {};
    }
    QByteArrayList hex;
    for (const QString& role : roles) {
        hex.append('\'' + role.toUtf8().toHex() + '\'');
    }
    // Compared as UTF-8 bytes: the conversion to UTF-8 never fails, whatever the server's
    // encoding.
    return "SELECT 'missing-role=' || t.i FROM unnest(ARRAY[" + hex.join(", ") +
           "]::text[]) WITH ORDINALITY AS t(h, i) WHERE NOT EXISTS (SELECT 1 FROM pg_roles AS r "
           "WHERE convert_to(r.rolname::text, 'UTF8') = decode(t.h, 'hex'));\n";
}

// "" before 15; anything newer is named as the server codes it.
QString providerName(const QString& code)
{
    return code == u"c"_s ? u"libc"_s : code == u"i"_s ? u"icu"_s : code;
}

} // namespace

QByteArray serverProbeScript(const DatabaseLocale& archive, const QStringList& roles)
{
    return "SET client_encoding = 'UTF8';\n"
           "SET client_min_messages = warning;\n"
           "SELECT 'version=' || current_setting('server_version_num');\n"
           "SELECT 'windows=' || (version() ~* '(windows|mingw|visual c)')::text;\n"
           "SELECT v FROM pg_database AS d, LATERAL (VALUES\n"
           "    ('encoding=' || pg_encoding_to_char(d.encoding)),\n"
           "    ('collate=' || d.datcollate),\n"
           "    ('ctype=' || d.datctype),\n"
           "    ('provider=' || coalesce(to_jsonb(d) ->> 'datlocprovider', '')),\n"
           "    ('icu=' || coalesce(to_jsonb(d) ->> 'daticulocale', to_jsonb(d) ->> 'datlocale', "
           "''))\n"
           ") AS t(v) WHERE d.datname = 'template0';\n" +
           missingRolesQuery(roles) + localeProbe(archive);
}

std::optional<ServerProbe> parseServerProbe(const QByteArray& output, const QStringList& roles)
{
    QHash<QString, QString> values;
    ServerProbe probe;
    for (const QByteArray& rawLine : output.split('\n')) {
        const QString line =
            QString::fromUtf8(rawLine.endsWith('\r') ? rawLine.chopped(1) : rawLine);
        const qsizetype separator = line.indexOf(u'=');
        if (separator <= 0) {
            continue;
        }
        const QString key = line.left(separator);
        const QString value = line.mid(separator + 1);
        if (key == u"missing-role"_s) {
            bool number = false;
            const int index = value.toInt(&number) - 1;
            if (number && index >= 0 && index < roles.size()) {
                probe.missingRoles.append(roles.at(index));
            }
        } else {
            values.insert(key, value);
        }
    }
    for (const QString& required :
         {u"version"_s, u"encoding"_s, u"collate"_s, u"ctype"_s, u"locale"_s}) {
        if (!values.contains(required)) {
            return std::nullopt;
        }
    }
    ServerLocaleFacts& facts = probe.facts;
    facts.version = values.value(u"version"_s).toInt();
    facts.windows = values.value(u"windows"_s) == u"true"_s;
    facts.defaults.encoding = values.value(u"encoding"_s);
    facts.defaults.collate = values.value(u"collate"_s);
    facts.defaults.ctype = values.value(u"ctype"_s);
    facts.defaults.provider = providerName(values.value(u"provider"_s));
    facts.defaults.icuLocale = values.value(u"icu"_s);
    const QString locale = values.value(u"locale"_s);
    facts.archiveLocaleProblem = locale == u"ok"_s ? QString() : locale;
    return probe;
}

} // namespace ranupa
