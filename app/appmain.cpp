#include "appmain.h"

#include "gui/datautility.h"
#include "gui/mainwindow.h"

namespace ranupa {

int AppMain()
{
    MainWindow mainWindow;
    if (mainWindow.exec() == QDialog::Accepted) {
        return 0;
    }
    // Whatever else ended the main window hands over to the data utility window for good.
    mainWindow.hide();
    DataUtility dataUtility;
    dataUtility.exec();
    return 0;
}

} // namespace ranupa
