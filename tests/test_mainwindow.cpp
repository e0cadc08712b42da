#include "appmain.h"
#include "gui/datautility.h"
#include "gui/imagectrl.h"
#include "gui/mainwindow.h"
#include "modalhelper.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QtTest>

using ranupa::DataUtility;
using ranupa::MainWindow;

class TestMainWindow final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void layoutAsDesigned();
    void largerFontsGrowTheLayoutSoTextsFit_data();
    void largerFontsGrowTheLayoutSoTextsFit();
    void bannerCentredAndClipped();
    void noControlFocusedAtStart();
    void bothWindowsOpenCentred();
    void keysAndCloseEndTheWindow_data();
    void keysAndCloseEndTheWindow();
    void exitEndsTheProgram();
    void backupRestoreHandsOverForGood();
};

void TestMainWindow::initTestCase()
{
    // The compact font the layouts are drawn for: at this size they keep their exact geometry.
    QApplication::setFont(fontOfPixelSize(9));
}

void TestMainWindow::largerFontsGrowTheLayoutSoTextsFit_data()
{
    QTest::addColumn<int>("pixels");
    QTest::newRow("compact") << 9;
    QTest::newRow("common desktop") << 12;
    QTest::newRow("large") << 16;
}

void TestMainWindow::largerFontsGrowTheLayoutSoTextsFit()
{
    QFETCH(int, pixels);
    const QFont compact = QApplication::font();
    QApplication::setFont(fontOfPixelSize(pixels));
    auto restoreFont = qScopeGuard([&] { QApplication::setFont(compact); });

    MainWindow mainWindow;
    DataUtility dataUtility;
    for (QWidget* window :
         {static_cast<QWidget*>(&mainWindow), static_cast<QWidget*>(&dataUtility)}) {
        verifyTextsFit(*window);
        QCOMPARE(window->minimumSize(), window->maximumSize());
        QCOMPARE(window->size(), window->minimumSize());
    }
    QVERIFY(mainWindow.width() >= 332 && dataUtility.width() >= 436);
    // The proportions stay those of the layout.
    QVERIFY(qAbs(mainWindow.height() * 332.0 / mainWindow.width() - 172) < 2);
    if (pixels > 9) {
        QVERIFY(mainWindow.width() > 332);
    }
}

void TestMainWindow::layoutAsDesigned()
{
    MainWindow window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Ranupa Helper"));
    QCOMPARE(window.size(), QSize(332, 172));
    QCOMPARE(window.minimumSize(), QSize(332, 172));
    QCOMPARE(window.maximumSize(), QSize(332, 172));
    const auto flags = window.windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));

    QPushButton* cancel = button(window, "cancel");
    QPushButton* ok = button(window, "ok");
    QVERIFY(cancel && ok);
    QCOMPARE(cancel->text(), QStringLiteral("Backup / Restore"));
    QCOMPARE(ok->text(), QStringLiteral("Exit"));
    QCOMPARE(cancel->geometry(), QRect(104, 132, 108, 32));
    QCOMPARE(ok->geometry(), QRect(216, 132, 108, 31));
    QVERIFY(ok->isDefault());

    auto* frame = window.findChild<QGroupBox*>();
    QVERIFY(frame);
    QCOMPARE(frame->title(), QStringLiteral("Keterangan"));
    QCOMPARE(frame->geometry(), QRect(8, 76, 316, 52));
    auto* banner = window.findChild<ranupa::ImageCtrl*>(QStringLiteral("imc"));
    QVERIFY(banner);
    QCOMPARE(banner->geometry(), QRect(4, 4, 324, 64));
    const auto labels = window.findChildren<QLabel*>();
    const bool explained = std::any_of(labels.begin(), labels.end(), [](QLabel* label) {
        return label->text() ==
                   QStringLiteral("Untuk melakukan\nbackup atau restore database aplikasi pilih "
                                  "'Backup / Restore'.") &&
               label->geometry() == QRect(16, 88, 300, 32);
    });
    QVERIFY(explained);

    // Tab order: "Backup / Restore" first, then "Exit".
    QCOMPARE(cancel->nextInFocusChain(), ok);
}

void TestMainWindow::bannerCentredAndClipped()
{
    MainWindow window;
    openAndActivate(window);
    auto* banner = window.findChild<ranupa::ImageCtrl*>(QStringLiteral("imc"));
    const QImage shown = banner->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    const QImage picture =
        QImage(QStringLiteral(":/banner_helper.png")).convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(picture.size(), QSize(330, 45));
    QVERIFY(picture.hasAlphaChannel());
    QCOMPARE(shown.size(), QSize(324 * shown.devicePixelRatio(), 64 * shown.devicePixelRatio()));

    // Opaque pixels of the picture land 3 columns to the left and 9 rows down: centred, not
    // scaled, the outer strips cut off.
    int compared = 0;
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 3; x < 327; ++x) {
            const QRgb pixel = picture.pixel(x, y);
            if (qAlpha(pixel) == 255) {
                QCOMPARE(shown.pixel(x - 3, y + 9), pixel);
                ++compared;
            }
        }
    }
    QVERIFY(compared > 10000);
    // Above and below the picture there is only the window's background.
    const QRgb background = shown.pixel(0, 0);
    for (int x = 0; x < 324; ++x) {
        QCOMPARE(shown.pixel(x, 8), background);
        QCOMPARE(shown.pixel(x, 54), background);
    }
}

void TestMainWindow::noControlFocusedAtStart()
{
    MainWindow window;
    openAndActivate(window);
    QVERIFY(!qobject_cast<QPushButton*>(QApplication::focusWidget()));
    QTest::keyClick(&window, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), button(window, "cancel"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), button(window, "ok"));
}

void TestMainWindow::bothWindowsOpenCentred()
{
    MainWindow mainWindow;
    DataUtility dataUtility;
    for (QWidget* window :
         {static_cast<QWidget*>(&mainWindow), static_cast<QWidget*>(&dataUtility)}) {
        openAndActivate(*window);
        const QPoint offCentre =
            window->frameGeometry().center() - window->screen()->availableGeometry().center();
        QVERIFY2(offCentre.manhattanLength() <= 2, qPrintable(window->windowTitle()));
    }
}

void TestMainWindow::keysAndCloseEndTheWindow_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("result");
    QTest::newRow("Enter right after start") << "enter" << int(QDialog::Accepted);
    QTest::newRow("Tab then Enter") << "tab enter" << int(QDialog::Rejected);
    QTest::newRow("Tab Tab then Enter") << "tab tab enter" << int(QDialog::Accepted);
    QTest::newRow("Escape") << "escape" << int(QDialog::Rejected);
    QTest::newRow("close box") << "close" << int(QDialog::Rejected);
    QTest::newRow("Exit pressed") << "click ok" << int(QDialog::Accepted);
    QTest::newRow("Backup / Restore pressed") << "click cancel" << int(QDialog::Rejected);
    QTest::newRow("Space on Backup / Restore") << "tab space" << int(QDialog::Rejected);
}

void TestMainWindow::keysAndCloseEndTheWindow()
{
    QFETCH(QString, action);
    QFETCH(int, result);
    MainWindow window;
    whenModal<MainWindow>([&](MainWindow* shown) {
        QVERIFY(QTest::qWaitForWindowActive(shown, windowWaitMs));
        const QStringList steps = action.split(QLatin1Char(' '));
        for (int i = 0; i < steps.size(); ++i) {
            QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : shown;
            const QString& step = steps[i];
            if (step == QLatin1String("enter")) {
                QTest::keyClick(target, Qt::Key_Return);
            } else if (step == QLatin1String("tab")) {
                QTest::keyClick(target, Qt::Key_Tab);
            } else if (step == QLatin1String("space")) {
                QTest::keyClick(target, Qt::Key_Space);
            } else if (step == QLatin1String("escape")) {
                QTest::keyClick(target, Qt::Key_Escape);
            } else if (step == QLatin1String("close")) {
                shown->close();
            } else if (step == QLatin1String("click")) {
                QTest::mouseClick(button(*shown, qPrintable(steps[++i])), Qt::LeftButton);
            }
        }
    });
    QCOMPARE(window.exec(), result);
}

void TestMainWindow::exitEndsTheProgram()
{
    whenModal<MainWindow>([](MainWindow* shown) {
        QVERIFY(QTest::qWaitForWindowActive(shown, windowWaitMs));
        QTest::keyClick(shown, Qt::Key_Return);
    });
    // Should the data utility window open anyway, it is closed so that the test ends and fails.
    QVERIFY(!opensModal<DataUtility>([] { QCOMPARE(ranupa::AppMain(), 0); }));
}

void TestMainWindow::backupRestoreHandsOverForGood()
{
    QPointer<MainWindow> mainWindow;
    bool mainHiddenMeanwhile = false;
    whenModal<MainWindow>([&](MainWindow* shown) {
        mainWindow = shown;
        QVERIFY(QTest::qWaitForWindowActive(shown, windowWaitMs));
        QTest::keyClick(shown, Qt::Key_Escape);
    });
    whenModal<DataUtility>([&](DataUtility* utility) {
        mainHiddenMeanwhile = mainWindow && !mainWindow->isVisible();
        QVERIFY(QTest::qWaitForWindowActive(utility, windowWaitMs));
        QTest::mouseClick(utility->findChild<QPushButton*>(QStringLiteral("cmdKeluar")),
                          Qt::LeftButton);
    });
    QCOMPARE(ranupa::AppMain(), 0);
    QVERIFY(mainHiddenMeanwhile);
    QVERIFY(!mainWindow); // destroyed when the program's run ends, never shown again
    QVERIFY(QApplication::topLevelWidgets().isEmpty() ||
            std::none_of(QApplication::topLevelWidgets().begin(),
                         QApplication::topLevelWidgets().end(),
                         [](QWidget* widget) { return widget->isVisible(); }));
}

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
