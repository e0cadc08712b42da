#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace ranupa {

struct Failure;

// The school-data application's installation directory is the one that holds config/install.ini
// and pgsql/. The program is meant to be started there, but a shortcut without a start directory
// starts it elsewhere: then the directory the program itself lies in is used, when it holds them.
// Paths the user gives (backup directories and files) still count from the working directory.

// The first of `candidates` that holds config/install.ini or a pgsql directory; "" when none does.
QString findInstallationDir(const QStringList& candidates);

// `relativePath` (such as "config/install.ini") inside the installation directory: the first
// candidate that holds an installation, otherwise the working directory (where the error
// messages say it was looked for).
QString installationPath(const QString& relativePath);

// What an operation needs of the installation, resolved once when it starts and passed down:
// every tool is started from `dir` and reaches the server on `port`.
struct Installation
{
    QString dir;  // absolute
    QString port; // DefDBPort, checked to be a port number
};

// The installation with its checked port; nothing, and `failure` saying why, when either is
// missing or the port is not usable.
std::optional<Installation> findInstallation(Failure& failure);

} // namespace ranupa
