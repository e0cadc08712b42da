#include "appmain.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Ranupa Helper"));
    QApplication::setApplicationVersion(QStringLiteral(RANUPA_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("ranupa-helper"));
    return ranupa::AppMain();
}
