#include "appmain.h"

namespace ranupa {
int AppMain() { return 0; }
} // namespace ranupa
