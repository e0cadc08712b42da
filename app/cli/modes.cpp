#include "cli/modes.h"

#include "cli/cli.h"
#include "core/model/wording.h"
#include "core/ops/retention.h"
#include "core/ops/runstatus.h"
#include "core/schedule/scheduler.h"

#include <QFileInfo>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace ranupa::cli {

namespace {

bool quiet(const QCommandLineParser& options)
{
    return options.isSet(u"quiet"_s);
}

// "10.00" or "10:00"; nothing for anything else.
std::optional<QTime> timeOfDay(const QString& text)
{
    const QRegularExpression form(u"^(\\d{1,2})[.:](\\d{2})$"_s);
    const QRegularExpressionMatch match = form.match(text);
    const QTime time =
        match.hasMatch() ? QTime(match.captured(1).toInt(), match.captured(2).toInt()) : QTime();
    return time.isValid() ? std::optional(time) : std::nullopt;
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

int failed(const QString& message, const ranupa::Failure& failure)
{
    print(stderr, message);
    if (failure.cause != FailureCause::Unknown) {
        print(stderr, causeText(failure.cause));
    }
    print(stderr, failedStepText(failure));
    return Failure;
}

int scheduleDailyBackup(const QCommandLineParser& options, const QString& directory)
{
    const int keep = options.value(u"keep"_s).toInt();
    const Result<DailyBackup> backup = dailyBackupOfThisProgram(
        directory, timeOfDay(options.value(u"at"_s)).value_or(QTime(10, 0)), keep > 0 ? keep : 14);
    if (!backup) {
        return failed(u"Jadwal backup harian tidak dapat dibuat"_s, backup.failure());
    }
    if (const std::optional<ranupa::Failure> notMade = makeSchedule(*backup)) {
        return failed(u"Jadwal backup harian tidak dapat dibuat"_s, *notMade);
    }
    const std::optional<Schedule> made = currentSchedule();
    if (!made) {
        print(stderr, u"Jadwal backup harian dibuat, tetapi tidak dapat dibaca kembali."_s);
        return Failure;
    }
    print(stdout, u"Backup harian dijadwalkan: "_s + describeSchedule(*made) + u'.');
    print(stdout, u"Backup berikutnya: %1. %2"_s.arg(wording::upcoming(nextRun(made->backup.at)),
                                                     missedStartText(made->kind)));
    return Success;
}

int removeDailyBackup(const QCommandLineParser&, const QString&)
{
    const Result<bool> removed = removeSchedule();
    if (!removed) {
        return failed(u"Jadwal backup harian tidak dapat dihapus"_s, removed.failure());
    }
    print(stdout, *removed ? u"Jadwal backup harian dihapus."_s
                           : u"Tidak ada jadwal backup harian yang dibuat oleh program ini."_s);
    return Success;
}

int showDailyBackup(const QCommandLineParser&, const QString&)
{
    const std::optional<Schedule> schedule = currentSchedule();
    const QList<RunRecord> history = readHistory();
    if (!schedule) {
        print(stdout, u"Tidak ada jadwal backup harian. Buat dengan --schedule DIR."_s);
    } else {
        print(stdout, u"Jadwal: "_s + describeSchedule(*schedule) + u'.');
        print(stdout,
              u"Backup berikutnya: %1."_s.arg(wording::upcoming(nextRun(schedule->backup.at))));
        const std::optional<RunRecord> last = lastScheduledRun(history);
        print(stdout, last ? u"Backup terjadwal terakhir: "_s + describeRun(*last)
                           : u"Backup terjadwal belum pernah berjalan."_s);
    }
    const BackupStatus status = backupStatus(history, schedule);
    print(stdout, (status.warning ? u"PERHATIAN: "_s : QString()) + status.text);
    return Success;
}

int printHistory(const QCommandLineParser&, const QString&)
{
    QList<RunRecord> history = readHistory();
    if (history.isEmpty()) {
        print(stderr, u"Belum ada backup atau restore yang tercatat di komputer ini."_s);
    }
    std::reverse(history.begin(), history.end());
    for (const RunRecord& run : history) {
        print(stdout, describeRun(run));
    }
    return Success;
}

} // namespace

std::span<const Mode> modes()
{
    static constexpr auto table = std::to_array<Mode>({
        {u"backup", u"DIR", false, {u"verify", u"keep", u"scheduled"}, &backup},
        {u"restore", u"FILE", false, {u"yes", u"backup-first", u"any-database"}, &restore},
        {u"list", u"DIR", false, {}, &list},
        {u"verify", u"FILE", true, {}, &tryRestore},
        {u"schedule", u"DIR", false, {u"at", u"keep"}, &scheduleDailyBackup},
        {u"schedule-off", u"", false, {}, &removeDailyBackup},
        {u"schedule-show", u"", false, {}, &showDailyBackup},
        {u"history", u"", false, {}, &printHistory},
    });
    return table;
}

QString valueProblem(QStringView option, const QString& value)
{
    bool number = false;
    if (option == u"at" && !timeOfDay(value)) {
        return u"--at perlu jam JJ.MM, misalnya 10.00."_s;
    }
    if (option == u"keep" && (value.toInt(&number) < 1 || !number)) {
        return u"--keep perlu bilangan bulat 1 atau lebih."_s;
    }
    return option == u"backup-first" && value.isEmpty() ? u"Folder atau file tidak boleh kosong."_s
                                                        : QString();
}

} // namespace ranupa::cli
