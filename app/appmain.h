#pragma once

namespace ranupa {

// Shows the main window, then the data utility window when the user asks for it.
// Returns the process exit code, which is always 0.
int AppMain();

} // namespace ranupa
