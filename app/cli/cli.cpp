#include "cli/cli.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace ranupa::cli {

namespace {

// As the help lists them, after the description.
QList<QCommandLineOption> programOptions()
{
    return {
        {u"backup"_s, u"Buat backup database pendataan di folder DIR."_s, u"DIR"_s},
        {u"keep"_s,
         u"Setelah backup berhasil, hapus backup lama di DIR sehingga tinggal N backup terbaru. "
         u"Backup pengaman sebelum restore tidak dihitung dan tidak dihapus."_s,
         u"N"_s},
        {u"restore"_s, u"Ganti isi database pendataan dengan isi file backup FILE."_s, u"FILE"_s},
        {u"yes"_s, u"Setujui bahwa --restore mengganti isi database."_s},
        {u"backup-first"_s,
         u"Dengan --restore: buat dulu backup pengaman database saat ini di folder DIR; bila "
         u"backup itu gagal, restore tidak dijalankan."_s,
         u"DIR"_s},
        {u"any-database"_s,
         u"Dengan --restore: terima juga file backup database lain selain pendataan."_s},
        {u"list"_s, u"Tampilkan file backup di folder DIR, yang terbaru lebih dulu."_s, u"DIR"_s},
        {u"verify"_s,
         u"Uji apakah file backup FILE dapat di-restore: muat ke database uji (database pendataan "
         u"tidak disentuh), bandingkan jumlah baris setiap tabel, lalu hapus database uji. Dengan "
         u"--backup: uji backup yang baru dibuat sebelum --keep menghapus apa pun; bila ujinya "
         u"gagal, backup itu tetap disimpan dan tidak ada yang dihapus."_s},
        {u"schedule"_s,
         u"Jadwalkan backup harian ke folder DIR: setiap hari sistem menjalankan program ini "
         u"dengan --backup DIR --verify --keep N dari folder instalasi (timer systemd, crontab, "
         u"atau Task Scheduler Windows). Jadwal sebelumnya diganti. Bawaan: --at 10.00, "
         u"--keep 14."_s,
         u"DIR"_s},
        {u"at"_s, u"Dengan --schedule: jam backup harian, JJ.MM (bawaan 10.00)."_s, u"JJ.MM"_s},
        {u"schedule-off"_s, u"Hapus jadwal backup harian yang dibuat dengan --schedule."_s},
        {u"schedule-show"_s,
         u"Tampilkan jadwal backup harian, kapan backup berikutnya, dan hasil backup terjadwal "
         u"terakhir."_s},
        {u"history"_s,
         u"Tampilkan riwayat backup, uji restore dan restore di komputer ini, yang terbaru lebih "
         u"dulu."_s},
        {u"scheduled"_s,
         u"Dengan --backup: dipakai oleh jadwal, agar backup ini tercatat di riwayat sebagai "
         u"backup terjadwal."_s},
        {u"quiet"_s,
         u"Tampilkan hanya hasilnya: satu baris bila berhasil; bila gagal, pesan dan penyebabnya, "
         u"tanpa langkah dan rincian."_s},
        {{u"?"_s, u"h"_s, u"help"_s}, u"Tampilkan bantuan ini."_s},
        {{u"v"_s, u"version"_s}, u"Tampilkan versi program."_s},
    };
}

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
        stopRequests().toString() +
        u"); backup setengah jadi dihapus, restore dibatalkan dengan aman\n"
        u"  4  backup atau restore lain sedang berjalan di server database; tidak ada yang "
        u"dijalankan, coba lagi nanti"_s);
    parser.addOptions(programOptions());
    parser.addPositionalArgument(u"FILE"_s, u"File backup untuk --verify."_s);
}

// One way of running the command line, asked for by its option. It takes the options in `takes`
// besides --quiet, which all modes take.
struct Mode
{
    QStringView option;
    QStringView target; // what it works on, as the help names it: "DIR", "FILE" or none
    bool targetFollows; // given after the options, not as the value of `option`
    std::array<QStringView, 3> takes;
    int (*run)(const QCommandLineParser& options, const QString& target);

    bool takesOption(QStringView name) const
    {
        return std::ranges::find(takes, name) != takes.end();
    }
};

// In the order the usage errors name them.
constexpr auto modes = std::to_array<Mode>({
    {u"backup", u"DIR", false, {u"verify", u"keep", u"scheduled"}, &makeBackup},
    {u"restore", u"FILE", false, {u"yes", u"backup-first", u"any-database"}, &restoreBackup},
    {u"list", u"DIR", false, {}, &printBackups},
    {u"verify", u"FILE", true, {}, &tryRestore},
    {u"schedule", u"DIR", false, {u"at", u"keep"}, &scheduleDailyBackup},
    {u"schedule-off", u"", false, {}, &removeDailyBackup},
    {u"schedule-show", u"", false, {}, &showDailyBackup},
    {u"history", u"", false, {}, &printHistory},
});

// The options that only some modes take, in the order they are checked: of several amiss, the
// first is the one reported.
constexpr auto modeOptions = std::to_array<QStringView>(
    {u"at", u"scheduled", u"keep", u"yes", u"any-database", u"backup-first"});

// The modes the options ask for. --verify with --backup tries the new backup: an option of that
// mode, not a mode of its own.
QList<const Mode*> askedModes(const QCommandLineParser& parser)
{
    const auto asked = [&parser](const Mode& mode) {
        return parser.isSet(mode.option.toString());
    };
    QList<const Mode*> found;
    for (const Mode& mode : modes) {
        const auto takesIt = [&asked, &mode](const Mode& other) {
            return asked(other) && other.takesOption(mode.option);
        };
        if (asked(mode) && std::ranges::none_of(modes, takesIt)) {
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
    for (const Mode& mode : modes) {
        if (option.isEmpty() || mode.takesOption(option)) {
            names << u"--%1 %2"_s.arg(mode.option, withTarget ? mode.target : QStringView())
                         .trimmed();
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
    for (const QCommandLineOption& option : programOptions()) {
        if (!option.valueName().isEmpty() && parser.values(option).size() > 1) {
            return u"--%1 hanya boleh sekali."_s.arg(option.names().constFirst());
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
    print(stderr, message + u"\nLihat --help."_s);
    return UsageError;
}

// The options that QCoreApplication, QGuiApplication (with the platform plugins' common ones)
// and QApplication take out of the command line in Qt 6, without the leading "-" (Qt reads
// "--name" as "-name"): those whose value follows as the next argument, those that also take
// "-name=value", and those without a value.
constexpr auto valueOptions = std::to_array<QStringView>(
    {u"platform", u"platformpluginpath", u"platformtheme", u"plugin", u"qwindowgeometry",
     u"geometry", u"qwindowicon", u"icon", u"qwindowtitle", u"title", u"display", u"name",
     u"visual", u"session"});
constexpr auto attachedValueOptions =
    std::to_array<QStringView>({u"style", u"stylesheet", u"qmljsdebugger"});
constexpr auto flagOptions =
    std::to_array<QStringView>({u"reverse", u"nograb", u"dograb", u"testability", u"widgetcount"});

template <typename Names> bool isAmong(const Names& names, QStringView name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

// How many arguments from `index` on make up one of Qt's options: 0 when it is none of them.
qsizetype toolkitOptionLength(const QStringList& arguments, qsizetype index)
{
    const QString& argument = arguments.at(index);
    if (!argument.startsWith(u'-')) {
        return 0;
    }
    const QStringView name = QStringView(argument).sliced(argument.startsWith(u"--"_s) ? 2 : 1);
    if (isAmong(flagOptions, name)) {
        return 1;
    }
    if (isAmong(valueOptions, name) || isAmong(attachedValueOptions, name)) {
        // Without its value Qt leaves the option alone, and so do we.
        return index + 1 < arguments.size() ? 2 : 0;
    }
    const qsizetype equals = name.indexOf(u'=');
    return equals > 0 && isAmong(attachedValueOptions, name.first(equals)) ? 1 : 0;
}

} // namespace

void print(FILE* stream, QString text)
{
    if (stream == stderr || isatty(fileno(stream)) == 0) {
        const QString stamp = QDateTime::currentDateTime().toString(u"yyyy-MM-dd HH:mm:ss "_s);
        text = stamp + text.replace(u'\n', u'\n' + stamp);
    }
    const QByteArray bytes = (text + u'\n').toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

QStringList withoutToolkitOptions(const QStringList& arguments)
{
    QStringList kept = arguments.mid(0, 1);
    for (qsizetype index = 1; index < arguments.size();) {
        const qsizetype length = toolkitOptionLength(arguments, index);
        if (length == 0) {
            kept << arguments.at(index);
        }
        index += qMax(length, 1);
    }
    return kept;
}

bool wantsCommandLine(int argc, char* argv[])
{
    QStringList arguments;
    for (int index = 0; index < argc; ++index) {
        arguments << QString::fromLocal8Bit(argv[index]);
    }
    // Only what Qt does not take for itself asks for the command line. An argument that nobody
    // knows goes there too, so that a mistyped option is reported instead of opening a window
    // that an unattended run would wait on for ever.
    return withoutToolkitOptions(arguments).size() > 1;
}

int run(const QStringList& arguments)
{
    setUpStandardStreams();
    // Qt's own warnings go to the log too, stamped like the rest.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& message) {
        print(stderr, message);
    });
    QCommandLineParser parser;
    describeOptions(parser);
    if (!parser.parse(arguments)) {
        return usageError(parseErrorText(parser, arguments));
    }
    // The help and the version describe the program, not a moment of a run: no time stamps.
    if (parser.isSet(u"help"_s) || parser.isSet(u"version"_s)) {
        const QString about = parser.isSet(u"help"_s) ? helpText(parser)
                                                      : QCoreApplication::applicationName() + u' ' +
                                                            QCoreApplication::applicationVersion();
        std::fputs(qPrintable(about + u'\n'), stdout);
        return Success;
    }
    const QList<const Mode*> asked = askedModes(parser);
    if (const QString problem = usageProblem(parser, asked); !problem.isEmpty()) {
        return usageError(problem);
    }
    return asked.first()->run(parser, target(parser, *asked.first()));
}

} // namespace ranupa::cli
