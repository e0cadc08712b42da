#pragma once

namespace ranupa {

// Puts Qt's own texts (the file selectors, message-box buttons, the command line's help) into
// Indonesian, like the program's own. Call once, after the application object exists.
// Returns false when the translation could not be loaded; the texts then stay English.
bool installQtTranslation();

} // namespace ranupa
