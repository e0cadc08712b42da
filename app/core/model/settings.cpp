#include "core/model/settings.h"

#include "core/model/installation.h"
#include "core/model/regularfile.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <algorithm>
#include <functional>
#include <limits>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

bool isKeyByte(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

bool isSeparatorByte(char c)
{
    return c == '=' || c == ' ' || c == '\t';
}

bool isControlByte(char c)
{
    return static_cast<unsigned char>(c) < 32;
}

bool isLineEnd(char c)
{
    return c == '\n' || c == '\r';
}

bool isCommentStart(char c)
{
    return c == ';' || c == '#';
}

// Reads a settings file as a stream of bytes, fed in pieces of any size, and hands over each
// entry as soon as it is complete. The grammar is not line-based: after a value everything up
// to the next key byte is skipped, so "[Section]" lines and stray punctuation do no harm.
class SettingsScanner final
{
    Q_DISABLE_COPY_MOVE(SettingsScanner)

public:
    // Gets key and value of each entry; returns false to stop the scan.
    using EntryHandler = std::function<bool(const QByteArray& key, const QByteArray& value)>;

    // Values longer than `maxValueBytes` are cut there and end in "..." instead, so that one
    // enormous line cannot take the memory; keys longer than that are skipped altogether.
    SettingsScanner(EntryHandler onEntry, qsizetype maxValueBytes)
        : onEntry(std::move(onEntry)), maxBytes(maxValueBytes)
    {}

    // False once the handler has asked to stop.
    bool feed(QByteArrayView bytes)
    {
        for (qsizetype i = 0; i < bytes.size() && !stopped; ++i) {
            if (atFileStart && skipByteOrderMark(bytes[i])) {
                continue;
            }
            take(bytes[i]);
        }
        return !stopped;
    }

    // The end of the file: a value under way counts, a key whose value never began does not.
    void finish()
    {
        if (!stopped && state == State::Value) {
            emitEntry();
        }
    }

private:
    enum class State
    {
        Key,
        Separator,
        Value,
        Gap,
        Comment,
    };

    // Editors on Windows put a byte-order mark in front of files they save as UTF-8.
    bool skipByteOrderMark(char c)
    {
        static constexpr char mark[] = "\xEF\xBB\xBF";
        if (bomBytes < 3 && c == mark[bomBytes]) {
            ++bomBytes;
            atFileStart = bomBytes < 3;
            return true;
        }
        atFileStart = false;
        // A partial mark was no mark: its bytes are read like any others.
        for (int i = 0; i < bomBytes; ++i) {
            take(mark[i]);
        }
        return false;
    }

    void take(char c)
    {
        switch (state) {
        case State::Key:
            if (isKeyByte(c)) {
                append(key, keyTooLong, c);
                return;
            }
            state = State::Separator;
            [[fallthrough]];
        case State::Separator:
            if (isSeparatorByte(c)) {
                return;
            }
            state = State::Value;
            [[fallthrough]];
        case State::Value:
            if (!isControlByte(c)) {
                append(value, valueTooLong, c);
                return;
            }
            emitEntry();
            // The file's first entry begins at its first byte; every later one after a gap.
            state = State::Gap;
            atLineStart = false;
            [[fallthrough]];
        case State::Gap:
            takeGapByte(c);
            return;
        case State::Comment:
            if (isLineEnd(c)) {
                state = State::Gap;
                atLineStart = true;
            }
            return;
        }
    }

    // A ";" or "#" that is the first non-blank character of a line comments the rest of that
    // line out, so a disabled setting above the real one is ignored.
    void takeGapByte(char c)
    {
        if (isKeyByte(c)) {
            state = State::Key;
            key.clear();
            value.clear();
            keyTooLong = valueTooLong = false;
            append(key, keyTooLong, c);
        } else if (isLineEnd(c)) {
            atLineStart = true;
        } else if (atLineStart && isCommentStart(c)) {
            state = State::Comment;
        } else if (c != ' ' && c != '\t') {
            atLineStart = false;
        }
    }

    void append(QByteArray& text, bool& tooLong, char c)
    {
        if (text.size() < maxBytes) {
            text.append(c);
        } else {
            tooLong = true;
        }
    }

    void emitEntry()
    {
        if (key.isEmpty() || keyTooLong) {
            return;
        }
        const QByteArray shown = valueTooLong ? value + "..." : value;
        stopped = !onEntry(key, shown);
    }

    EntryHandler onEntry;
    const qsizetype maxBytes;
    State state = State::Key;
    QByteArray key;
    QByteArray value;
    bool keyTooLong = false;
    bool valueTooLong = false;
    bool atLineStart = false;
    bool atFileStart = true;
    int bomBytes = 0;
    bool stopped = false;
};

// Windows editors save a file as "Unicode": UTF-16 with a byte-order mark. The scanner reads such
// a file as UTF-8, decoded a block at a time (a character may straddle two blocks); any other
// file as it is.
class SettingsDecoder final
{
public:
    QByteArray next(QByteArrayView block)
    {
        if (atFileStart) {
            atFileStart = false;
            if (block.startsWith("\xFF\xFE")) {
                utf16.emplace(QStringConverter::Utf16LE);
            } else if (block.startsWith("\xFE\xFF")) {
                utf16.emplace(QStringConverter::Utf16BE);
            }
        }
        return utf16 ? QString((*utf16)(block)).toUtf8() : block.toByteArray();
    }

private:
    bool atFileStart = true;
    std::optional<QStringDecoder> utf16;
};

constexpr qsizetype unlimited = std::numeric_limits<qsizetype>::max();
// Far more than any real setting; what is longer is shown cut and is no valid port anyway.
constexpr qsizetype maxSettingBytes = 4096;
constexpr qint64 readBlockBytes = 64 * 1024;

// The first DefDBPort value of an open settings file, read a block at a time.
std::optional<QByteArray> firstDbPortValue(QIODevice& device)
{
    std::optional<QByteArray> found;
    const QByteArray wanted = QStringView(dbPortKey).toLatin1();
    SettingsScanner scanner(
        [&](const QByteArray& key, const QByteArray& value) {
            if (key != wanted) {
                return true;
            }
            found = value;
            return false;
        },
        maxSettingBytes);
    QByteArray block(readBlockBytes, Qt::Uninitialized);
    SettingsDecoder decoder;
    for (;;) {
        const qint64 got = device.read(block.data(), block.size());
        if (got <= 0) {
            break;
        }
        if (!scanner.feed(decoder.next(QByteArrayView(block.constData(), got)))) {
            return found;
        }
    }
    scanner.finish();
    return found;
}

// config/install.ini in the installation directory (installation.h).
QString settingsFilePath()
{
    return installationPath(QStringView(settingsFileName).toString());
}

QString absoluteSettingsPath()
{
    return QFileInfo(settingsFilePath()).absoluteFilePath();
}

QString quotedForMessage(const QByteArray& value)
{
    constexpr qsizetype shown = 80;
    const QString text = QString::fromLocal8Bit(value);
    return u'"' + (text.size() > shown ? text.left(shown) + u"..."_s : text) + u'"';
}

DbPortSetting portProblem(FailureCause cause, const QString& what, const QString& valueFound)
{
    return {.port = {},
            .problem =
                u"%1\nFile pengaturan: %2 (%3)\nKunci: %4\nNilai yang ditemukan: %5\n"
                u"%4 harus berisi nomor port server database, bilangan bulat 1 sampai "
                u"65535. Perbaiki %2, lalu coba lagi. Tidak ada program yang dijalankan."_s.arg(
                    what, settingsFileName, absoluteSettingsPath(), dbPortKey, valueFound),
            .cause = cause};
}

// The check alone, on the bytes of the first DefDBPort entry's value (nothing: no such entry).
DbPortSetting checkDbPortValue(const std::optional<QByteArray>& value)
{
    if (!value) {
        return portProblem(FailureCause::SettingsMissing,
                           u"Kunci %1 tidak ada di %2."_s.arg(dbPortKey, settingsFileName),
                           u"(tidak ada)"_s);
    }
    // Tabs and other control bytes end a value, so what trimming removes here are spaces.
    const QByteArray number = value->trimmed();
    const bool allDigits =
        !number.isEmpty() &&
        std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
    bool converted = false;
    const uint port = allDigits ? number.toUInt(&converted) : 0;
    if (!allDigits || !converted || port < 1 || port > 65535) {
        return portProblem(
            FailureCause::InvalidPort,
            u"Nilai %1 di %2 bukan nomor port yang sah."_s.arg(dbPortKey, settingsFileName),
            quotedForMessage(*value));
    }
    return {.port = QString::number(port), .problem = {}};
}

} // namespace

QList<SettingsEntry> readSettingsEntries(const QByteArray& settingsBytes)
{
    QList<SettingsEntry> entries;
    SettingsScanner scanner(
        [&](const QByteArray& key, const QByteArray& value) {
            entries.append({QString::fromLatin1(key), QString::fromLocal8Bit(value)});
            return true;
        },
        unlimited);
    scanner.feed(SettingsDecoder().next(settingsBytes));
    scanner.finish();
    return entries;
}

QString LoadDbPort()
{
    // Read afresh every time: an edit of the file counts from the next backup or restore on.
    QFile file;
    QString problem;
    if (!openRegularFileForReading(settingsFilePath(), file, problem)) {
        return {};
    }
    return QString::fromLocal8Bit(firstDbPortValue(file).value_or(QByteArray()));
}

DbPortSetting dbPortSetting()
{
    QFile file;
    QString problem;
    if (!openRegularFileForReading(settingsFilePath(), file, problem)) {
        return portProblem(
            FailureCause::SettingsMissing,
            u"File pengaturan %1 tidak dapat dibaca. Jalankan program dari "
            u"folder instalasi aplikasi (yang berisi config dan pgsql).\n"_s.arg(settingsFileName) +
                problem,
            u"(tidak ada)"_s);
    }
    return checkDbPortValue(firstDbPortValue(file));
}

} // namespace ranupa
