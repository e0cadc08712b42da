#include "core/installation.h"

#include <QDir>

namespace ranupa {

QString installationDir()
{
    return QDir::currentPath();
}

} // namespace ranupa
