#pragma once

class QFileDialog;

namespace ranupa {

// Turns Qt's own file selector into the restore's: backups newest first by the time in their
// names, with the columns "Nama", "Ukuran" (as the program writes sizes) and "Dibuat" (the time in
// the name, in the words of the listing), each wide enough for its text. At a large scale on a
// small screen, the panel of places gives way first.
void showBackupsIn(QFileDialog& selector);

} // namespace ranupa
