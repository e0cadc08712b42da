#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace ranupa {

// Reads the DefDBPort value of config/install.ini in the installation directory (installation.h),
// afresh on every call. Never fails: a missing file or key gives "".
QString LoadDbPort();

// The reading rules themselves, on the bytes of a settings file: the value of the first
// DefDBPort entry, verbatim (not trimmed, not checked to be a number), or "".
QString dbPortFromSettings(const QByteArray& settingsBytes);

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
// mark is skipped, and a line whose first non-blank character is ";" or "#" is a comment.
QList<SettingsEntry> readSettingsEntries(const QByteArray& settingsBytes);

} // namespace ranupa
