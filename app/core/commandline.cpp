#include "core/commandline.h"

#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace ranupa::commandline {

namespace {

constexpr QChar quote = u'"';
constexpr QChar backslash = u'\\';

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}

// The program name has rules of its own: quotes only group, backslashes are ordinary.
// Returns the position just after the blank that ended it (or the end of the text).
qsizetype takeProgramName(const QString& line, QString& name)
{
    bool inQuotes = false;
    qsizetype pos = 0;
    while (pos < line.size()) {
        const QChar c = line[pos++];
        if (c == quote) {
            inQuotes = !inQuotes;
            continue;
        }
        if (!inQuotes && isBlank(c))
            break;
        name.append(c);
    }
    return pos;
}

// Reads one argument starting at `pos` (on a non-blank character); leaves `pos` after it.
QString takeArgument(const QString& line, qsizetype& pos)
{
    QString argument;
    bool inQuotes = false;
    while (pos < line.size()) {
        qsizetype backslashes = 0;
        while (pos < line.size() && line[pos] == backslash) {
            ++backslashes;
            ++pos;
        }
        if (pos < line.size() && line[pos] == quote) {
            argument.append(QString(backslashes / 2, backslash));
            if (backslashes % 2 == 1) {
                argument.append(quote);
            } else if (inQuotes && pos + 1 < line.size() && line[pos + 1] == quote) {
                argument.append(quote); // "" inside quotes: one literal quote, still quoted
                ++pos;
            } else {
                inQuotes = !inQuotes;
            }
            ++pos;
            continue;
        }
        argument.append(QString(backslashes, backslash));
        if (pos >= line.size() || (!inQuotes && isBlank(line[pos])))
            break;
        argument.append(line[pos++]);
    }
    return argument;
}

} // namespace

QStringList splitWindowsCommandLine(const QString& commandLine)
{
    QStringList argv;
    QString program;
    qsizetype pos = takeProgramName(commandLine, program);
    argv.append(program);
    while (true) {
        while (pos < commandLine.size() && isBlank(commandLine[pos]))
            ++pos;
        if (pos >= commandLine.size())
            break;
        argv.append(takeArgument(commandLine, pos));
    }
    return argv;
}

QString escapeForQuotes(const QString& argument)
{
    QString escaped;
    escaped.reserve(argument.size());
    qsizetype backslashes = 0;
    for (const QChar c : argument) {
        if (c == backslash) {
            ++backslashes;
            continue;
        }
        if (c == quote) // the backslashes before it must stay backslashes, and it stays a quote
            escaped.append(QString(2 * backslashes + 1, backslash));
        else
            escaped.append(QString(backslashes, backslash));
        escaped.append(c);
        backslashes = 0;
    }
    // Trailing backslashes stand before the closing quote, which must still close.
    escaped.append(QString(2 * backslashes, backslash));
    return escaped;
}

QString resolveProgramPath(const QString& program, const QDir& workingDir)
{
    if (program.isEmpty())
        return {};
    QString path = program;
    path.replace(backslash, u'/');
    path = QDir::cleanPath(workingDir.absoluteFilePath(path));
    if (QFileInfo::exists(path))
        return path;
    constexpr QStringView exeSuffix = u".exe";
    if (path.endsWith(exeSuffix, Qt::CaseInsensitive)) {
        const QString withoutSuffix = path.chopped(exeSuffix.size());
        if (QFileInfo::exists(withoutSuffix))
            return withoutSuffix;
    }
    return path; // missing: starting it fails and says so
}

QString absolutePathForTool(const QString& path)
{
    if (path.isEmpty() || QDir::isAbsolutePath(path))
        return path;
    return QDir::toNativeSeparators(QDir::currentPath()) + QDir::separator() + path;
}

QString withoutLeadingControls(const QString& commandLine)
{
    qsizetype start = 0;
    while (start < commandLine.size() && commandLine[start].unicode() >= 1 &&
           commandLine[start].unicode() <= 32)
        ++start;
    return commandLine.mid(start);
}

} // namespace ranupa::commandline
