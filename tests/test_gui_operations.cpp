#include "core/model/outcome.h"
#include "core/model/wording.h"
#include "core/ops/job.h"
#include "gui/datautility.h"
#include "modalhelper.h"
#include "progresswatcher.h"
#include "testcluster.h"

#include <QCheckBox>
#include <QClipboard>
#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTextEdit>
#include <QtTest>

using namespace Qt::StringLiterals;
using ranupa::ConfirmRestoreDialog;
using ranupa::DataUtility;
using ranupa::ProgressDialog;

// The data utility window driven as a user drives it, against the throwaway cluster.
class TestGuiOperations final : public QObject
{
    Q_OBJECT

public slots:
    // Where "Buka folder" sends the system's file manager: here, nowhere but this list.
    void openedUrl(const QUrl& url) { m_opened << url; }

private slots:
    void initTestCase();
    void backupThenRestoreThroughTheWindow();
    void confirmationCancelsByDefault_data();
    void confirmationCancelsByDefault();
    void failedSafetyBackupPreventsTheRestore();
    void safetyBackupGoesToAFolderThatCanBeWritten();
    void refusalShowsCauseAndEnterCloses();
    void backupCanBeCancelled();
    void restoreCanBeCancelled();

private:
    // A backup of pendataan as it is now, made once.
    QString goodBackup();
    // A backup of another database than pendataan, made once.
    QString otherDatabaseBackup();

    std::optional<TestCluster> m_cluster;
    QStringList m_progressTitles;
    QStringList m_messageBoxes; // texts of the message boxes shown
    Measured m_measured;
    QList<QUrl> m_opened;
    QTemporaryDir m_backupDir;
    QString m_goodBackup;
};

namespace {

// What pg_restore --list says of a backup file.
QString backupContents(const TestCluster& cluster, const QString& file)
{
    QProcess list;
    list.start(cluster.binDir + u"/pg_restore"_s, {u"--list"_s, file});
    return list.waitForFinished(60'000) ? QString::fromUtf8(list.readAllStandardOutput())
                                        : QString();
}

} // namespace

void TestGuiOperations::initTestCase()
{
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QStandardPaths::setTestModeEnabled(true); // the folder last backed up into is remembered
    m_cluster = TestCluster::fromEnvironment("RANUPA_CLUSTER_DIR");
    QVERIFY2(m_cluster, "the throwaway cluster is not running");
    // The program runs from the school-data application's installation directory.
    QVERIFY(QDir::setCurrent(m_cluster->installDir));
    qApp->installEventFilter(new ProgressWatcher(m_progressTitles, m_messageBoxes, m_measured));
    QDesktopServices::setUrlHandler(u"file"_s, this, "openedUrl");
}

QString TestGuiOperations::goodBackup()
{
    if (m_goodBackup.isEmpty()) {
        const ranupa::OperationOutcome backup = ranupa::runBackup(m_backupDir.path());
        if (backup.status == ranupa::OperationStatus::Succeeded) {
            m_goodBackup = backup.filePath;
        }
    }
    return m_goodBackup;
}

QString TestGuiOperations::otherDatabaseBackup()
{
    const QString other = m_backupDir.filePath(u"lain.dbk"_s);
    if (!QFile::exists(other)) {
        m_cluster->dumpOtherDatabase(u"arsip_lain"_s, {}, other);
    }
    return other;
}

void TestGuiOperations::backupThenRestoreThroughTheWindow()
{
    const QString before = m_cluster->databaseFingerprint();
    QTemporaryDir target(QDir::tempPath() + u"/cadangan sekolah XXXXXX"_s);
    DataUtility window;
    openAndActivate(window);

    chooseTargetDir(window, target.path());
    QCOMPARE(child<QLineEdit>(window, "targetDir")->text(), target.path());

    m_progressTitles.clear();
    m_measured = {};
    m_opened.clear();
    const QDateTime backupPressed = QDateTime::currentDateTime();
    const MessageShown saved = pressAndReadMessage(button(window, "cmdBackup"), "openFolder");
    const QStringList files = filesIn(target.path(), u"*.dbk"_s);
    QCOMPARE(files.size(), 1);
    const QString backupFile = QDir(target.path()).filePath(files[0]);
    QCOMPARE(saved.icon, QMessageBox::Information);
    QCOMPARE(saved.title, QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName());
    QCOMPARE(saved.text, u"Database ranupaku berhasil disimpan ke "_s + backupFile);
    QCOMPARE(saved.format, Qt::PlainText);
    // Its size and time under it, and its folder opened from it.
    const QString size = ranupa::wording::size(QFileInfo(backupFile).size());
    QVERIFY2(QRegularExpression(u"^Ukuran file backup %1, selesai dalam \\d+ detik\\.$"_s.arg(
                                    QRegularExpression::escape(size)))
                 .match(saved.summary)
                 .hasMatch(),
             qPrintable(saved.summary));
    QVERIFY(saved.buttons.contains(u"Buka folder"_s));
    QCOMPARE(m_opened, QList{QUrl::fromLocalFile(target.path())});
    QCOMPARE(m_progressTitles, QStringList{u"Backup"_s});
    // The dump was measured to its end: every table, and the megabytes written.
    const QString tables = m_cluster->psql(u"select count(*) from pg_tables where schemaname = "
                                           u"'public'"_s);
    QCOMPARE(m_measured.maximum, 100);
    QCOMPARE(m_measured.value, 100);
    QVERIFY2(m_measured.text.startsWith(u"%1 dari %1 tabel selesai, "_s.arg(tables)) &&
                 m_measured.text.endsWith(u" MB ditulis"_s),
             qPrintable(m_measured.text));
    QVERIFY2(
        QRegularExpression(u"^Waktu berjalan: \\d+:\\d\\d$"_s).match(m_measured.elapsed).hasMatch(),
        qPrintable(m_measured.elapsed));

    QVERIFY(m_cluster->exec(u"UPDATE peserta_didik SET nama = upper(nama)"_s));
    // A table the backup lacks: the safety backup must hold it, the restored database not.
    QVERIFY(m_cluster->exec(u"CREATE TABLE penanda_sebelum_restore (x int)"_s));
    QVERIFY(m_cluster->databaseFingerprint() != before);

    chooseBackupFile(window, backupFile);
    QCOMPARE(child<QLineEdit>(window, "backupFile")->text(), backupFile);

    m_progressTitles.clear();
    m_measured = {};
    const QDateTime pressed = QDateTime::currentDateTime();
    bool safetyTicked = false;
    whenModal<ConfirmRestoreDialog>(
        [&](ConfirmRestoreDialog* confirm) {
            QCOMPARE(confirm->windowTitle(), u"Konfirmasi Restore"_s);
            QCOMPARE(labelText(*confirm, "database"), u"pendataan"_s);
            QCOMPARE(labelText(*confirm, "tables"),
                     m_cluster->psql(u"select count(*) from pg_tables where schemaname = "
                                     u"'public' and tablename <> 'penanda_sebelum_restore'"_s));
            QVERIFY(labelText(*confirm, "serverVersion").startsWith(u"PostgreSQL 15."_s));
            QCOMPARE(confirm->findChild<QLabel*>(u"file"_s)->toolTip(),
                     QDir::toNativeSeparators(backupFile));
            // The archive's own time, in local time: a minute from the backup's press to now.
            const QString created = labelText(*confirm, "created");
            bool madeMeanwhile = created.startsWith(ranupa::wording::dateTime(pressed) + u" ("_s);
            for (QDateTime minute = backupPressed; minute <= pressed && !madeMeanwhile;
                 minute = minute.addSecs(60)) {
                madeMeanwhile = created.startsWith(ranupa::wording::dateTime(minute) + u" ("_s);
            }
            QVERIFY2(madeMeanwhile, qPrintable(created));
            safetyTicked = confirm->findChild<QCheckBox*>(u"safetyBackup"_s)->isChecked();
            QVERIFY(!confirm->findChild<QPushButton*>(u"chooseFolder"_s)); // the folder is fine
            waitUntilActive(confirm);
            QTest::keyClick(confirm, Qt::Key_G, Qt::AltModifier);
        },
        120000);
    m_opened.clear();
    const MessageShown restored = pressAndReadMessage(button(window, "cmdRestore"), "openFolder");
    QCOMPARE(restored.icon, QMessageBox::Information);
    QCOMPARE(restored.text, u"Restore database berhasil"_s);
    QVERIFY2(restored.summary.startsWith(u"Ukuran file backup %1, selesai dalam "_s.arg(size)),
             qPrintable(restored.summary));
    QCOMPARE(m_opened, QList{QUrl::fromLocalFile(target.path())}); // where the safety backup is
    QCOMPARE(m_progressTitles, QStringList{u"Restore"_s});
    QCOMPARE(m_cluster->databaseFingerprint(), before);
    // Three numbered steps under one bar that only moved on, to its end; the load was measured
    // in entries (test_cli sees the count reach its end: here the bar's last move may come before).
    QCOMPARE(m_measured.planSteps,
             (QStringList{u"Langkah 1 dari 3: backup pengaman database saat ini"_s,
                          u"Langkah 2 dari 3: memuat data dari file backup"_s,
                          u"Langkah 3 dari 3: mengganti database pendataan"_s}));
    QVERIFY(!m_measured.wentBack);
    QCOMPARE(m_measured.maximum, 100);
    QCOMPARE(m_measured.value, 100);
    QVERIFY2(QRegularExpression(u"^\\d+ dari \\d+ objek database selesai$"_s)
                 .match(m_measured.text)
                 .hasMatch(),
             qPrintable(m_measured.text));

    // The safety backup beside the chosen file was made before pendataan was replaced.
    QVERIFY(safetyTicked);
    QStringList written = filesIn(target.path(), u"*.dbk"_s);
    QVERIFY(written.removeOne(files[0]));
    QCOMPARE(written.size(), 1);
    const QString safety = QDir(target.path()).filePath(written[0]);
    QVERIFY(backupContents(*m_cluster, safety).contains(u"TABLE public penanda_sebelum_restore"_s));
    QVERIFY(restored.details.contains(safety));
    QVERIFY(restored.summary.contains(QDir::toNativeSeparators(safety))); // shown without details
    // The fields keep their texts for the next press.
    QCOMPARE(child<QLineEdit>(window, "targetDir")->text(), target.path());
    QCOMPARE(child<QLineEdit>(window, "backupFile")->text(), backupFile);
}

void TestGuiOperations::confirmationCancelsByDefault_data()
{
    QTest::addColumn<bool>("otherDatabase");
    QTest::addColumn<bool>("focusReplace");
    QTest::addColumn<int>("key");
    QTest::newRow("Enter") << false << false << int(Qt::Key_Return);
    QTest::newRow("Escape") << false << false << int(Qt::Key_Escape);
    QTest::newRow("Enter on Ganti Database") << false << true << int(Qt::Key_Return);
    QTest::newRow("another database") << true << false << int(Qt::Key_Escape);
}

// Whoever just presses Enter or Escape at the question loses nothing and is told nothing more.
// A backup of another database is no longer refused outright: the question warns of it.
void TestGuiOperations::confirmationCancelsByDefault()
{
    QFETCH(bool, otherDatabase);
    QFETCH(bool, focusReplace);
    QFETCH(int, key);
    const QString backupFile = otherDatabase ? otherDatabaseBackup() : goodBackup();
    QVERIFY(QFile::exists(backupFile));
    const QString oid = m_cluster->databaseOid(); // a restore creates pendataan anew
    const QStringList filesBefore = filesIn(m_backupDir.path());

    DataUtility window;
    openAndActivate(window);
    chooseBackupFile(window, backupFile);
    std::optional<QString> warning;
    whenModal<ConfirmRestoreDialog>(
        [&](ConfirmRestoreDialog* confirm) {
            warning = labelText(*confirm, "otherDatabaseWarning");
            waitUntilActive(confirm);
            auto* replace = confirm->findChild<QPushButton*>(u"replaceButton"_s);
            auto* cancel = confirm->findChild<QPushButton*>(u"cancelButton"_s);
            QVERIFY(cancel->isDefault());
            if (focusReplace) {
                replace->setFocus();
            }
            QCOMPARE(QApplication::focusWidget(), focusReplace ? replace : cancel);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
        },
        120000);
    m_messageBoxes.clear();
    QTest::mouseClick(button(window, "cmdRestore"), Qt::LeftButton);
    QVERIFY2(warning, "no confirmation was asked");
    QCOMPARE(warning->contains(u"\"arsip_lain\", bukan pendataan"_s), otherDatabase);
    QCOMPARE(m_messageBoxes, QStringList());
    QCOMPARE(m_cluster->databaseOid(), oid);
    QCOMPARE(filesIn(m_backupDir.path()), filesBefore);
}

void TestGuiOperations::failedSafetyBackupPreventsTheRestore()
{
    const QString backupFile = goodBackup();
    QVERIFY(!backupFile.isEmpty());
    const QString oid = m_cluster->databaseOid();
    const QStringList filesBefore = filesIn(m_backupDir.path());
    // pg_dump cannot connect to pendataan; the restore itself would not need to.
    const auto allowConnections = [this](bool allow) {
        return m_cluster->exec(
            u"ALTER DATABASE pendataan ALLOW_CONNECTIONS %1"_s.arg(allow ? u"true"_s : u"false"_s),
            u"postgres"_s);
    };
    QVERIFY(allowConnections(false));
    const auto allowAgain = qScopeGuard([&] { allowConnections(true); });

    DataUtility window;
    openAndActivate(window);
    chooseBackupFile(window, backupFile);
    whenModal<ConfirmRestoreDialog>(
        [](ConfirmRestoreDialog* confirm) {
            QVERIFY(confirm->findChild<QCheckBox*>(u"safetyBackup"_s)->isChecked());
            waitUntilActive(confirm);
            QTest::keyClick(confirm, Qt::Key_G, Qt::AltModifier);
        },
        120000);
    const MessageShown refused = pressAndReadMessage(button(window, "cmdRestore"));
    QVERIFY(allowConnections(true));
    QCOMPARE(refused.icon, QMessageBox::Warning);
    QCOMPARE(refused.text, u"Gagal melakukan restore"_s);
    QVERIFY2(refused.summary.startsWith(u"Backup database saat ini gagal"_s),
             qPrintable(refused.summary));
    QVERIFY(refused.summary.endsWith(u"Database pendataan tidak diubah."_s));
    QVERIFY(refused.details.contains(u"pg_dump"_s));
    QCOMPARE(m_cluster->databaseOid(), oid);
    QCOMPARE(filesIn(m_backupDir.path()), filesBefore);
}

// The note under the box follows it. A folder the safety backup cannot go to is said before
// anything is pressed, and the folder chosen instead, looked for first where the window last
// backed up into, is where it goes.
void TestGuiOperations::safetyBackupGoesToAFolderThatCanBeWritten()
{
    QTemporaryDir target, locked;
    DataUtility window;
    openAndActivate(window);
    chooseTargetDir(window, target.path());
    const QString made = pressAndReadMessage(button(window, "cmdBackup")).text.section(u' ', -1);
    const QString backupFile = locked.filePath(QFileInfo(made).fileName());
    QVERIFY(QFile::rename(made, backupFile));
    // As a write-protected flash disk. Root ignores permission bits: the folder is made immutable.
    QFile::setPermissions(locked.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    QProcess::execute(u"chattr"_s, {u"+i"_s, locked.path()});
    const auto unlock = qScopeGuard([&] {
        QProcess::execute(u"chattr"_s, {u"-i"_s, locked.path()});
        QFile::setPermissions(locked.path(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    });
    if (QTemporaryFile(locked.filePath(u"probe-XXXXXX"_s)).open()) {
        QSKIP("no folder can be made unwritable here");
    }
    chooseBackupFile(window, backupFile);

    QStringList notes;
    QString selectorStart;
    whenModal<ConfirmRestoreDialog>(
        [&](ConfirmRestoreDialog* confirm) {
            auto* safetyBackup = confirm->findChild<QCheckBox*>(u"safetyBackup"_s);
            auto* chooseFolder = confirm->findChild<QPushButton*>(u"chooseFolder"_s);
            QVERIFY(chooseFolder != nullptr && chooseFolder->isVisible());
            notes << labelText(*confirm, "safetyBackupNote");
            safetyBackup->click();
            notes << labelText(*confirm, "safetyBackupNote");
            safetyBackup->click();
            whenModal<QFileDialog>([&](QFileDialog* selector) {
                selectorStart = selector->directory().absolutePath();
                static_cast<QDialog*>(selector)->accept(); // the folder it shows
            });
            QTest::mouseClick(chooseFolder, Qt::LeftButton);
            notes << labelText(*confirm, "safetyBackupNote");
            QTest::mouseClick(confirm->findChild<QPushButton*>(u"replaceButton"_s), Qt::LeftButton);
        },
        120000);
    const MessageShown restored = pressAndReadMessage(button(window, "cmdRestore"));
    QCOMPARE(restored.text, u"Restore database berhasil"_s);
    QCOMPARE(notes.size(), 3);
    QVERIFY2(notes[0].contains(locked.path() + u" tidak dapat ditulisi"_s), qPrintable(notes[0]));
    QVERIFY2(notes[1].startsWith(u"Perhatian: tidak ada salinan"_s), qPrintable(notes[1]));
    QCOMPARE(selectorStart, target.path());
    QCOMPARE(notes[2], u"Disimpan sebagai file backup baru di "_s + target.path());
    const QStringList written = filesIn(target.path(), u"*.dbk"_s);
    QCOMPARE(written.size(), 1);
    QVERIFY(restored.summary.contains(target.filePath(written[0])));
}

// The cause is read without opening the details; the details are wide enough for paths and can be
// copied; and once they are shown, Enter still closes the box (OK stays its default button).
void TestGuiOperations::refusalShowsCauseAndEnterCloses()
{
    const QString before = m_cluster->databaseFingerprint();
    QTemporaryDir dir;
    const QString notABackup = dir.filePath(u"<b>bukan backup.dbk"_s);
    QVERIFY(writeFile(notABackup, QByteArray(4096, 'x')));

    DataUtility window;
    openAndActivate(window);
    chooseBackupFile(window, notABackup);

    MessageShown refused;
    int detailsWidth = 0;
    int columnWidth = 0;
    bool closedByEnter = false;
    whenModal<QMessageBox>(
        [&](QMessageBox* shown) {
            refused = {shown->windowTitle(), shown->text(),       shown->detailedText(),
                       shown->icon(),        shown->textFormat(), shown->informativeText()};
            QAbstractButton* showDetails = nullptr;
            for (QAbstractButton* candidate : shown->buttons()) {
                if (shown->buttonRole(candidate) == QMessageBox::ActionRole &&
                    candidate->objectName() != u"copyDetails"_s) {
                    showDetails = candidate;
                }
            }
            // Copying leaves the box open, OK still its default.
            QApplication::clipboard()->clear();
            QTest::mouseClick(shown->findChild<QPushButton*>(u"copyDetails"_s), Qt::LeftButton);
            QCOMPARE(QApplication::clipboard()->text(), shown->detailedText());
            QVERIFY(shown->isVisible());
            QVERIFY(showDetails != nullptr);
            QTest::mouseClick(showDetails, Qt::LeftButton);
            auto* details = shown->findChild<QTextEdit*>();
            QVERIFY(details != nullptr && details->isVisible());
            detailsWidth = details->width();
            columnWidth = details->fontMetrics().averageCharWidth();
            // Enter goes where the keyboard focus is within the box, as it would for the user;
            // the offscreen platform may not have activated the box yet.
            QVERIFY(shown->focusWidget() != nullptr);
            QTest::keyClick(shown->focusWidget(), Qt::Key_Return);
            closedByEnter =
                !shown->isVisible() && shown->clickedButton() == shown->button(QMessageBox::Ok);
        },
        120000);
    QTest::mouseClick(button(window, "cmdRestore"), Qt::LeftButton);

    QCOMPARE(refused.icon, QMessageBox::Warning);
    QCOMPARE(refused.text, u"Gagal melakukan restore"_s);
    QCOMPARE(refused.summary, ranupa::causeText(ranupa::FailureCause::DamagedBackup) +
                                  u"\nDatabase pendataan tidak diubah."_s);
    QVERIFY(closedByEnter);
    QVERIFY2(detailsWidth >= 80 * columnWidth, qPrintable(QString::number(detailsWidth)));
    QCOMPARE(m_cluster->databaseFingerprint(), before);
}

void TestGuiOperations::backupCanBeCancelled()
{
    // Another session holds a lock that makes pg_dump wait, so the backup is still running
    // when the user cancels it.
    const TableLock lock(*m_cluster, u"nilai"_s);
    QVERIFY(lock.isHeld());

    QTemporaryDir target;
    DataUtility window;
    openAndActivate(window);
    chooseTargetDir(window, target.path());

    // Cancelled once the window says that pg_dump waits for the table, its file made; after a
    // minute without that, cancelled all the same, for the test to end and fail.
    bool waitShown = false;
    bool partialFileMade = false;
    whenModal<ProgressDialog>([&](ProgressDialog* progress) {
        auto* looking = new QTimer(progress);
        const QDeadlineTimer deadline(60'000);
        connect(looking, &QTimer::timeout, progress, [&, progress, looking, deadline] {
            waitShown = labelText(*progress, "measure") ==
                        u"Menunggu tabel public.nilai yang sedang dikunci pengguna lain"_s;
            if (waitShown || deadline.hasExpired()) {
                looking->stop();
                partialFileMade = filesIn(target.path(), u"*.part"_s).size() == 1;
                QTest::mouseClick(progress->findChild<QPushButton*>(u"cancelButton"_s),
                                  Qt::LeftButton);
            }
        });
        looking->start(10);
    });
    const MessageShown cancelled = pressAndReadMessage(button(window, "cmdBackup"));
    QVERIFY(waitShown);
    QVERIFY(partialFileMade);
    QCOMPARE(cancelled.text, u"Backup dibatalkan"_s);
    QCOMPARE(cancelled.icon, QMessageBox::Information);
    QVERIFY(filesIn(target.path()).isEmpty());
    QCOMPARE(ranupa::readHistory().constLast().result, ranupa::RunResult::Cancelled);
}

void TestGuiOperations::restoreCanBeCancelled()
{
    QTemporaryDir target;
    QCOMPARE(ranupa::runBackup(target.path()).status, ranupa::OperationStatus::Succeeded);
    const QString backupFile = onlyFileIn(target.path());
    QVERIFY(m_cluster->exec(u"UPDATE sekolah SET nama = nama || ' (ubah)'"_s));
    const QString before = m_cluster->databaseFingerprint();
    const QString oid = m_cluster->databaseOid();

    DataUtility window;
    openAndActivate(window);
    chooseBackupFile(window, backupFile);
    whenModal<ProgressDialog>([](ProgressDialog* progress) {
        QTest::mouseClick(progress->findChild<QPushButton*>(u"cancelButton"_s), Qt::LeftButton);
    });
    const MessageShown cancelled = pressAndReadMessage(button(window, "cmdRestore"));
    QCOMPARE(cancelled.text, u"Restore dibatalkan"_s);
    QCOMPARE(cancelled.icon, QMessageBox::Information);
    QVERIFY(cancelled.details.contains(u"Database pendataan tidak diubah."_s));
    QCOMPARE(m_cluster->databaseFingerprint(), before);
    QCOMPARE(m_cluster->databaseOid(), oid);
    m_cluster->psql(u"UPDATE sekolah SET nama = replace(nama, ' (ubah)', '')"_s);
}

QTEST_MAIN(TestGuiOperations)
#include "test_gui_operations.moc"
