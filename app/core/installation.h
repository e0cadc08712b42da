#pragma once

#include <QString>

namespace ranupa {

// The school-data application's installation directory, the one that holds config/install.ini
// and pgsql/: the directory the program was started in.
QString installationDir();

} // namespace ranupa
