#include "core/model/installation.h"

#include "core/model/failurecause.h"
#include "core/model/settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

bool holdsInstallation(const QString& dir)
{
    const QDir candidate(dir);
    return QFileInfo(candidate.filePath(u"config/install.ini"_s)).isFile() ||
           QFileInfo(candidate.filePath(u"pgsql"_s)).isDir();
}

// The directories an installation is looked for in, in order: the working directory, then the
// program's own directory (when a QCoreApplication exists and it differs). Absolute paths.
QStringList installationCandidates()
{
    const QString workingDir = QDir::currentPath();
    QStringList candidates{workingDir};
    if (QCoreApplication::instance() == nullptr) {
        return candidates;
    }
    // QFileInfo compares canonical paths, so a link to the same directory counts once.
    const QString programDir = QCoreApplication::applicationDirPath();
    if (!programDir.isEmpty() && QFileInfo(programDir) != QFileInfo(workingDir)) {
        candidates << programDir;
    }
    return candidates;
}

// For none of `candidates` holding an installation: where it was looked for and what to do.
QString installationProblem(const QStringList& candidates)
{
    QString text = u"Folder instalasi aplikasi tidak ditemukan: tidak ada config/install.ini "
                   u"maupun folder pgsql di"_s;
    for (const QString& dir : candidates) {
        text += u"\n  "_s + QDir::toNativeSeparators(dir);
    }
    return text + u"\nJalankan program dari folder instalasi aplikasi (yang berisi folder "
                  u"config dan pgsql), atau letakkan program di folder itu."_s;
}

} // namespace

QString findInstallationDir(const QStringList& candidates)
{
    for (const QString& dir : candidates) {
        if (holdsInstallation(dir)) {
            return dir;
        }
    }
    return {};
}

QString installationPath(const QString& relativePath)
{
    // Looked up afresh each time, like the settings: a directory that appears or goes away
    // counts from the next backup or restore on.
    const QStringList candidates = installationCandidates();
    const QString found = findInstallationDir(candidates);
    return QDir(found.isEmpty() ? candidates.constFirst() : found).filePath(relativePath);
}

std::optional<Installation> findInstallation(Failure& failure)
{
    const QStringList candidates = installationCandidates();
    const QString dir = findInstallationDir(candidates);
    if (dir.isEmpty()) {
        failure = {.step = u"mencari folder instalasi aplikasi"_s,
                   .details = installationProblem(candidates),
                   .cause = FailureCause::InstallationMissing};
        return std::nullopt;
    }
    const DbPortSetting port = dbPortSetting();
    if (!port.isValid()) {
        failure = {.step = u"membaca port server dari config/install.ini"_s,
                   .details = port.problem,
                   .cause = port.cause};
        return std::nullopt;
    }
    return Installation{.dir = QDir(dir).absolutePath(), .port = port.port};
}

} // namespace ranupa
