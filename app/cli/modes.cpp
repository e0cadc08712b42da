#include "cli/modes.h"

#include "cli/cli.h"
#include "cli/jobrunner.h"
#include "cli/output.h"
#include "cli/schedulecommands.h"
#include "core/ops/retention.h"

#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace ranupa::cli {

namespace {

bool quiet(const QCommandLineParser& options)
{
    return options.isSet(u"quiet"_s);
}

// Old backups go only once the new one is safe; files that cannot be vouched for stay.
// Quiet, only what failed is said.
int removeOldBackups(const QString& directory, int keep, const QString& justWritten, bool quiet)
{
    const RetentionResult result = keepNewestBackups(directory, keep, justWritten);
    if (!quiet) {
        for (const QString& path : result.removed) {
            print(stderr, u"Backup lama dihapus: "_s + path);
        }
        for (const QString& entry : result.unvouched) {
            print(stderr, u"Tidak dihapus dan tidak dihitung, tidak dapat dipastikan sebagai "
                          u"backup yang utuh: "_s +
                              entry);
        }
    }
    for (const QString& entry : result.notRemoved) {
        print(stderr, u"Gagal menghapus backup lama: "_s + entry);
    }
    return result.notRemoved.isEmpty() ? Success : Failure;
}

int backup(const QCommandLineParser& options, const QString& directory)
{
    const RunOrigin origin =
        options.isSet(u"scheduled"_s) ? RunOrigin::Schedule : RunOrigin::CommandLine;
    const JobEnd end =
        runJob(BackupRequest{.targetDir = directory, .verify = options.isSet(u"verify"_s)},
               quiet(options), origin);
    // A backup that fails its trial is kept and reported, and removes nothing.
    const int keep = options.value(u"keep"_s).toInt(); // 0, without --keep: remove nothing
    if (end.exitCode != Success || keep == 0) {
        return end.exitCode;
    }
    return removeOldBackups(directory, keep, end.outcome.filePath, quiet(options));
}

int restore(const QCommandLineParser& options, const QString& file)
{
    if (!options.isSet(u"yes"_s)) {
        print(stderr, u"Restore menghapus isi database pendataan dan menggantinya dengan isi file "
                      "backup. Tambahkan --yes untuk melanjutkan."_s);
        return UsageError;
    }
    // --yes has answered the question the window asks: the restore goes on at once.
    return runJob(RestoreRequest{.backupFile = file,
                                 .acceptOtherDatabase = options.isSet(u"any-database"_s),
                                 .safetyBackupDir = options.value(u"backup-first"_s)},
                  quiet(options))
        .exitCode;
}

int tryRestore(const QCommandLineParser& options, const QString& file)
{
    return runJob(VerifyRequest{.backupFile = file}, quiet(options)).exitCode;
}

// Needs neither the installation nor the server: only the names and sizes of the files.
int list(const QCommandLineParser&, const QString& directory)
{
    if (const QFileInfo folder(directory); !folder.isDir() || !folder.isReadable()) {
        print(stderr, u"Folder %1 tidak ada atau tidak dapat dibaca."_s.arg(directory));
        return Failure;
    }
    const QList<BackupFile> backups = listBackups(directory);
    if (backups.isEmpty()) {
        print(stderr, u"Tidak ada file backup di folder %1."_s.arg(directory));
    }
    for (const BackupFile& backup : backups) {
        print(stdout, describeBackup(backup));
    }
    return Success;
}

int schedule(const QCommandLineParser& options, const QString& directory)
{
    const int keep = options.value(u"keep"_s).toInt();
    return scheduleDailyBackup(directory, timeOfDay(options.value(u"at"_s)).value_or(QTime(10, 0)),
                               keep > 0 ? keep : 14);
}

template <int (*command)()> int withoutOptions(const QCommandLineParser&, const QString&)
{
    return command();
}

constexpr auto modeTable = std::to_array<Mode>({
    {u"backup", u"DIR", false, {u"verify", u"keep", u"scheduled"}, &backup},
    {u"restore", u"FILE", false, {u"yes", u"backup-first", u"any-database"}, &restore},
    {u"list", u"DIR", false, {}, &list},
    {u"verify", u"FILE", true, {}, &tryRestore},
    {u"schedule", u"DIR", false, {u"at", u"keep"}, &schedule},
    {u"schedule-off", u"", false, {}, &withoutOptions<removeDailyBackup>},
    {u"schedule-show", u"", false, {}, &withoutOptions<showDailyBackup>},
    {u"history", u"", false, {}, &withoutOptions<printHistory>},
});

} // namespace

std::span<const Mode> modes()
{
    return modeTable;
}

} // namespace ranupa::cli
