#pragma once

#include <QString>

class QMessageBox;

namespace ranupa {

struct OperationOutcome;

// The message boxes carry the executable's name, as the rest of the school-data tools do.
QString messageTitle();

// Qt sizes a message box by its main text, which is short here: the sentences of the cause
// would wrap after every few words. The details hold paths and the tools' lines.
void widenForReading(QMessageBox& box);

// Under the outcome's message (the box's text): the size and time of a success and the summary,
// then the details; on failure "Salin rincian", on success "Buka folder" for the backup's folder.
void describeOutcome(QMessageBox& box, const OperationOutcome& outcome);

// Qt's details button becomes the default once it has the focus, so that after it has been
// pressed Enter would show or hide the details again instead of closing the box. Called once all
// buttons are there.
void keepOkTheDefault(QMessageBox& box);

} // namespace ranupa
