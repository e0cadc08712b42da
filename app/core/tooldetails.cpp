#include "core/tooldetails.h"

using namespace Qt::StringLiterals;

namespace ranupa {

QString toolOutputTail(const ToolResult& result)
{
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
    return u"...\n"_s + QString::fromLocal8Bit(tail).trimmed();
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

QString toolFailureDetails(const QString& what, const ToolResult& result)
{
    QString details = what + u'\n' + describeToolEnd(result);
    const QString tail = toolOutputTail(result);
    if (!tail.isEmpty()) {
        details += u"\n\n"_s + tail;
    }
    return details;
}

} // namespace ranupa
