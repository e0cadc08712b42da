#include "translation.h"

#include <QCoreApplication>
#include <QTranslator>

using namespace Qt::StringLiterals;

namespace ranupa {

bool installQtTranslation()
{
    // Indonesian whatever the system's language: the program's own texts are Indonesian too, and
    // a window that mixes two languages is harder to follow than either.
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(u":/translations/qtbase_id.qm"_s)) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

} // namespace ranupa
