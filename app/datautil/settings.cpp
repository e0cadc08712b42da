#include "datautil/settings.h"

// TODO(runner): reading rules not written yet.
namespace ranupa {
QString dbPortFromSettings(const QByteArray&) { return {}; }
QString LoadDbPort() { return {}; }
} // namespace ranupa
