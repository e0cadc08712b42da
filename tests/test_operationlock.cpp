// One backup or restore at a time: the lock between copies of the program.
#include "core/backup.h"
#include "core/installation.h"
#include "core/operationlock.h"
#include "core/restore.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using ranupa::OperationLock;

class OperationLockTest final : public QObject
{
    Q_OBJECT

private slots:
    void secondHolderIsRefusedUntilTheFirstLetsGo();
    void lockOfAKilledProcessIsTakenOver();
    void busyInstallationRunsNoTool();
};

void OperationLockTest::secondHolderIsRefusedUntilTheFirstLetsGo()
{
    QTemporaryDir installation, other;
    OperationLock first(installation.path());
    OperationLock second(installation.path() + u"/."_s); // another spelling, same installation
    OperationLock elsewhere(other.path());
    QVERIFY(first.tryLock());
    QVERIFY(!second.tryLock());
    QCOMPARE(second.problem(), OperationLock::busyText());
    QVERIFY(elsewhere.tryLock());
    first.unlock();
    QVERIFY(second.tryLock());
}

void OperationLockTest::lockOfAKilledProcessIsTakenOver()
{
    const QString flock = QStandardPaths::findExecutable(u"flock"_s);
    if (flock.isEmpty())
        QSKIP("flock(1) is not installed");
    QTemporaryDir installation;
    OperationLock lock(installation.path());
    // Another process takes the same lock file the way a running copy of the program would.
    QProcess holder;
    holder.start(flock, {u"--nonblock"_s, u"--close"_s, lock.filePath(), u"sleep"_s, u"60"_s});
    QVERIFY(holder.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(!OperationLock(installation.path()).tryLock(), 5000);
    QVERIFY(!lock.tryLock());
    // A crash (kill -9 of the whole holder) must not leave the installation locked for good.
    holder.kill();
    QVERIFY(holder.waitForFinished());
    QTRY_VERIFY_WITH_TIMEOUT(lock.tryLock(), 5000);
}

void OperationLockTest::busyInstallationRunsNoTool()
{
    // Started in an installation (one without a server: nothing may get as far as a tool).
    QTemporaryDir installation;
    QVERIFY(QDir(installation.path()).mkpath(u"pgsql/bin"_s));
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(installation.path()));
    auto restoreDir = qScopeGuard([&] { QDir::setCurrent(previous); });
    QTemporaryDir target;
    OperationLock other(ranupa::installationDir());
    QVERIFY(other.tryLock());
    const ranupa::OperationOutcome backup = ranupa::runBackup(target.path());
    QCOMPARE(backup.status, ranupa::OperationStatus::Failed);
    QCOMPARE(backup.message, u"Gagal melakukan backup"_s);
    QVERIFY(backup.details.contains(OperationLock::busyText()));
    QCOMPARE(backup.cause, ranupa::FailureCause::Busy);
    QVERIFY(QDir(target.path()).isEmpty());

    const ranupa::OperationOutcome restore = ranupa::runRestore(target.path() + u"/x.dbk"_s);
    QCOMPARE(restore.status, ranupa::OperationStatus::Failed);
    QVERIFY(restore.details.contains(OperationLock::busyText()));
    QCOMPARE(restore.cause, ranupa::FailureCause::Busy);
    QVERIFY(restore.pendataanUnchanged);

    // Once the other copy is done, the lock is free again for the next operation.
    other.unlock();
    OperationLock next(ranupa::installationDir());
    QVERIFY(next.tryLock());
}

QTEST_GUILESS_MAIN(OperationLockTest)
#include "test_operationlock.moc"
