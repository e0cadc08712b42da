#include "core/pg/tooldetails.h"

#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace ranupa {

QString toolOutputTail(const ToolResult& result)
{
    constexpr qsizetype toolOutputTailBytes = 4096;
    const QByteArray& raw = result.rawOutput;
    if (raw.size() <= toolOutputTailBytes) {
        return result.output().trimmed();
    }
    // Start after a line end so the tail does not open with half a line (or half a character).
    QByteArray tail = raw.right(toolOutputTailBytes);
    const qsizetype lineEnd = tail.indexOf('\n');
    if (lineEnd >= 0 && lineEnd + 1 < tail.size()) {
        tail.remove(0, lineEnd + 1);
    }
    return u"...\n"_s + toolText(tail).trimmed();
}

QString describeToolEnd(const ToolResult& result)
{
    if (!result.started) {
        return u"Program tidak dapat dijalankan: %1"_s.arg(result.errorString);
    }
    if (result.cancelled) {
        return u"Program dihentikan."_s;
    }
    if (result.crashed) {
        return u"Program berhenti tidak normal: %1"_s.arg(result.errorString);
    }
    if (result.exitCode == 0 && result.rawOutput.isEmpty()) {
        return u"Program selesai tanpa menulis apa pun."_s;
    }
    return u"Kode keluar: %1"_s.arg(result.exitCode);
}

namespace {

// "pg_restore: error: ...", "pg_restore: fatal: ...", the "[archiver (db)]" lines of old
// versions, and the server's "ERROR:" as psql passes it on.
bool isErrorLine(const QString& line)
{
    static const QRegularExpression error(
        u"^\\S+: (error|fatal):|^\\S+: \\[[^\\]]*\\] .*[Ee]rror|\\b(ERROR|FATAL):"_s);
    return error.match(line).hasMatch();
}

// Lines a program writes under its own name ("pg_restore: ...", "psql:file.sql:3: ...") start a
// new message; anything else continues the one before it ("Command was: ...", "DETAIL: ...").
bool startsMessage(const QString& line)
{
    static const QRegularExpression programPrefix(u"^[a-z_][\\w.-]*(:[^:\\s]*:\\d+)?: "_s);
    return programPrefix.match(line).hasMatch();
}

QString shortened(const QString& line)
{
    constexpr qsizetype maxLength = 300;
    return line.size() <= maxLength ? line : line.left(maxLength) + u" ..."_s;
}

} // namespace

QString firstToolErrors(const ToolResult& result, int maxErrors)
{
    constexpr int maxFollowingLines = 3;
    const QStringList lines = result.output().split(u'\n');
    QStringList blocks;
    for (qsizetype i = 0; i < lines.size() && blocks.size() < maxErrors; ++i) {
        const QString line = lines.at(i).trimmed();
        if (!isErrorLine(line)) {
            continue;
        }
        QStringList block;
        if (i > 0 && lines.at(i - 1).contains(u": from TOC entry "_s)) {
            block << shortened(lines.at(i - 1).trimmed());
        }
        block << shortened(line);
        for (qsizetype j = i + 1; j < lines.size() && j <= i + maxFollowingLines; ++j) {
            const QString next = lines.at(j).trimmed();
            if (next.isEmpty() || startsMessage(next) || isErrorLine(next)) {
                break;
            }
            block << shortened(next);
        }
        blocks << block.join(u'\n');
    }
    return blocks.join(u"\n\n"_s);
}

FailureCause causeFromToolResult(const ToolResult& result)
{
    if (!result.started) {
        return FailureCause::ToolsMissing;
    }
    return causeFromToolText(result.output());
}

Failure toolFailure(const QString& step, const ToolResult& result)
{
    if (result.cancelled) {
        return Failure::cancel();
    }
    QString details = describeToolEnd(result);
    if (!result.command.isEmpty()) {
        details += u"\nPerintah: "_s + result.command;
    }
    if (const QString errors = firstToolErrors(result); !errors.isEmpty()) {
        details += u"\nKesalahan pertama:\n"_s + errors;
    }
    if (const QString tail = toolOutputTail(result); !tail.isEmpty()) {
        details += u"\n\n"_s + tail;
    }
    return {.step = step, .details = details, .cause = causeFromToolResult(result)};
}

Failure onServer(Failure failure)
{
    if (failure.cause == FailureCause::DiskFull) {
        failure.cause = FailureCause::ServerDiskFull;
    }
    return failure;
}

} // namespace ranupa
