#pragma once

#include "core/pg/archivedatabase.h"

#include <QByteArray>
#include <QStringList>
#include <optional>

namespace ranupa {

// What the server says about itself, the archive's locale and the archive's roles.
struct ServerProbe
{
    ServerLocaleFacts facts;
    QStringList missingRoles;
};

// The psql script that asks it; it changes nothing on the server. Names and locales reach the
// server hex-encoded, so no text from the backup file is ever read as SQL.
QByteArray serverProbeScript(const DatabaseLocale& archive, const QStringList& roles);
// Nothing when the output lacks an answer the script always gives.
std::optional<ServerProbe> parseServerProbe(const QByteArray& output, const QStringList& roles);

} // namespace ranupa
