#include "datautil/commandline.h"

// TODO(runner): not written yet.
namespace ranupa::commandline {
QStringList splitWindowsCommandLine(const QString&) { return {}; }
QString escapeForQuotes(const QString& argument) { return argument; }
QString resolveProgramPath(const QString& program, const QDir&) { return program; }
} // namespace ranupa::commandline
