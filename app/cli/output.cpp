#include "cli/output.h"

#include <QDateTime>

using namespace Qt::StringLiterals;

namespace ranupa::cli {

void print(FILE* stream, QString text)
{
    if (stream == stderr) {
        const QString stamp = QDateTime::currentDateTime().toString(u"yyyy-MM-dd HH:mm:ss "_s);
        text = stamp + text.replace(u'\n', u'\n' + stamp);
    }
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

} // namespace ranupa::cli
