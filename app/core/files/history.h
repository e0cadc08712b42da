#pragma once

#include "core/model/outcome.h"

#include <QList>
#include <QString>
#include <optional>

// The record of every backup, trial restore and restore run on this computer, from the windows,
// the command line and the schedule alike: one line per run in the program's own data folder.
namespace ranupa {

// The history keeps the newest runs only, so that it never grows without end.
constexpr int historyLimit = 1000;

// The history file in the program's data folder (QStandardPaths::AppDataLocation of the program
// named "Ranupa Helper").
QString historyFilePath();

// A record as one line of tab-separated fields, and back; nothing for a line that is not one.
QString historyLine(const RunRecord& record);
std::optional<RunRecord> recordFromLine(QStringView line);

// Adds `record` as the newest line, keeping the newest historyLimit lines. The file is replaced
// as a whole, so that a crash at any instant leaves the old history or the new one. False, and
// `problem` saying why, when it could not be written.
bool appendToHistory(const RunRecord& record, QString& problem,
                     const QString& file = historyFilePath());

// The runs recorded, oldest first; lines that cannot be read are left out.
QList<RunRecord> readHistory(const QString& file = historyFilePath());

} // namespace ranupa
