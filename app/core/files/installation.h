#pragma once

#include "core/model/outcome.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace ranupa {

// The school-data application's installation folder is the one that holds config/install.ini and
// pgsql/. The program is meant to be started there, but a shortcut without a start folder starts
// it elsewhere: then the folder the program itself lies in is used, when it holds them. Paths the
// user gives (backup folders and files) still count from the working directory.

// The installation settings file as the operator knows it, for messages.
inline constexpr auto settingsFileName = u"config/install.ini";
// The key of the database server's port in it.
inline constexpr auto dbPortKey = u"DefDBPort";

// The first of `candidates` that holds config/install.ini or a pgsql folder; "" when none does.
QString findInstallationDir(const QStringList& candidates);

// What an operation needs of the installation, resolved once when it starts and passed down:
// every tool is started from `dir` and reaches the server on `port`.
struct Installation
{
    QString dir;  // absolute
    QString port; // DefDBPort, checked to be a whole number from 1 to 65535
};

// The installation with its checked port, looked up afresh: a folder that appears or goes away,
// or an edit of the settings, counts from the next backup or restore on. The failure says what
// is missing or wrong (InstallationMissing, SettingsMissing, InvalidPort) and where it was looked
// for.
Result<Installation> findInstallation();

// What a window says as soon as it opens when no installation is found: where it was looked for
// and what to do, in one paragraph; nothing when one is found. Looked up afresh on every call.
std::optional<QString> missingInstallationNotice();

// Reads the DefDBPort value of the installation settings afresh on every call. Never fails: a
// missing file or key gives "". The value is not checked; the operations use findInstallation().
QString LoadDbPort();

// One key and its value as the settings file holds them.
struct SettingsEntry
{
    QString key;
    QString value;
    friend bool operator==(const SettingsEntry&, const SettingsEntry&) = default;
};

// Every entry of a settings file in file order; a key may appear more than once. Keys are runs of
// ASCII letters, digits and underscores, separated from their value by any run of "=", spaces and
// tabs; a value runs up to the first control byte, and after it the next entry begins at the next
// key byte. The file's first entry begins at its first byte. A line whose first non-blank
// character is ";" or "#" is a comment. A byte-order mark is skipped, and a file that starts with
// a UTF-16 one is read as UTF-16, as Windows editors save "Unicode".
QList<SettingsEntry> readSettingsEntries(const QByteArray& settingsBytes);

} // namespace ranupa
