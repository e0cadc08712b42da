#include "core/settings.h"

#include "core/installation.h"

#include <QFile>

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

// Walks the bytes of a settings file. The grammar is not line-based: after a value everything up
// to the next key byte is skipped, so "[Section]" lines and stray punctuation do no harm.
class SettingsScanner
{
public:
    explicit SettingsScanner(const QByteArray& bytes) : bytes(bytes) { skipByteOrderMark(); }

    QList<SettingsEntry> entries()
    {
        QList<SettingsEntry> result;
        // The file's first byte must begin a key; whatever stands there otherwise is read as an
        // entry with an empty key and dropped, which also disposes of a leading comment.
        bool first = true;
        while (pos < bytes.size()) {
            if (!first)
                skipGap();
            first = false;
            if (pos >= bytes.size())
                break;
            const QByteArray key = takeWhile(isKeyByte);
            skipSeparator();
            if (pos >= bytes.size())
                break; // a key without a value at the end of the file does not count
            const QByteArray value = takeWhile([](char c) { return !isControlByte(c); });
            if (!key.isEmpty())
                result.append({QString::fromLatin1(key), QString::fromLocal8Bit(value)});
        }
        return result;
    }

private:
    void skipByteOrderMark()
    {
        // Editors on Windows put one in front of files they save as UTF-8.
        if (bytes.startsWith("\xEF\xBB\xBF"))
            pos = 3;
    }

    template <typename Predicate> QByteArray takeWhile(Predicate predicate)
    {
        const qsizetype start = pos;
        while (pos < bytes.size() && predicate(bytes[pos]))
            ++pos;
        return bytes.mid(start, pos - start);
    }

    void skipSeparator()
    {
        while (pos < bytes.size() && isSeparatorByte(bytes[pos]))
            ++pos;
    }

    // Skips to the next key byte. A ";" or "#" that is the first non-blank character of a line
    // comments the rest of that line out, so a disabled setting above the real one is ignored.
    void skipGap()
    {
        // A value always ends at a control byte, so the gap starts at the end of a line unless
        // that byte was a tab inside the line.
        bool atLineStart = pos < bytes.size() && isLineEnd(bytes[pos]);
        while (pos < bytes.size() && !isKeyByte(bytes[pos])) {
            const char c = bytes[pos];
            if (isLineEnd(c)) {
                atLineStart = true;
            } else if (atLineStart && isCommentStart(c)) {
                while (pos < bytes.size() && !isLineEnd(bytes[pos]))
                    ++pos;
                continue;
            } else if (c != ' ' && c != '\t') {
                atLineStart = false;
            }
            ++pos;
        }
    }

    const QByteArray& bytes;
    qsizetype pos = 0;
};

} // namespace

QList<SettingsEntry> readSettingsEntries(const QByteArray& settingsBytes)
{
    return SettingsScanner(settingsBytes).entries();
}

QString dbPortFromSettings(const QByteArray& settingsBytes)
{
    for (const SettingsEntry& entry : readSettingsEntries(settingsBytes)) {
        if (entry.key == u"DefDBPort"_s)
            return entry.value;
    }
    return {};
}

QString LoadDbPort()
{
    // Read afresh every time: an edit of the file counts from the next backup or restore on.
    QFile file(installationPath(u"config/install.ini"_s));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return dbPortFromSettings(file.readAll());
}

} // namespace ranupa
