#pragma once

#include "core/model/failurecause.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

namespace ranupa {

// The installation settings file as the operator knows it, for messages.
inline constexpr auto settingsFileName = u"config/install.ini";
// The key of the database server's port in it.
inline constexpr auto dbPortKey = u"DefDBPort";

// Reads the DefDBPort value of the installation settings afresh on every call. Never fails: a
// missing file or key gives "". The value is not checked; the operations use dbPortSetting().
QString LoadDbPort();

// One key and its value as the settings file holds them.
struct SettingsEntry
{
    QString key;
    QString value;
    friend bool operator==(const SettingsEntry&, const SettingsEntry&) = default;
};

// Every entry of a settings file in file order; a key may appear more than once.
// Keys are runs of ASCII letters, digits and underscores, separated from their value by any
// run of "=", spaces and tabs; a value runs up to the first control byte. A UTF-8 byte-order
// mark is skipped, a file that starts with a UTF-16 one (either byte order) is read as UTF-16,
// and a line whose first non-blank character is ";" or "#" is a comment.
QList<SettingsEntry> readSettingsEntries(const QByteArray& settingsBytes);

// The server port for the command lines, checked before any tool runs.
struct DbPortSetting
{
    QString port;    // the port number as text, e.g. "5432"; "" when it is not usable
    QString problem; // why not, naming the settings file, the key and the value found
    FailureCause cause = FailureCause::Unknown; // SettingsMissing or InvalidPort when not usable

    bool isValid() const { return problem.isEmpty(); }
};

// Reads DefDBPort from the settings file, a block at a time (the file's size does not matter),
// and accepts only a whole number from 1 to 65535, surrounding spaces aside. Anything else, a
// missing or unreadable file or a missing key gives a problem for the operator.
DbPortSetting dbPortSetting();

} // namespace ranupa
