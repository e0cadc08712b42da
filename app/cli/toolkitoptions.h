#pragma once

#include <QStringList>

namespace ranupa::cli {

// `arguments` (argv[0] first) without the options that Qt reads for itself, such as
// "-style fusion", "-platform offscreen" or "--reverse", values included. What remains are the
// program's own options and anything nobody understands.
QStringList withoutToolkitOptions(const QStringList& arguments);

} // namespace ranupa::cli
