#pragma once

#include "core/model/failure.h"

#include <QFile>
#include <QString>
#include <optional>

namespace ranupa {

// Opens `path` for reading only when it is a regular file (or a link to one), and says why not
// otherwise. Never blocks: a FIFO, a device or a directory is refused at once, without the open
// that would wait for a writer and stall the event loop (and with it the answer to SIGTERM).
// On success `file` is open; otherwise the failure's details say why, naming the path.
std::optional<Failure> openRegularFileForReading(const QString& path, QFile& file);

} // namespace ranupa
