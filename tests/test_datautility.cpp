#include "core/schedule/scheduler.h"
#include "gui/datautility.h"
#include "gui/screenfit.h"
#include "modalhelper.h"
#include "testhome.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

using ranupa::DataUtility;

class TestDataUtility final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void layoutAsDesigned();
    void focusStartsInTargetDirAndFieldsAreReadOnly();
    void enterAndEscapeInAFieldDoNothing();
    void enterOnAFocusedButtonPressesIt();
    void tutupAndCloseRequestsEndTheWindow_data();
    void tutupAndCloseRequestsEndTheWindow();
    void backupSelectorFillsAndCancelEmpties();
    void restoreSelectorOffersOnlyBackups();
    void restoreSelectorShowsNewestFirst_data();
    void restoreSelectorShowsNewestFirst();
    void emptyFieldsRunNothing();
    void statusSaysWhereTheInstallationWasLookedFor();
    void windowNeverWaitsForAHangingScheduler();
    void pathsKeepTheirFileName_data();
    void pathsKeepTheirFileName();

private:
    TestHome m_home; // nothing recorded yet, no folder used yet
    QTemporaryDir m_dir;
};

namespace {

QString dirPath(const QString& path)
{
    return QFileInfo(path).absoluteFilePath();
}

} // namespace

void TestDataUtility::initTestCase()
{
    // The tests answer Qt's own selector; a platform's native one cannot be driven.
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    // The compact font the layout is drawn for: at this size it keeps its exact geometry.
    QApplication::setFont(fontOfPixelSize(9));
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("Cadangan Sekolah")));
    QFile backup(m_dir.filePath(QStringLiteral("ranupaku06122026220509.dbk")));
    QVERIFY(backup.open(QIODevice::WriteOnly));
    QFile other(m_dir.filePath(QStringLiteral("catatan.txt")));
    QVERIFY(other.open(QIODevice::WriteOnly));
    // Started in the installation folder, as the program is meant to be.
    QVERIFY(QDir(m_dir.path()).mkdir(QStringLiteral("pgsql")));
    QVERIFY(QDir::setCurrent(m_dir.path()));
}

void TestDataUtility::layoutAsDesigned()
{
    DataUtility window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Database Utility"));
    QCOMPARE(window.size(), QSize(436, 280));
    QCOMPARE(window.minimumSize(), QSize(436, 280));
    QCOMPARE(window.maximumSize(), QSize(436, 280));
    const auto flags = window.windowFlags();
    QVERIFY(!flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowSystemMenuHint));
    QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));

    const struct
    {
        const char* name;
        QString text;
        QRect geometry;
    } buttons[] = {
        {"cmdPilihBackup", QStringLiteral("Pilih"), {376, 52, 40, 20}},
        {"cmdKeluar", QStringLiteral("Tutup"), {340, 240, 84, 28}},
        {"cmdBackup", QStringLiteral("Backup"), {332, 80, 84, 28}},
        {"cmdPilihRestore", QStringLiteral("Pilih"), {376, 168, 40, 20}},
        {"cmdRestore", QStringLiteral("Restore"), {332, 196, 84, 28}},
    };
    for (const auto& expected : buttons) {
        auto* button = child<QPushButton>(window, expected.name);
        QVERIFY2(button, expected.name);
        QCOMPARE(button->text(), expected.text);
        QCOMPARE(button->geometry(), expected.geometry);
    }
    QCOMPARE(child<QLineEdit>(window, "targetDir")->geometry(), QRect(56, 52, 316, 19));
    QCOMPARE(child<QLineEdit>(window, "backupFile")->geometry(), QRect(56, 168, 316, 19));
    const auto frames = window.findChildren<QGroupBox*>();
    QCOMPARE(frames.size(), 2);
    QCOMPARE(frames[0]->title(), QStringLiteral("Backup"));
    QCOMPARE(frames[0]->geometry(), QRect(12, 12, 412, 108));
    QCOMPARE(frames[1]->title(), QStringLiteral("Restore"));
    QCOMPARE(frames[1]->geometry(), QRect(12, 128, 412, 108));
    QStringList texts;
    for (QLabel* label : window.findChildren<QLabel*>()) {
        if (label->objectName() != QStringLiteral("backupStatus")) {
            texts << label->text();
        }
    }
    QCOMPARE(texts, (QStringList{
                        QStringLiteral("Pilih direktori tujuan kemudian klik tombol 'Backup'"),
                        QStringLiteral("Tujuan"),
                        QStringLiteral("* File backup memiliki ekstensi .dbk"),
                        QStringLiteral("Pilih file backup (.dbk) yang akan disimpan ke database "
                                       "aplikasi ranupaku"),
                        QStringLiteral("File"),
                    }));

    // Focus order follows the order in which the controls were placed.
    QStringList chain;
    QWidget* widget = child<QLineEdit>(window, "targetDir");
    for (int i = 0; i < 7; ++i, widget = widget->nextInFocusChain()) {
        while (widget->focusPolicy() == Qt::NoFocus) {
            widget = widget->nextInFocusChain();
        }
        chain << widget->objectName();
    }
    QCOMPARE(chain, (QStringList{"targetDir", "cmdPilihBackup", "backupFile", "cmdKeluar",
                                 "cmdBackup", "cmdPilihRestore", "cmdRestore"}));

    // The status line fills the free room left of "Tutup", below the Restore frame, and never
    // takes the focus.
    auto* status = child<QLabel>(window, "backupStatus");
    QCOMPARE(status->geometry(), QRect(12, 238, 322, 40));
    QCOMPARE(status->focusPolicy(), Qt::NoFocus);
    QTRY_COMPARE(status->text(), QStringLiteral("Belum ada backup yang tercatat di komputer ini."));
    QVERIFY(status->palette().color(QPalette::WindowText) != QColor(0xb0, 0, 0)); // no warning
    QVERIFY(status->toolTip().contains(QStringLiteral("--history")));
}

void TestDataUtility::focusStartsInTargetDirAndFieldsAreReadOnly()
{
    DataUtility window;
    openAndActivate(window);
    auto* targetDir = child<QLineEdit>(window, "targetDir");
    auto* backupFile = child<QLineEdit>(window, "backupFile");
    QCOMPARE(QApplication::focusWidget(), targetDir);
    QVERIFY(targetDir->text().isEmpty() && backupFile->text().isEmpty());

    QApplication::clipboard()->setText(QStringLiteral("/tmp"));
    for (QLineEdit* field : {targetDir, backupFile}) {
        field->setFocus();
        QTest::keyClicks(field, QStringLiteral("D:\\Cadangan"));
        QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
        QTest::keyClick(field, Qt::Key_Backspace);
        QVERIFY(field->text().isEmpty());
    }
}

void TestDataUtility::enterAndEscapeInAFieldDoNothing()
{
    DataUtility window;
    openAndActivate(window);
    QVERIFY(!opensModal<QFileDialog>([] {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    }));
    QVERIFY(window.isVisible());
}

void TestDataUtility::enterOnAFocusedButtonPressesIt()
{
    DataUtility window;
    openAndActivate(window);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("cmdPilihBackup"));
    QString title;
    whenModal<QFileDialog>([&](QFileDialog* selector) {
        title = selector->windowTitle();
        selector->reject();
    });
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QCOMPARE(title, QStringLiteral("Backup Data"));
}

void TestDataUtility::tutupAndCloseRequestsEndTheWindow_data()
{
    QTest::addColumn<bool>("useTutup");
    QTest::newRow("Tutup") << true;
    QTest::newRow("close request") << false;
}

void TestDataUtility::tutupAndCloseRequestsEndTheWindow()
{
    QFETCH(bool, useTutup);
    DataUtility window;
    whenModal<DataUtility>([&](DataUtility* shown) {
        if (useTutup) {
            QTest::mouseClick(child<QPushButton>(*shown, "cmdKeluar"), Qt::LeftButton);
        } else {
            shown->close();
        }
    });
    QCOMPARE(window.exec(), int(QDialog::Accepted));
    QVERIFY(!window.isVisible());
}

void TestDataUtility::backupSelectorFillsAndCancelEmpties()
{
    DataUtility window;
    openAndActivate(window);
    auto* targetDir = child<QLineEdit>(window, "targetDir");
    const QString chosen = dirPath(m_dir.filePath(QStringLiteral("Cadangan Sekolah")));

    QFileDialog::FileMode mode{};
    QString title;
    QString firstOpenedIn;
    whenModal<QFileDialog>([&](QFileDialog* selector) {
        title = selector->windowTitle();
        mode = selector->fileMode();
        firstOpenedIn = selector->directory().absolutePath();
        selector->setDirectory(chosen); // "Choose" takes the directory the selector shows
        static_cast<QDialog*>(selector)->accept(); // as the Open or Choose button does
    });
    window.PilihBackup();
    QCOMPARE(title, QStringLiteral("Backup Data"));
    QCOMPARE(mode, QFileDialog::Directory);
    QCOMPARE(targetDir->text(), chosen);
    // Never first in the working directory: the installation's, on the database's own disk.
    QVERIFY(firstOpenedIn != QDir::currentPath());

    // Both selectors open in the folder last used, in this window and in the next run's; a
    // cancelled choice empties the field.
    QStringList openedIn;
    const auto remember = [&](QFileDialog* selector) {
        openedIn << selector->directory().absolutePath();
        selector->reject();
    };
    whenModal<QFileDialog>(remember);
    window.PilihBackup();
    QVERIFY(targetDir->text().isEmpty());
    DataUtility next;
    whenModal<QFileDialog>(remember);
    next.PilihRestore();
    QCOMPARE(openedIn, QStringList(2, chosen));
}

void TestDataUtility::restoreSelectorOffersOnlyBackups()
{
    DataUtility window;
    openAndActivate(window);
    auto* backupFile = child<QLineEdit>(window, "backupFile");
    const QString chosen = dirPath(m_dir.filePath(QStringLiteral("ranupaku06122026220509.dbk")));

    QStringList filters;
    QString title;
    QFileDialog::FileMode mode{};
    whenModal<QFileDialog>([&](QFileDialog* selector) {
        title = selector->windowTitle();
        filters = selector->nameFilters();
        mode = selector->fileMode();
        // Typed into the name field, as a user may do, then confirmed.
        auto* name = selector->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        QVERIFY(name);
        name->setText(chosen);
        static_cast<QDialog*>(selector)->accept(); // as the Open or Choose button does
    });
    window.PilihRestore();
    QCOMPARE(title, QStringLiteral("Restore Data"));
    QCOMPARE(filters, QStringList{QStringLiteral("Ranupa Backup (*.dbk)")});
    QCOMPARE(mode, QFileDialog::ExistingFile);
    QCOMPARE(backupFile->text(), chosen);

    whenModal<QFileDialog>([&](QFileDialog* selector) { selector->reject(); });
    window.PilihRestore();
    QVERIFY(backupFile->text().isEmpty());
}

void TestDataUtility::restoreSelectorShowsNewestFirst_data()
{
    QTest::addColumn<QStringList>("shown"); // name|size|date as --list writes it, in order
    QTest::newRow("day-month-year names")
        << QStringList{"ranupaku08122026045918.dbk|1,5 MB|Selasa, 8 Desember 2026 pukul 04.59",
                       "ranupaku02122026170000.dbk|1,5 MB|Rabu, 2 Desember 2026 pukul 17.00",
                       "ranupaku15112026170000.dbk|1,5 MB|Minggu, 15 November 2026 pukul 17.00"};
    QTest::newRow("safety backups by their time too") << QStringList{
        "ranupaku09122026100000.dbk|1,5 MB|Rabu, 9 Desember 2026 pukul 10.00",
        "ranupaku08122026120000-sebelum-restore.dbk|1,5 MB|Selasa, 8 Desember 2026 pukul 12.00",
        "ranupaku29022024000000.dbk|1,5 MB|Kamis, 29 Februari 2024 pukul 00.00"};
    QTest::newRow("folders first, names without a time last") << QStringList{
        "Arsip||", "ranupaku01012020000000.dbk|1,5 MB|Rabu, 1 Januari 2020 pukul 00.00",
        "cadangan lama.dbk|1,5 MB|tidak diketahui",
        "ranupaku29022026000000.dbk|1,5 MB|tidak diketahui", "Zaman.dbk|1,5 MB|tidak diketahui"};
}

void TestDataUtility::restoreSelectorShowsNewestFirst()
{
    QFETCH(QStringList, shown);
    QTemporaryDir dir;
    for (const QString& row : shown) {
        QFile file(dir.filePath(row.section(u'|', 0, 0)));
        QVERIFY(row.endsWith(u'|') ? QDir(dir.path()).mkdir(file.fileName())
                                   : file.open(QIODevice::WriteOnly) && file.resize(1'572'864));
    }
    DataUtility window;
    openAndActivate(window);
    QStringList listed;
    whenModal<QFileDialog>([&](QFileDialog* selector) {
        selector->setDirectory(dir.path());
        auto* list = selector->findChild<QListView*>(QStringLiteral("listView"));
        QTRY_COMPARE_WITH_TIMEOUT(list->model()->rowCount(list->rootIndex()), shown.size(),
                                  windowWaitMs);
        for (int row = 0; row < shown.size(); ++row) {
            QStringList columns;
            for (int column = 0; column < 3; ++column) {
                columns << list->model()->index(row, column, list->rootIndex()).data().toString();
            }
            listed << columns.join(u'|');
        }
        selector->reject();
    });
    window.PilihRestore();
    QCOMPARE(listed, shown);
}

void TestDataUtility::emptyFieldsRunNothing()
{
    DataUtility window;
    openAndActivate(window);
    QVERIFY(!opensModal<QDialog>([&] {
        QTest::mouseClick(child<QPushButton>(window, "cmdBackup"), Qt::LeftButton);
        QTest::mouseClick(child<QPushButton>(window, "cmdRestore"), Qt::LeftButton);
    }));
}

void TestDataUtility::statusSaysWhereTheInstallationWasLookedFor()
{
    QTemporaryDir elsewhere;
    QVERIFY(QDir::setCurrent(elsewhere.path()));
    DataUtility window;
    QVERIFY(QDir::setCurrent(m_dir.path()));
    auto* status = child<QLabel>(window, "backupStatus");
    const QString said =
        QStringLiteral("Folder instalasi aplikasi tidak ditemukan di %1 maupun di %2. "
                       "Jalankan program dari folder instalasi aplikasi")
            .arg(QDir::toNativeSeparators(elsewhere.path()),
                 QDir::toNativeSeparators(QCoreApplication::applicationDirPath()));
    QVERIFY2(status->toolTip().startsWith(said), qPrintable(status->toolTip()));
    // The label shows its first words, up to where a line too wide for it (a long temporary
    // path) is cut short.
    const QString shown =
        status->text().replace(u'\n', u' ').section(u'\u2026', 0, 0).section(u' ', 0, 8);
    QVERIFY2(shown.startsWith(QStringLiteral("Folder instalasi aplikasi tidak ditemukan di ")) &&
                 said.startsWith(shown),
             qPrintable(shown + u'|' + status->text()));
    QCOMPARE(status->palette().color(QPalette::WindowText), QColor(0xb0, 0, 0));
}

void TestDataUtility::windowNeverWaitsForAHangingScheduler()
{
    // A schedule made; then the crontab hangs when asked whether it still holds it.
    QCOMPARE(ranupa::makeSchedule({.program = QStringLiteral("/usr/bin/true"),
                                   .installDir = m_dir.path(),
                                   .backupDir = m_dir.path()}),
             std::nullopt);
    constexpr int hangMs = 30'000;
    qputenv("RANUPA_FAKE_CRONTAB_SLEEP_MS", QByteArray::number(hangMs));
    const auto cleanup = qScopeGuard([] {
        qunsetenv("RANUPA_FAKE_CRONTAB_SLEEP_MS");
        QVERIFY(ranupa::removeSchedule());
    });
    auto window = std::make_unique<DataUtility>();
    openAndActivate(*window);
    // A key goes through the event loop like a typed one, and moves the focus on.
    QCoreApplication::postEvent(child<QLineEdit>(*window, "targetDir"),
                                new QKeyEvent(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier));
    QTRY_COMPARE(QApplication::focusWidget(), child<QPushButton>(*window, "cmdPilihBackup"));
    // Still before the answer: the line claims nothing it has not read.
    auto* status = child<QLabel>(*window, "backupStatus");
    QVERIFY2(!status->text().contains(QStringLiteral("Backup terakhir")) &&
                 !status->text().contains(QStringLiteral("Belum ada backup")),
             qPrintable(status->text()));
    // The window goes at once; the hanging crontab with it, and its answer is never awaited.
    QElapsedTimer closing;
    closing.start();
    window.reset();
    QVERIFY2(closing.elapsed() < hangMs / 2, qPrintable(QString::number(closing.elapsed())));
}

void TestDataUtility::pathsKeepTheirFileName_data()
{
    // The room as a share of the file name's own width, and the start kept.
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("roomPercent");
    QTest::addColumn<QString>("start");
    QTest::newRow("fits") << "/media/usb/ranupaku08122026102255.dbk" << 400 << "/media/usb/";
    QTest::newRow("folders cut in the middle")
        << "/media/operator/FLASHDISK/Cadangan 2026/ranupaku08122026102255.dbk" << 200 << "/media/";
    QTest::newRow("no room for any folder")
        << "/media/operator/ranupaku08122026102255.dbk" << 50 << "\u2026/";
}

void TestDataUtility::pathsKeepTheirFileName()
{
    QFETCH(QString, path);
    QFETCH(int, roomPercent);
    QFETCH(QString, start);
    const QFontMetrics metrics(QApplication::font());
    const QString name = QFileInfo(path).fileName();
    const int room = metrics.horizontalAdvance(u'/' + name) * roomPercent / 100;
    const QString shown = ranupa::elidedPath(path, metrics, room);
    QVERIFY2(shown.startsWith(start) && shown.endsWith(u'/' + name), qPrintable(shown));
    QVERIFY(metrics.horizontalAdvance(shown) <=
            std::max(room, metrics.horizontalAdvance(QStringLiteral("\u2026/") + name)));
}

QTEST_MAIN(TestDataUtility)
#include "test_datautility.moc"
