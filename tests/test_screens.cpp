#include "core/files/history.h"
#include "core/ops/operation.h"
#include "core/schedule/scheduler.h"
#include "gui/datautility.h"
#include "gui/imagectrl.h"
#include "gui/mainwindow.h"
#include "modalhelper.h"
#include "testhome.h"
#include "translation.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTreeView>
#include <QtTest>

using namespace Qt::StringLiterals;
using ranupa::DataUtility;
using ranupa::MainWindow;

// The windows on the screens operators have (small ones, twice the scale, large fonts) and in
// the operators' language. Run on several screens; see startup.cmake.
class TestScreens final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void windowsStayOnTheScreenAndTextsFit();
    void statusLineFitsAtItsLongest();
    void selectorsStayOnTheScreen();
    void restoreSelectorShowsNameDateAndSize();
    void confirmationStaysOnTheScreen();
    void bannerKeepsItsDetail();
    void qtTextsReadInIndonesian();

private:
    TestHome m_home;
    QTemporaryDir m_dir;
};

namespace {

void verifyOnScreen(const QWidget& window)
{
    const QRect available = window.screen()->availableGeometry();
    const QSize size = window.frameGeometry().size();
    QVERIFY2(available.contains(window.frameGeometry()),
             qPrintable(
                 u"%1 is %2x%3"_s.arg(window.windowTitle()).arg(size.width()).arg(size.height())));
}

QStringList buttonTexts(QWidget& window)
{
    QStringList texts;
    for (const QAbstractButton* button : window.findChildren<QAbstractButton*>()) {
        if (button->isVisible()) {
            texts << button->text();
        }
    }
    return texts;
}

} // namespace

void TestScreens::initTestCase()
{
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QVERIFY(ranupa::installQtTranslation());
    // The large interface font some operators choose.
    QFont large = QApplication::font();
    large.setPointSize(14);
    QApplication::setFont(large);
    // Neither the working directory nor the test's own holds an installation.
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir::setCurrent(m_dir.path()));
    QFile backup(m_dir.filePath(u"ranupaku06122026220509.dbk"_s));
    QVERIFY(backup.open(QIODevice::WriteOnly));
}

void TestScreens::windowsStayOnTheScreenAndTextsFit()
{
    MainWindow mainWindow;
    DataUtility dataUtility;
    for (QWidget* window :
         {static_cast<QWidget*>(&mainWindow), static_cast<QWidget*>(&dataUtility)}) {
        openAndActivate(*window);
        verifyOnScreen(*window);
        verifyTextsFit(*window);
        window->hide();
    }
}

void TestScreens::statusLineFitsAtItsLongest()
{
    // The longest the line gets: the schedule's last run failed, and the newest backup is old.
    QCOMPARE(
        ranupa::makeSchedule(
            {.program = u"/usr/bin/true"_s, .installDir = m_dir.path(), .backupDir = m_dir.path()}),
        std::nullopt);
    const QDateTime now = QDateTime::currentDateTime();
    QString problem;
    for (const ranupa::RunRecord& run :
         {ranupa::RunRecord{.started = now.addDays(-9), .tried = true},
          ranupa::RunRecord{.started = now.addSecs(1),
          .origin = ranupa::RunOrigin::Schedule,
          .result = ranupa::RunResult::Failed}}) {
        QVERIFY2(ranupa::appendToHistory(run, problem), qPrintable(problem));
    }
    DataUtility window;
    openAndActivate(window);
    auto* status = window.findChild<QLabel*>(u"backupStatus"_s);
    QTRY_VERIFY2(status->toolTip().contains(u"terakhir gagal"_s) &&
                     status->toolTip().contains(u"Sudah lebih dari 7 hari!"_s),
                 qPrintable(status->toolTip()));
    verifyTextsFit(window); // each of the status line's lines too
    const int lines = int(status->text().count(u'\n')) + 1;
    QVERIFY(lines * status->fontMetrics().lineSpacing() <= status->height());
    QCOMPARE(status->palette().color(QPalette::WindowText), QColor(0xb0, 0, 0));
    QVERIFY(ranupa::removeSchedule());
}

void TestScreens::selectorsStayOnTheScreen()
{
    DataUtility window;
    openAndActivate(window);
    int checked = 0;
    for (auto choose : {&DataUtility::PilihBackup, &DataUtility::PilihRestore}) {
        whenModal<QFileDialog>([&](QFileDialog* selector) {
            QVERIFY(QTest::qWaitForWindowExposed(selector, windowWaitMs));
            verifyOnScreen(*selector);
            ++checked;
            selector->reject();
        });
        (window.*choose)();
    }
    QCOMPARE(checked, 2);
}

void TestScreens::restoreSelectorShowsNameDateAndSize()
{
    DataUtility window;
    openAndActivate(window);
    whenModal<QFileDialog>([&](QFileDialog* selector) {
        QVERIFY(QTest::qWaitForWindowExposed(selector, windowWaitMs));
        verifyOnScreen(*selector);
        selector->setDirectory(m_dir.path());
        auto* view = selector->findChild<QTreeView*>(u"treeView"_s);
        QModelIndex backup;
        QTRY_VERIFY_WITH_TIMEOUT((backup = view->model()->index(0, 0, view->rootIndex())).isValid(),
                                 windowWaitMs);
        // Each column holds its whole text, within the list's visible width.
        for (int column = 0; column < 3; ++column) {
            const int needed = static_cast<QAbstractItemView*>(view)->sizeHintForColumn(column);
            const QRect cell = view->visualRect(backup.siblingAtColumn(column));
            QVERIFY2(needed <= cell.width() && cell.left() >= 0 &&
                         cell.right() < view->viewport()->width(),
                     qPrintable(
                         u"column %1 needs %2 of %3"_s.arg(column).arg(needed).arg(cell.width())));
        }
        selector->reject();
    });
    window.PilihRestore();
}

void TestScreens::confirmationStaysOnTheScreen()
{
    // The tallest the question gets: another database, and a folder that cannot be written (not
    // even by root); with the box ticked, then unticked.
    const ranupa::RestoreSummary summary{.filePath = u"/proc/ranupaku08122026045918.dbk"_s,
                                         .fileSize = 123'456'789,
                                         .created = QDateTime::currentDateTime().addDays(-3),
                                         .databaseName = u"arsip_lain"_s,
                                         .serverVersion = u"15.18 (Debian 15.18-0+deb12u1)"_s,
                                         .tableCount = 42,
                                         .pendataanExists = true};
    ranupa::ConfirmRestoreDialog confirm(summary, m_dir.path());
    openAndActivate(confirm);
    QVERIFY(confirm.findChild<QPushButton*>(u"chooseFolder"_s)->isVisible());
    for (int shown = 0; shown < 2; ++shown) {
        verifyOnScreen(confirm);
        confirm.findChild<QCheckBox*>(u"safetyBackup"_s)->click();
    }
}

void TestScreens::bannerKeepsItsDetail()
{
    MainWindow window;
    openAndActivate(window);
    auto* banner = window.findChild<ranupa::ImageCtrl*>(u"imc"_s);
    const QImage shown = banner->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    const qreal ratio = shown.devicePixelRatio();
    // At more than one device pixel per unit, the picture drawn at twice the size.
    const QImage picture =
        QImage(ratio > 1.0 ? u":/banner_helper@2x.png"_s : u":/banner_helper.png"_s)
            .convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(picture.size(), QSize(330, 45) * (ratio > 1.0 ? 2 : 1));
    const QPoint offset = banner->imageOffset() * ratio;

    int compared = 0;
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            const QPoint at(x + offset.x(), y + offset.y());
            if (qAlpha(picture.pixel(x, y)) == 255 && shown.rect().contains(at)) {
                QCOMPARE(shown.pixel(at), picture.pixel(x, y));
                ++compared;
            }
        }
    }
    QVERIFY(compared > picture.width() * picture.height() / 2);
}

void TestScreens::qtTextsReadInIndonesian()
{
    DataUtility window;
    openAndActivate(window);
    QStringList restoreTexts;
    whenModal<QFileDialog>([&](QFileDialog* selector) {
        restoreTexts = buttonTexts(*selector);
        for (const QLabel* label : selector->findChildren<QLabel*>()) {
            restoreTexts << label->text();
        }
        selector->reject();
    });
    window.PilihRestore();
    for (const QString& text :
         {u"&Buka"_s, u"Batal"_s, u"Lihat di:"_s, u"&Nama file:"_s, u"Jenis file:"_s}) {
        QVERIFY2(restoreTexts.contains(text), qPrintable(restoreTexts.join(u", "_s)));
    }

    QStringList backupTexts;
    whenModal<QFileDialog>([&](QFileDialog* selector) {
        backupTexts = buttonTexts(*selector);
        selector->reject();
    });
    window.PilihBackup();
    QVERIFY2(backupTexts.contains(u"&Pilih"_s), qPrintable(backupTexts.join(u", "_s)));

    // A failure's message box: its own buttons too. Without an installation a backup fails.
    window.findChild<QLineEdit*>(u"targetDir"_s)->setText(m_dir.path());
    QStringList boxTexts;
    whenModal<QMessageBox>([&](QMessageBox* box) {
        boxTexts = buttonTexts(*box);
        box->accept();
    });
    window.DoBackup();
    QVERIFY2(boxTexts.contains(u"Tampilkan Rincian..."_s), qPrintable(boxTexts.join(u", "_s)));
    QVERIFY(boxTexts.contains(u"OK"_s));
}

QTEST_MAIN(TestScreens)
#include "test_screens.moc"
