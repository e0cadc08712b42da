#include "cli/output.h"

#include <QDateTime>
#include <QRegularExpression>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

namespace ranupa::cli {

namespace {

bool isTerminal(FILE* stream)
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stream)) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

} // namespace

void printAsIs(FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

void print(FILE* stream, QString text)
{
    if (stream == stderr || !isTerminal(stream)) {
        const QString stamp = QDateTime::currentDateTime().toString(u"yyyy-MM-dd HH:mm:ss "_s);
        text = stamp + text.replace(u'\n', u'\n' + stamp);
    }
    printAsIs(stream, text);
}

QString unsaid(const QString& text, const QString& said)
{
    static const QRegularExpression sentenceEnd(u"(?<=[.!?])\\s+|\\n"_s);
    QString rest = text;
    for (const QString& sentence : said.split(sentenceEnd, Qt::SkipEmptyParts)) {
        rest.remove(sentence);
    }
    static const QRegularExpression blanksBeforeLineEnd(u"[ \\t]+(?=\\n|$)"_s);
    static const QRegularExpression emptyLines(u"\\n{3,}"_s);
    return rest.remove(blanksBeforeLineEnd).replace(emptyLines, u"\n\n"_s).trimmed();
}

} // namespace ranupa::cli
