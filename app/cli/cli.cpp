#include "cli/cli.h"

#include "cli/interruptwatcher.h"
#include "cli/output.h"
#include "cli/schedulecommands.h"
#include "core/ops/job.h"
#include "core/ops/retention.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>

#ifdef Q_OS_UNIX
#include <csignal>
#endif
#ifdef Q_OS_WIN
#include <windows.h>
#endif

using namespace Qt::StringLiterals;

namespace ranupa::cli {

namespace {

#ifdef Q_OS_WIN
// The program is a GUI program on Windows; started from a console, it takes part in it as a
// console program would: it writes there what is not redirected, and the console's Ctrl+C and
// the closing of its window stop it (safely, see InterruptWatcher) even when all is redirected.
void attachToParentConsole()
{
    const auto redirected = [](DWORD stream) {
        return GetFileType(GetStdHandle(stream)) != FILE_TYPE_UNKNOWN;
    };
    const bool outputRedirected = redirected(STD_OUTPUT_HANDLE);
    const bool errorRedirected = redirected(STD_ERROR_HANDLE);
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) {
        return;
    }
    if (!outputRedirected) {
        std::freopen("CONOUT$", "w", stdout);
    }
    if (!errorRedirected) {
        std::freopen("CONOUT$", "w", stderr);
    }
}
#endif

#ifdef Q_OS_UNIX
// A reader of standard error that went away (a closed pipe, as with "| head") must cost the
// program its messages only, never its life half-way through a restore.
void ignoreBrokenPipes()
{
    struct sigaction action = {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGPIPE, &action, nullptr);
}
#endif

// What stops a run safely (see InterruptWatcher), as the operator of this system does it.
QString stopRequests()
{
#ifdef Q_OS_WIN
    return u"Ctrl+C, jendela konsol ditutup"_s;
#else
    return u"Ctrl+C, SIGTERM, SIGHUP"_s;
#endif
}

int report(const OperationOutcome& outcome, bool interrupted, bool quiet)
{
    // Under the message, as the window shows them: the size and time of a success, the cause and
    // what to do (or where the safety backup went), then the details, worth knowing even on
    // success (what was set right first). Quiet, a success is its one line, and a failure keeps
    // what the operator acts on: the cause, what to do and whether pendataan is unchanged.
    const bool succeeded = outcome.status == OperationStatus::Succeeded;
    print(succeeded ? stdout : stderr, outcome.message);
    const QString summary = quiet && succeeded ? QString() : outcome.summary;
    const QString details = quiet ? QString() : unsaid(outcome.details, summary);
    for (const QString& text : {quiet ? QString() : outcome.figures, summary, details}) {
        if (!text.isEmpty()) {
            print(stderr, text);
        }
    }
    if (succeeded) {
        return Success;
    }
    // A scheduler's wrapper can tell "try again later" from a backup that failed.
    if (interrupted || outcome.status == OperationStatus::Cancelled) {
        return Interrupted;
    }
    return outcome.cause == FailureCause::Busy ? Busy : Failure;
}

// Runs one backup or restore job to its end, reporting progress on standard error, and gives the
// exit code. An outcome told before the job ends (a restore's, before it drops the previous
// database) is printed at once; what the job adds to it later follows on standard error.
int runJob(const OperationRequest& request, bool quiet, RunOrigin origin, OperationOutcome& outcome)
{
    OperationJob job;
    job.setOrigin(origin);
    OperationProgress progress;
    QElapsedTimer clock;
    clock.start();
    int shownTenths = -1; // of the current step's measure, so that a long step says little
    QString unshown;      // the step's latest measure, when it says more than the one shown
    QString planStep;     // "Langkah 1 dari 3: ..."
    if (!quiet) {
        progress.stepChanged = [&shownTenths, &unshown](const QString& step) {
            // Where the step got to: what moved within the last tenth (the entries a restore
            // loaded after the whole file was read, say) is not left out.
            if (!unshown.isEmpty()) {
                print(stderr, unshown);
            }
            unshown.clear();
            shownTenths = -1;
            print(stderr, step);
        };
        // The numbered steps head the lines of their own; the percentages stay each line's own.
        progress.planned = [&planStep, step = progress.stepChanged](const PlanPosition& position) {
            if (position.title != planStep && !position.title.isEmpty()) {
                step(position.title);
            }
            planStep = position.title;
        };
        progress.toolLine = [](const QString& line) {
            print(stderr, u"  "_s + line);
        };
        progress.measured = [&shownTenths, &unshown, &clock](const ProgressMeasure& measure) {
            if (!measure.isDeterminate()) {
                return;
            }
            const QString line =
                u"[%1] %2% (%3)"_s.arg(elapsedText(clock.elapsed()),
                                       QString::number(measure.percent()), progressText(measure));
            unshown = measure.percent() / 10 == shownTenths ? line : QString();
            if (unshown.isEmpty()) {
                shownTenths = measure.percent() / 10;
                print(stderr, line);
            }
        };
    }
    std::optional<OperationOutcome> told;
    int code = Success;
    progress.reported = [&told, &code, quiet](const OperationOutcome& early) {
        told = early;
        code = report(early, false, quiet);
    };
    InterruptWatcher watcher([&job, quiet] {
        if (!quiet) {
            print(stderr, u"Dihentikan; membatalkan dengan aman, tunggu sebentar..."_s);
        }
        job.cancel();
    });
    outcome = runToEnd(job, request, progress);
    const bool interrupted = watcher.interrupted();
    if (!told) {
        return report(outcome, interrupted, quiet);
    }
    if (!quiet && outcome.details.size() > told->details.size()) {
        print(stderr, outcome.details.mid(told->details.size()).trimmed());
    }
    return code;
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

// Needs neither the installation nor the server: only the names and sizes of the files.
int printBackups(const QString& directory)
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

// The option as it was typed: Qt names an unknown one without its dashes, or letter by letter
// when several were typed after one dash.
QString asTyped(const QString& name, const QStringList& arguments)
{
    for (const QString& argument : arguments.mid(1)) {
        if (argument == u"--"_s) {
            break;
        }
        const QString option = argument.section(u'=', 0, 0);
        const bool letters = !option.startsWith(u"--"_s) && name.size() == 1;
        if (option == u"--"_s + name || option == u'-' + name ||
            (letters && option.startsWith(u'-') && option.contains(name))) {
            return option;
        }
    }
    return name;
}

QString parseErrorText(const QCommandLineParser& parser, const QStringList& arguments)
{
    QStringList unknown;
    for (const QString& name : parser.unknownOptionNames()) {
        unknown << u'\'' + asTyped(name, arguments) + u'\'';
    }
    unknown.removeDuplicates();
    return unknown.isEmpty() ? parser.errorText()
                             : u"Opsi tidak dikenal: %1."_s.arg(unknown.join(u", "_s));
}

// Qt's help opens with one usage line that reads as if FILE were always needed: the forms the
// program takes come in its place.
QString helpText(const QCommandLineParser& parser)
{
    const QString program = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    QString usage = u"Penggunaan:"_s;
    for (const QString form :
         {u"(tanpa opsi: membuka jendela)"_s, u"--backup DIR [--verify] [--keep N] [--quiet]"_s,
          u"--restore FILE --yes [--backup-first DIR] [--any-database] [--quiet]"_s,
          u"--verify FILE [--quiet]"_s, u"--list DIR"_s,
          u"--schedule DIR [--at JJ.MM] [--keep N]"_s,
          u"--schedule-off | --schedule-show | --history"_s, u"--help | --version"_s}) {
        usage += u"\n  "_s + program + u' ' + form;
    }
    const QString qtHelp = parser.helpText();
    return usage + qtHelp.mid(qtHelp.indexOf(u'\n'));
}

int usageError(const QString& message)
{
    print(stderr, message);
    print(stderr, u"Lihat --help."_s);
    return UsageError;
}

} // namespace

int run(const QStringList& arguments)
{
#ifdef Q_OS_WIN
    attachToParentConsole();
#endif
#ifdef Q_OS_UNIX
    ignoreBrokenPipes();
#endif
    // Qt's own warnings go to the log too, stamped like the rest.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& message) {
        print(stderr, message);
    });
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Backup dan restore database pendataan tanpa jendela, misalnya dari Task Scheduler "
        u"atau cron.\nFolder instalasi aplikasi (yang berisi config dan pgsql) dicari di folder "
        u"tempat program dijalankan, lalu di folder program itu sendiri; --list, --schedule-off, "
        u"--schedule-show dan --history tidak memerlukannya.\n\nKode keluar:\n"
        u"  0  berhasil\n"
        u"  1  gagal; pesan dan penyebabnya ditulis ke keluaran kesalahan (stderr)\n"
        u"  2  perintah salah; tidak ada yang dijalankan\n"
        u"  3  dihentikan ("_s +
        stopRequests() +
        u"); backup setengah jadi dihapus, restore dibatalkan dengan aman\n"
        u"  4  backup atau restore lain sedang berjalan di server database; tidak ada yang "
        u"dijalankan, coba lagi nanti"_s);
    const QCommandLineOption backupOption(
        u"backup"_s, u"Buat backup database pendataan di folder DIR."_s, u"DIR"_s);
    const QCommandLineOption keepOption(
        u"keep"_s,
        u"Setelah backup berhasil, hapus backup lama di DIR sehingga tinggal N backup terbaru. "
        u"Backup pengaman sebelum restore tidak dihitung dan tidak dihapus."_s,
        u"N"_s);
    const QCommandLineOption restoreOption(
        u"restore"_s, u"Ganti isi database pendataan dengan isi file backup FILE."_s, u"FILE"_s);
    const QCommandLineOption yesOption(u"yes"_s,
                                       u"Setujui bahwa --restore mengganti isi database."_s);
    const QCommandLineOption backupFirstOption(
        u"backup-first"_s,
        u"Dengan --restore: buat dulu backup pengaman database saat ini di folder DIR; bila "
        u"backup itu gagal, restore tidak dijalankan."_s,
        u"DIR"_s);
    const QCommandLineOption anyDatabaseOption(
        u"any-database"_s,
        u"Dengan --restore: terima juga file backup database lain selain pendataan."_s);
    const QCommandLineOption listOption(
        u"list"_s, u"Tampilkan file backup di folder DIR, yang terbaru lebih dulu."_s, u"DIR"_s);
    const QCommandLineOption verifyOption(
        u"verify"_s,
        u"Uji apakah file backup FILE dapat di-restore: muat ke database uji (database pendataan "
        u"tidak disentuh), bandingkan jumlah baris setiap tabel, lalu hapus database uji. Dengan "
        u"--backup: uji backup yang baru dibuat sebelum --keep menghapus apa pun; bila ujinya "
        u"gagal, backup itu tetap disimpan dan tidak ada yang dihapus."_s);
    parser.addPositionalArgument(u"FILE"_s, u"File backup untuk --verify."_s);
    const QCommandLineOption scheduleOption(
        u"schedule"_s,
        u"Jadwalkan backup harian ke folder DIR: setiap hari sistem menjalankan program ini "
        u"dengan --backup DIR --verify --keep N dari folder instalasi (timer systemd, crontab, "
        u"atau Task Scheduler Windows). Jadwal sebelumnya diganti. Bawaan: --at 10.00, "
        u"--keep 14."_s,
        u"DIR"_s);
    const QCommandLineOption atOption(
        u"at"_s, u"Dengan --schedule: jam backup harian, JJ.MM (bawaan 10.00)."_s, u"JJ.MM"_s);
    const QCommandLineOption scheduleOffOption(
        u"schedule-off"_s, u"Hapus jadwal backup harian yang dibuat dengan --schedule."_s);
    const QCommandLineOption scheduleShowOption(
        u"schedule-show"_s, u"Tampilkan jadwal backup harian, kapan backup berikutnya, dan "
                            u"hasil backup terjadwal terakhir."_s);
    const QCommandLineOption historyOption(
        u"history"_s, u"Tampilkan riwayat backup, uji restore dan restore di komputer ini, yang "
                      u"terbaru lebih dulu."_s);
    const QCommandLineOption scheduledOption(
        u"scheduled"_s, u"Dengan --backup: dipakai oleh jadwal, agar backup ini tercatat di "
                        u"riwayat sebagai backup terjadwal."_s);
    const QCommandLineOption quietOption(
        u"quiet"_s, u"Tampilkan hanya hasilnya: satu baris bila berhasil; bila gagal, pesan dan "
                    u"penyebabnya, tanpa langkah dan rincian."_s);
    const QCommandLineOption helpOption({u"?"_s, u"h"_s, u"help"_s}, u"Tampilkan bantuan ini."_s);
    const QCommandLineOption versionOption({u"v"_s, u"version"_s}, u"Tampilkan versi program."_s);
    parser.addOptions({backupOption, keepOption, restoreOption, yesOption, backupFirstOption,
                       anyDatabaseOption, listOption, verifyOption, scheduleOption, atOption,
                       scheduleOffOption, scheduleShowOption, historyOption, scheduledOption,
                       quietOption, helpOption, versionOption});

    if (!parser.parse(arguments)) {
        return usageError(parseErrorText(parser, arguments));
    }
    if (parser.isSet(helpOption)) {
        printAsIs(stdout, helpText(parser));
        return Success;
    }
    if (parser.isSet(versionOption)) {
        printAsIs(stdout, QCoreApplication::applicationName() + u' ' +
                              QCoreApplication::applicationVersion());
        return Success;
    }
    const bool verify = parser.isSet(verifyOption);
    const bool verifyFile = verify && !parser.isSet(backupOption);
    if (parser.positionalArguments().size() != (verifyFile ? 1 : 0)) {
        return usageError(verifyFile && parser.positionalArguments().isEmpty()
                              ? u"--verify perlu FILE, atau --backup DIR."_s
                              : u"Argumen tidak dikenal: "_s +
                                    parser.positionalArguments().join(u' '));
    }
    for (const QCommandLineOption* option :
         {&backupOption, &keepOption, &restoreOption, &backupFirstOption, &listOption,
          &scheduleOption, &atOption}) {
        if (parser.values(*option).size() > 1) {
            return usageError(u"--"_s + option->names().first() + u" hanya boleh sekali."_s);
        }
    }

    const bool backup = parser.isSet(backupOption);
    const bool restore = parser.isSet(restoreOption);
    const bool list = parser.isSet(listOption);
    const bool schedule = parser.isSet(scheduleOption);
    const bool withoutTarget = parser.isSet(scheduleOffOption) ||
                               parser.isSet(scheduleShowOption) || parser.isSet(historyOption);
    if (const int modes = int(backup) + int(restore) + int(list) + int(verifyFile) + int(schedule) +
                          int(parser.isSet(scheduleOffOption)) +
                          int(parser.isSet(scheduleShowOption)) + int(parser.isSet(historyOption));
        modes != 1) {
        return usageError(modes > 1 ? u"Pilih salah satu: --backup, --restore, --list, --verify, "
                                      u"--schedule, --schedule-off, --schedule-show atau "
                                      u"--history."_s
                                    : u"Perlu --backup DIR, --restore FILE, --list DIR, --verify "
                                      u"FILE, --schedule DIR, --schedule-off, --schedule-show "
                                      u"atau --history."_s);
    }
    // The folder or file of the one mode chosen.
    const QString target = verifyFile ? parser.positionalArguments().constFirst()
                                      : parser.value(backup     ? backupOption
                                                     : restore  ? restoreOption
                                                     : schedule ? scheduleOption
                                                                : listOption);
    if (target.isEmpty() && !withoutTarget) {
        return usageError(u"Folder atau file tidak boleh kosong."_s);
    }
    const std::optional<QTime> at = timeOfDay(parser.value(atOption));
    if (parser.isSet(atOption) && (!schedule || !at)) {
        return usageError(schedule ? u"--at perlu jam JJ.MM, misalnya 10.00."_s
                                   : u"--at hanya berlaku dengan --schedule."_s);
    }
    if (parser.isSet(scheduledOption) && !backup) {
        return usageError(u"--scheduled hanya berlaku dengan --backup."_s);
    }
    int keep = 0; // 0: remove nothing
    if (parser.isSet(keepOption)) {
        bool number = false;
        keep = parser.value(keepOption).toInt(&number);
        if (!backup && !schedule) {
            return usageError(u"--keep hanya berlaku dengan --backup atau --schedule."_s);
        }
        if (!number || keep < 1) {
            return usageError(u"--keep perlu bilangan bulat 1 atau lebih."_s);
        }
    }
    if (parser.isSet(yesOption) && !restore) {
        return usageError(u"--yes hanya berlaku dengan --restore."_s);
    }
    if (parser.isSet(anyDatabaseOption) && !restore) {
        return usageError(u"--any-database hanya berlaku dengan --restore."_s);
    }
    const QString safetyBackupDir = parser.value(backupFirstOption);
    if (parser.isSet(backupFirstOption)) {
        if (!restore) {
            return usageError(u"--backup-first hanya berlaku dengan --restore."_s);
        }
        if (safetyBackupDir.isEmpty()) {
            return usageError(u"Folder atau file tidak boleh kosong."_s);
        }
    }
    if (restore && !parser.isSet(yesOption)) {
        print(stderr, u"Restore menghapus isi database pendataan dan menggantinya dengan isi file "
                      "backup. Tambahkan --yes untuk melanjutkan."_s);
        return UsageError;
    }

    if (list) {
        return printBackups(target);
    }
    if (schedule) {
        return scheduleDailyBackup(target, at.value_or(QTime(10, 0)), keep > 0 ? keep : 14);
    }
    if (parser.isSet(scheduleOffOption)) {
        return removeDailyBackup();
    }
    if (parser.isSet(scheduleShowOption)) {
        return showDailyBackup();
    }
    if (parser.isSet(historyOption)) {
        return printHistory();
    }
    const bool quiet = parser.isSet(quietOption);
    OperationOutcome outcome;
    if (verifyFile) {
        return runJob(VerifyRequest{.backupFile = target}, quiet, RunOrigin::CommandLine, outcome);
    }
    if (restore) {
        // --yes has answered the question the window asks: the restore goes on at once.
        return runJob(RestoreRequest{.backupFile = target,
                                     .acceptOtherDatabase = parser.isSet(anyDatabaseOption),
                                     .safetyBackupDir = safetyBackupDir},
                      quiet, RunOrigin::CommandLine, outcome);
    }
    // A backup that fails its trial is kept and reported, and removes nothing.
    const RunOrigin origin =
        parser.isSet(scheduledOption) ? RunOrigin::Schedule : RunOrigin::CommandLine;
    const int code =
        runJob(BackupRequest{.targetDir = target, .verify = verify}, quiet, origin, outcome);
    if (code != Success || keep == 0) {
        return code;
    }
    return removeOldBackups(target, keep, outcome.filePath, quiet);
}

} // namespace ranupa::cli
