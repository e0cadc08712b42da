#pragma once

#include <QByteArray>
#include <QString>

namespace ranupa {

// Reads the DefDBPort value of the installation settings, config/install.ini relative to the
// working directory, afresh on every call. Never fails: a missing file or key gives "".
QString LoadDbPort();

// The reading rules themselves, on the bytes of a settings file.
QString dbPortFromSettings(const QByteArray& settingsBytes);

} // namespace ranupa
