#include "core/files/installation.h"

#include "core/files/backupfiles.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringDecoder>
#include <algorithm>
#include <functional>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// Far more than any real setting; what is longer is shown cut and is no valid port anyway.
constexpr qsizetype maxSettingBytes = 4096;

using EntryHandler = std::function<bool(const QByteArray& key, const QByteArray& value)>;

bool isKeyByte(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// Reads the entries of one line, its line end kept (none on the file's last line). Between
// entries, up to the next key byte, a ";" or "#" that is the first non-blank character of a line
// comments the rest of that line out. False once `onEntry` asked to stop.
bool readLine(QByteArrayView line, bool fileStart, const EntryHandler& onEntry)
{
    qsizetype i = 0;
    const auto skipWhile = [&line, &i](auto accepted) {
        while (i < line.size() && accepted(line[i])) {
            ++i;
        }
    };
    bool lineStart = true;
    for (bool inEntry = fileStart;; inEntry = false) {
        while (!inEntry && i < line.size() && !isKeyByte(line[i])) {
            const char c = line[i++];
            if (c == '\r' || c == '\n') {
                lineStart = true;
            } else if (lineStart && (c == ';' || c == '#')) {
                skipWhile([](char next) { return next != '\r' && next != '\n'; });
            } else if (c != ' ' && c != '\t') {
                lineStart = false;
            }
        }
        if (i >= line.size()) {
            return true;
        }
        const qsizetype keyStart = i;
        skipWhile(isKeyByte);
        const QByteArrayView key = line.sliced(keyStart, i - keyStart);
        skipWhile([](char c) { return c == '=' || c == ' ' || c == '\t'; });
        const qsizetype valueStart = i;
        skipWhile([](char c) { return static_cast<unsigned char>(c) >= 32; }); // no control byte
        const QByteArrayView value = line.sliced(valueStart, i - valueStart);
        // At the end of the file, a key whose value never began is no entry.
        const bool ended = i < line.size() || !value.isEmpty();
        if (ended && !key.isEmpty() && key.size() <= maxSettingBytes &&
            !onEntry(key.toByteArray(), value.size() <= maxSettingBytes
                                            ? value.toByteArray()
                                            : value.first(maxSettingBytes).toByteArray() + "...")) {
            return false;
        }
        lineStart = false;
    }
}

// Reads `device` a line at a time, so that the size of the file does not matter.
void readEntries(QIODevice& device, const EntryHandler& onEntry)
{
    QByteArray start = device.peek(3);
    if (start.startsWith("\xFF\xFE") || start.startsWith("\xFE\xFF")) {
        // Editors on Windows save "Unicode" as UTF-16: read as the UTF-8 it stands for.
        QStringDecoder utf16(start.startsWith("\xFF\xFE") ? QStringConverter::Utf16LE
                                                          : QStringConverter::Utf16BE);
        QByteArray text = QString(utf16(device.readAll().sliced(2))).toUtf8();
        QBuffer decoded(&text);
        decoded.open(QIODevice::ReadOnly);
        return readEntries(decoded, onEntry);
    }
    if (start == "\xEF\xBB\xBF") {
        device.skip(3);
    }
    for (bool fileStart = true; !device.atEnd(); fileStart = false) {
        if (!readLine(device.readLine(), fileStart, onEntry)) {
            return;
        }
    }
}

bool holdsInstallation(const QString& dir)
{
    const QDir candidate(dir);
    return QFileInfo(candidate.filePath(u"config/install.ini"_s)).isFile() ||
           QFileInfo(candidate.filePath(u"pgsql"_s)).isDir();
}

// The folders an installation is looked for in, in order: the working directory, then the
// program's own folder (when a QCoreApplication exists and it differs). Absolute paths.
QStringList installationCandidates()
{
    const QString workingDir = QDir::currentPath();
    const QString programDir =
        QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QString();
    // QFileInfo compares canonical paths, so a link to the same folder counts once.
    if (programDir.isEmpty() || QFileInfo(programDir) == QFileInfo(workingDir)) {
        return {workingDir};
    }
    return {workingDir, programDir};
}

QString startInInstallation()
{
    return u"Jalankan program dari folder instalasi aplikasi (yang berisi folder config dan "
           u"pgsql), atau letakkan program di folder itu."_s;
}

// For none of `candidates` holding an installation: where it was looked for and what to do.
Failure installationMissing(const QStringList& candidates)
{
    QString text = u"Folder instalasi aplikasi tidak ditemukan: tidak ada config/install.ini "
                   u"maupun folder pgsql di"_s;
    for (const QString& dir : candidates) {
        text += u"\n  "_s + QDir::toNativeSeparators(dir);
    }
    return {.step = u"mencari folder instalasi aplikasi"_s,
            .details = text + u'\n' + startInInstallation(),
            .cause = FailureCause::InstallationMissing};
}

// config/install.ini of the installation, or of the working directory when there is none (where
// the messages say it was looked for).
QString settingsFilePath(const QString& installationDir)
{
    return QDir(installationDir.isEmpty() ? QDir::currentPath() : installationDir)
        .filePath(QStringView(settingsFileName).toString());
}

// The first DefDBPort value of the settings file; nothing when the file has none, `problem` set
// when it cannot be read.
std::optional<QByteArray> firstDbPortValue(const QString& path, QString* problem = nullptr)
{
    QFile file;
    if (const std::optional<Failure> unreadable = openRegularFileForReading(path, file)) {
        if (problem != nullptr) {
            *problem = unreadable->details;
        }
        return std::nullopt;
    }
    std::optional<QByteArray> found;
    const QByteArray wanted = QStringView(dbPortKey).toLatin1();
    readEntries(file, [&](const QByteArray& key, const QByteArray& value) {
        if (key == wanted) {
            found = value;
        }
        return !found;
    });
    return found;
}

Failure portProblem(const QString& path, FailureCause cause, const QString& what,
                    const QString& valueFound = u"(tidak ada)"_s)
{
    return {
        .step = u"membaca port server dari config/install.ini"_s,
        .details =
            u"%1\nFile pengaturan: %2 (%3)\nKunci: %4\nNilai yang ditemukan: %5\n"
            u"%4 harus berisi nomor port server database, bilangan bulat 1 sampai "
            u"65535. Perbaiki %2, lalu coba lagi. Tidak ada program yang dijalankan."_s.arg(
                what, settingsFileName, QFileInfo(path).absoluteFilePath(), dbPortKey, valueFound),
        .cause = cause};
}

QString quotedForMessage(const QByteArray& value)
{
    constexpr qsizetype shown = 80;
    const QString text = QString::fromLocal8Bit(value);
    return u'"' + (text.size() > shown ? text.left(shown) + u"..."_s : text) + u'"';
}

// Only a whole number from 1 to 65535, surrounding spaces aside.
Result<QString> checkedPort(const QString& path)
{
    QString unreadable;
    const std::optional<QByteArray> value = firstDbPortValue(path, &unreadable);
    if (!unreadable.isEmpty()) {
        return portProblem(
            path, FailureCause::SettingsMissing,
            u"File pengaturan %1 tidak dapat dibaca. Jalankan program dari folder "
            u"instalasi aplikasi (yang berisi config dan pgsql).\n"_s.arg(settingsFileName) +
                unreadable);
    }
    if (!value) {
        return portProblem(path, FailureCause::SettingsMissing,
                           u"Kunci %1 tidak ada di %2."_s.arg(dbPortKey, settingsFileName));
    }
    // Tabs and other control bytes end a value, so what trimming removes here are spaces.
    const QByteArray number = value->trimmed();
    const bool allDigits = !number.isEmpty() &&
                           std::ranges::all_of(number, [](char c) { return c >= '0' && c <= '9'; });
    bool converted = false;
    const uint port = allDigits ? number.toUInt(&converted) : 0;
    if (!converted || port < 1 || port > 65535) {
        return portProblem(
            path, FailureCause::InvalidPort,
            u"Nilai %1 di %2 bukan nomor port yang sah."_s.arg(dbPortKey, settingsFileName),
            quotedForMessage(*value));
    }
    return QString::number(port);
}

} // namespace

QString findInstallationDir(const QStringList& candidates)
{
    const auto found = std::find_if(candidates.begin(), candidates.end(), holdsInstallation);
    return found == candidates.end() ? QString() : *found;
}

Result<Installation> findInstallation()
{
    const QStringList candidates = installationCandidates();
    const QString dir = findInstallationDir(candidates);
    if (dir.isEmpty()) {
        return installationMissing(candidates);
    }
    const Result<QString> port = checkedPort(settingsFilePath(dir));
    if (!port) {
        return port.failure();
    }
    return Installation{.dir = QDir(dir).absolutePath(), .port = *port};
}

std::optional<QString> missingInstallationNotice()
{
    const QStringList candidates = installationCandidates();
    if (!findInstallationDir(candidates).isEmpty()) {
        return std::nullopt;
    }
    QStringList folders;
    for (const QString& dir : candidates) {
        folders << QDir::toNativeSeparators(dir);
    }
    return u"Folder instalasi aplikasi tidak ditemukan di %1. "_s.arg(
               folders.join(u" maupun di "_s)) +
           startInInstallation();
}

QString LoadDbPort()
{
    const QString dir = findInstallationDir(installationCandidates());
    return QString::fromLocal8Bit(firstDbPortValue(settingsFilePath(dir)).value_or(QByteArray()));
}

QList<SettingsEntry> readSettingsEntries(const QByteArray& settingsBytes)
{
    QList<SettingsEntry> entries;
    QByteArray bytes = settingsBytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    readEntries(buffer, [&](const QByteArray& key, const QByteArray& value) {
        entries.append({QString::fromLatin1(key), QString::fromLocal8Bit(value)});
        return true;
    });
    return entries;
}

} // namespace ranupa
