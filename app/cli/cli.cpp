#include "cli/cli.h"

#include "cli/modes.h"
#include "cli/output.h"
#include "cli/schedulecommands.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <algorithm>
#include <array>
#include <cstdio>

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

struct OptionText
{
    QStringView name;
    QStringView valueName; // "" for a switch
    QStringView description;
};

// As the help lists them, after the description; --help and --version come last.
constexpr auto optionTexts = std::to_array<OptionText>({
    {u"backup", u"DIR", u"Buat backup database pendataan di folder DIR."},
    {u"keep", u"N",
     u"Setelah backup berhasil, hapus backup lama di DIR sehingga tinggal N backup terbaru. Backup "
     u"pengaman sebelum restore tidak dihitung dan tidak dihapus."},
    {u"restore", u"FILE", u"Ganti isi database pendataan dengan isi file backup FILE."},
    {u"yes", u"", u"Setujui bahwa --restore mengganti isi database."},
    {u"backup-first", u"DIR",
     u"Dengan --restore: buat dulu backup pengaman database saat ini di folder DIR; bila backup "
     u"itu gagal, restore tidak dijalankan."},
    {u"any-database", u"",
     u"Dengan --restore: terima juga file backup database lain selain pendataan."},
    {u"list", u"DIR", u"Tampilkan file backup di folder DIR, yang terbaru lebih dulu."},
    {u"verify", u"",
     u"Uji apakah file backup FILE dapat di-restore: muat ke database uji (database pendataan "
     u"tidak disentuh), bandingkan jumlah baris setiap tabel, lalu hapus database uji. Dengan "
     u"--backup: uji backup yang baru dibuat sebelum --keep menghapus apa pun; bila ujinya gagal, "
     u"backup itu tetap disimpan dan tidak ada yang dihapus."},
    {u"schedule", u"DIR",
     u"Jadwalkan backup harian ke folder DIR: setiap hari sistem menjalankan program ini dengan "
     u"--backup DIR --verify --keep N dari folder instalasi (timer systemd, crontab, atau Task "
     u"Scheduler Windows). Jadwal sebelumnya diganti. Bawaan: --at 10.00, --keep 14."},
    {u"at", u"JJ.MM", u"Dengan --schedule: jam backup harian, JJ.MM (bawaan 10.00)."},
    {u"schedule-off", u"", u"Hapus jadwal backup harian yang dibuat dengan --schedule."},
    {u"schedule-show", u"",
     u"Tampilkan jadwal backup harian, kapan backup berikutnya, dan hasil backup terjadwal "
     u"terakhir."},
    {u"history", u"",
     u"Tampilkan riwayat backup, uji restore dan restore di komputer ini, yang terbaru lebih "
     u"dulu."},
    {u"scheduled", u"",
     u"Dengan --backup: dipakai oleh jadwal, agar backup ini tercatat di riwayat sebagai backup "
     u"terjadwal."},
    {u"quiet", u"",
     u"Tampilkan hanya hasilnya: satu baris bila berhasil; bila gagal, pesan dan penyebabnya, "
     u"tanpa langkah dan rincian."},
});

void describeOptions(QCommandLineParser& parser)
{
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
    for (const OptionText& option : optionTexts) {
        parser.addOption(
            {option.name.toString(), option.description.toString(), option.valueName.toString()});
    }
    parser.addPositionalArgument(u"FILE"_s, u"File backup untuk --verify."_s);
    parser.addOption({{u"?"_s, u"h"_s, u"help"_s}, u"Tampilkan bantuan ini."_s});
    parser.addOption({{u"v"_s, u"version"_s}, u"Tampilkan versi program."_s});
}

// The options that only some modes take, in the order they are checked: of several amiss, the
// first is the one reported.
constexpr std::array<QStringView, 6> modeOptions{u"at",  u"scheduled",    u"keep",
                                                 u"yes", u"any-database", u"backup-first"};

// The modes the options ask for. --verify with --backup tries the new backup: an option of that
// mode, not a mode of its own.
QList<const Mode*> askedModes(const QCommandLineParser& parser)
{
    const auto asked = [&parser](const Mode& mode) {
        return parser.isSet(mode.option.toString());
    };
    QList<const Mode*> found;
    for (const Mode& mode : modes()) {
        const auto takesIt = [&asked, &mode](const Mode& other) {
            return asked(other) && other.takesOption(mode.option);
        };
        if (asked(mode) && std::ranges::none_of(modes(), takesIt)) {
            found << &mode;
        }
    }
    return found;
}

QString target(const QCommandLineParser& parser, const Mode& mode)
{
    return mode.targetFollows ? parser.positionalArguments().value(0)
                              : parser.value(mode.option.toString());
}

// "--a, --b atau --c": the modes that take `option` (all, for none), with what each works on if
// `withTarget`.
QString modeNames(bool withTarget, QStringView option = {})
{
    QStringList names;
    for (const Mode& mode : modes()) {
        if (option.isEmpty() || mode.takesOption(option)) {
            const bool named = withTarget && !mode.target.isEmpty();
            names << u"--"_s + mode.option.toString() +
                         (named ? u' ' + mode.target.toString() : QString());
        }
    }
    const QString last = names.takeLast();
    return names.isEmpty() ? last : names.join(u", "_s) + u" atau "_s + last;
}

// What is wrong with the value of an option that the mode takes; "" when nothing is.
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

// What is wrong with the command line for the modes: nothing ("") when it asks for one mode and
// gives it only what it takes.
QString usageProblem(const QCommandLineParser& parser, const QList<const Mode*>& asked)
{
    const QStringList arguments = parser.positionalArguments();
    const bool wantsFile = std::ranges::any_of(asked, &Mode::targetFollows);
    if (arguments.size() != (wantsFile ? 1 : 0)) {
        return wantsFile && arguments.isEmpty()
                   ? u"--verify perlu FILE, atau --backup DIR."_s
                   : u"Argumen tidak dikenal: "_s + arguments.join(u' ');
    }
    for (const OptionText& option : optionTexts) {
        if (!option.valueName.isEmpty() && parser.values(option.name.toString()).size() > 1) {
            return u"--%1 hanya boleh sekali."_s.arg(option.name);
        }
    }
    if (asked.size() != 1) {
        return asked.isEmpty() ? u"Perlu %1."_s.arg(modeNames(true))
                               : u"Pilih salah satu: %1."_s.arg(modeNames(false));
    }
    const Mode& mode = *asked.first();
    if (!mode.target.isEmpty() && target(parser, mode).isEmpty()) {
        return u"Folder atau file tidak boleh kosong."_s;
    }
    for (const QStringView option : modeOptions) {
        const QString problem =
            !parser.isSet(option.toString()) ? QString()
            : mode.takesOption(option)
                ? valueProblem(option, parser.value(option.toString()))
                : u"--%1 hanya berlaku dengan %2."_s.arg(option, modeNames(false, option));
        if (!problem.isEmpty()) {
            return problem;
        }
    }
    return {};
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
    for (const QString& form :
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
    describeOptions(parser);
    if (!parser.parse(arguments)) {
        return usageError(parseErrorText(parser, arguments));
    }
    if (parser.isSet(u"help"_s)) {
        printAsIs(stdout, helpText(parser));
        return Success;
    }
    if (parser.isSet(u"version"_s)) {
        printAsIs(stdout, QCoreApplication::applicationName() + u' ' +
                              QCoreApplication::applicationVersion());
        return Success;
    }
    const QList<const Mode*> asked = askedModes(parser);
    if (const QString problem = usageProblem(parser, asked); !problem.isEmpty()) {
        return usageError(problem);
    }
    return asked.first()->run(parser, target(parser, *asked.first()));
}

} // namespace ranupa::cli
