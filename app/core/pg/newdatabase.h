#pragma once

#include "core/pg/archivedatabase.h"
#include "core/pg/serversession.h"

#include <QString>
#include <QStringList>
#include <optional>

// The new pendataan on this server: the locale it can have, the options that create it, and the
// roles the backup needs there.
namespace ranupa {

// What a server offers for the new database.
struct ServerLocaleFacts
{
    int version = 0;              // server_version_num, e.g. 150018
    bool windows = false;         // Windows servers accept UTF8 with any locale
    DatabaseLocale defaults;      // template0's: what initdb chose for the server
    QString archiveLocaleProblem; // why the server cannot use the archive's locale; "" if it can
};

struct LocaleChoice
{
    std::optional<DatabaseLocale> locale; // nothing when no locale fits
    QString note;    // when the choice differs from the archive's: what was chosen, and why
    QString problem; // when nothing fits: why, and what to do
};

// The archive's encoding and locale where the server has that locale; otherwise the server's
// default locale with the archive's encoding, when the two fit together.
LocaleChoice chooseDatabaseLocale(const DatabaseLocale& archive, const ServerLocaleFacts& server);

// What CREATE DATABASE ... WITH is given for the new pendataan: owner postgres, tablespace
// pg_default, no connection limit, from template0 (so that nothing added to template1 comes
// along), with the given encoding and locale. The locale provider is named only to servers that
// know it (15 on).
QString createDatabaseOptions(const DatabaseLocale& locale, int serverVersion);

// The failure details for roles a backup names that the server lacks: which, and how to make
// them.
QString missingRolesProblem(const QStringList& roles);

// What the server says about itself, the archive's locale and the archive's roles.
struct ServerProbe
{
    ServerLocaleFacts facts;
    QStringList missingRoles;
};

// The statements, for the program's own session, that ask it, the last one answering in one
// row; they change nothing on the server. Names and locales reach the server hex-encoded, so no
// text from the backup file is ever read as SQL.
QStringList serverProbeStatements(const DatabaseLocale& archive, const QStringList& roles);
// Nothing when the answer is not the one row the last statement always gives.
std::optional<ServerProbe> parseServerProbe(const Rows& answer, const QStringList& roles);

} // namespace ranupa
