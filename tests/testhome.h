// What the program remembers (settings, history, the schedule's note) and the crontab it writes
// stay in a folder of the test's own, made before any QSettings (Qt reads its folder once).
#pragma once

#include <QDir>
#include <QTemporaryDir>

struct TestHome
{
    QTemporaryDir dir;
    QString crontab = dir.filePath(QStringLiteral("crontab")); // the stand-in's table

    TestHome()
    {
        qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toUtf8());
        qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("data")).toUtf8());
        qputenv("RANUPA_FAKE_CRONTAB", crontab.toUtf8());
#ifdef FAKECRONTAB_PATH
        qputenv("RANUPA_CRONTAB", FAKECRONTAB_PATH);
#endif
    }

    // The history of the program itself; the test's own runs go under the test's name.
    QString programHistory() const
    {
        return dir.filePath(QStringLiteral("data/Ranupa Helper/riwayat.txt"));
    }
};
