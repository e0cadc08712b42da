#include "core/schedule/scheduler.h"

#include "core/files/installation.h"
#include "core/pg/toolrunner.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>
#include <QStringEncoder>
#include <QTemporaryFile>
#include <array>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

using Cancelled = std::function<bool()>;

// What the program said, or why it did not start.
QString said(const ToolResult& ran)
{
    return ran.started ? ran.output().trimmed() : ran.errorString;
}

// The scheduler's programs go through the one tool runner: an argument list, never a shell, no
// console window on Windows, a minute at most; `cancelled` ends one sooner.
ToolResult runProgram(const QString& program, const QStringList& arguments,
                      const QByteArray& input = {}, const Cancelled& cancelled = {})
{
    if (program.isEmpty()) { // not found in PATH
        ToolResult notFound;
        notFound.errorString = QCoreApplication::translate("QProcess", "No program defined");
        return notFound;
    }
    ToolRun how;
    how.cancelled = cancelled;
    how.timeout = std::chrono::minutes(1);
    return runTool({.program = program, .arguments = arguments}, input, how);
}

// Absolute, as the tool runner takes a program outside the installation; a bare name is looked
// up in PATH.
QString programFor(const char* variable, const QString& name)
{
    const QString given = qEnvironmentVariable(variable);
    return QDir::isAbsolutePath(given)
               ? given
               : QStandardPaths::findExecutable(given.isEmpty() ? name : given);
}

std::optional<Failure> failureUnless(const ToolResult& ran, const QString& step)
{
    return ran.endedWell() ? std::nullopt
                           : std::optional(Failure{.step = step, .details = said(ran)});
}

bool writeFile(const QString& path, const QByteArray& bytes, QString& problem)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit()) {
        return true;
    }
    problem = u"%1: %2"_s.arg(QDir::toNativeSeparators(path), file.errorString());
    return false;
}

// What was made, noted in the program's data folder.
QString notePath()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
        .filePath(u"jadwal.ini"_s);
}

void writeNote(const Schedule& schedule)
{
    QSettings note(notePath(), QSettings::IniFormat);
    note.setValue(u"program"_s, schedule.backup.program);
    note.setValue(u"installDir"_s, schedule.backup.installDir);
    note.setValue(u"backupDir"_s, schedule.backup.backupDir);
    note.setValue(u"at"_s, schedule.backup.at.toString(u"HH:mm"_s));
    note.setValue(u"keep"_s, schedule.backup.keep);
    note.setValue(u"kind"_s, int(schedule.kind));
    note.setValue(u"made"_s, schedule.made.toString(Qt::ISODate));
}

std::optional<Schedule> readNote()
{
    const QSettings note(notePath(), QSettings::IniFormat);
    const int kind = note.value(u"kind"_s).toInt();
    Schedule schedule{
        .backup = {.program = note.value(u"program"_s).toString(),
                   .installDir = note.value(u"installDir"_s).toString(),
                   .backupDir = note.value(u"backupDir"_s).toString(),
                   .at = QTime::fromString(note.value(u"at"_s).toString(), u"HH:mm"_s),
                   .keep = note.value(u"keep"_s).toInt()},
        .kind = SchedulerKind(kind),
        .made = QDateTime::fromString(note.value(u"made"_s).toString(), Qt::ISODate)};
    // A note that is missing or damaged holds no schedule.
    if (!schedule.backup.at.isValid() || schedule.backup.keep < 1 || !schedule.made.isValid() ||
        kind < 0 || kind > int(SchedulerKind::TaskScheduler)) {
        return std::nullopt;
    }
    return schedule;
}

// systemd: the two units in the user's unit folder, the timer enabled and started.
QString unitPath(QStringView name)
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
        .filePath(u"systemd/user/%1"_s.arg(name));
}

ToolResult systemctl(const QStringList& arguments)
{
    return runProgram(programFor("RANUPA_SYSTEMCTL", u"systemctl"_s),
                      QStringList{u"--user"_s} + arguments);
}

bool systemdHolds(const Cancelled&)
{
    return QFileInfo::exists(unitPath(systemdServiceName)) &&
           QFileInfo::exists(unitPath(systemdTimerName));
}

std::optional<Failure> removeSystemd(bool& removed)
{
    if (!systemdHolds({})) {
        return std::nullopt;
    }
    const QString timer = systemdTimerName.toString();
    const ToolResult disabled = systemctl({u"disable"_s, u"--now"_s, timer});
    for (const QString& name :
         {timer, systemdServiceName.toString(), u"timers.target.wants/"_s + timer}) {
        QFile::remove(unitPath(name));
    }
    systemctl({u"daemon-reload"_s});
    removed = true;
    return failureUnless(disabled, u"menghentikan timer systemd "_s + timer);
}

std::optional<Failure> installSystemd(const DailyBackup& backup)
{
    QString problem;
    if (!QDir().mkpath(QFileInfo(unitPath(systemdServiceName)).absolutePath()) ||
        !writeFile(unitPath(systemdServiceName), systemdService(backup).toUtf8(), problem) ||
        !writeFile(unitPath(systemdTimerName), systemdTimer(backup).toUtf8(), problem)) {
        return Failure{.step = u"menulis unit systemd"_s, .details = problem};
    }
    const QString timer = systemdTimerName.toString();
    std::optional<Failure> failed =
        failureUnless(systemctl({u"daemon-reload"_s}), u"memuat ulang unit systemd"_s);
    if (!failed) {
        failed = failureUnless(systemctl({u"enable"_s, u"--now"_s, timer}),
                               u"menyalakan timer systemd "_s + timer);
    }
    if (failed) {
        bool removed = false;
        removeSystemd(removed);
    }
    return failed;
}

// cron: one line of the user's crontab, told apart by the marker it ends with.
QString crontabProgram()
{
    return programFor("RANUPA_CRONTAB", u"crontab"_s);
}

std::optional<QStringList> crontabLines(std::optional<Failure>& failed,
                                        const Cancelled& cancelled = {})
{
    const ToolResult listed = runProgram(crontabProgram(), {u"-l"_s}, {}, cancelled);
    if (listed.endedWell()) {
        return listed.output().split(u'\n', Qt::SkipEmptyParts);
    }
    // A user without a crontab yet: cron says so in English, as the runner asks its programs.
    if (listed.started && !listed.cancelled && listed.output().contains(u"no crontab for"_s)) {
        return QStringList();
    }
    failed = Failure{.step = u"membaca crontab (crontab -l)"_s,
                     .details = listed.started ? said(listed)
                                               : u"Program crontab tidak ditemukan atau tidak "
                                                 u"dapat dijalankan: "_s +
                                                     listed.errorString};
    return std::nullopt;
}

bool isScheduleLine(const QString& line)
{
    return line.trimmed().endsWith(crontabMarker);
}

std::optional<Failure> writeCrontab(const QStringList& lines)
{
    const QByteArray text = lines.isEmpty() ? QByteArray() : (lines.join(u'\n') + u'\n').toUtf8();
    return failureUnless(runProgram(crontabProgram(), {u"-"_s}, text),
                         u"menulis crontab (crontab -)"_s);
}

std::optional<Failure> removeCron(bool& removed)
{
    if (!QFileInfo(crontabProgram()).isExecutable()) {
        return std::nullopt; // without cron, no line of the program's can be there
    }
    std::optional<Failure> failed;
    std::optional<QStringList> lines = crontabLines(failed);
    if (!lines || lines->removeIf(isScheduleLine) == 0) {
        return failed;
    }
    removed = true;
    return writeCrontab(*lines);
}

std::optional<Failure> installCron(const DailyBackup& backup)
{
    std::optional<Failure> failed;
    std::optional<QStringList> lines = crontabLines(failed);
    if (!lines) {
        return failed;
    }
    lines->append(crontabLine(backup));
    return writeCrontab(*lines);
}

bool cronHolds(const Cancelled& cancelled)
{
    std::optional<Failure> failed;
    const std::optional<QStringList> lines = crontabLines(failed, cancelled);
    return lines && std::any_of(lines->cbegin(), lines->cend(), isScheduleLine);
}

// Windows: a task of the user's own, made from its XML definition.
ToolResult schtasks(const QStringList& arguments, const Cancelled& cancelled = {})
{
    return runProgram(programFor("RANUPA_SCHTASKS", u"schtasks"_s), arguments, {}, cancelled);
}

bool taskHolds(const Cancelled& cancelled)
{
    return schtasks({u"/Query"_s, u"/TN"_s, taskName.toString()}, cancelled).endedWell();
}

std::optional<Failure> removeTask(bool& removed)
{
    if (!taskHolds({})) {
        return std::nullopt;
    }
    removed = true;
    return failureUnless(schtasks({u"/Delete"_s, u"/TN"_s, taskName.toString(), u"/F"_s}),
                         u"menghapus tugas Task Scheduler"_s);
}

std::optional<Failure> installTask(const DailyBackup& backup)
{
    QTemporaryFile definition(QDir::temp().filePath(u"ranupa-jadwal-XXXXXX.xml"_s));
    QStringEncoder utf16(QStringEncoder::Utf16LE, QStringEncoder::Flag::WriteBom);
    const QByteArray bytes = utf16(taskDefinition(backup, QDate::currentDate()));
    if (!definition.open() || definition.write(bytes) != bytes.size() || !definition.flush()) {
        return Failure{.step = u"menulis definisi tugas"_s, .details = definition.errorString()};
    }
    definition.close();
    return failureUnless(schtasks({u"/Create"_s, u"/TN"_s, taskName.toString(), u"/XML"_s,
                                   QDir::toNativeSeparators(definition.fileName()), u"/F"_s}),
                         u"membuat tugas Task Scheduler (schtasks /Create)"_s);
}

SchedulerKind kindOnThisComputer()
{
#ifdef Q_OS_WIN
    return SchedulerKind::TaskScheduler;
#else
    // A session manager answers only while the user is logged in with one; as root, over ssh or
    // in a container there is none, and cron runs the line instead.
    return systemctl({u"show-environment"_s}).endedWell() ? SchedulerKind::SystemdTimer
                                                          : SchedulerKind::Crontab;
#endif
}

// What each scheduler does, in the order of SchedulerKind.
constexpr std::array installers{installSystemd, installCron, installTask};
constexpr std::array holders{systemdHolds, cronHolds, taskHolds};
constexpr std::array removers{removeSystemd, removeCron, removeTask};

} // namespace

Result<DailyBackup> dailyBackupOfThisProgram(const QString& backupDir, const QTime& at, int keep)
{
    const Result<Installation> installation = findInstallation();
    if (!installation) {
        return installation.failure();
    }
    const QFileInfo folder(backupDir);
    if (!folder.isDir()) {
        return Failure{.step = u"memeriksa folder backup"_s,
                       .details =
                           u"Folder %1 tidak ada."_s.arg(QDir::toNativeSeparators(backupDir)),
                       .cause = FailureCause::DirectoryNotWritable};
    }
    return DailyBackup{.program = QCoreApplication::applicationFilePath(),
                       .installDir = installation->dir,
                       .backupDir = folder.absoluteFilePath(),
                       .at = at,
                       .keep = keep};
}

std::optional<Failure> makeSchedule(const DailyBackup& backup)
{
    const SchedulerKind kind = kindOnThisComputer();
    if (const auto problem = unschedulable(backup, kind == SchedulerKind::SystemdTimer)) {
        return Failure{.step = u"membuat jadwal"_s, .details = *problem};
    }
    if (const Result<bool> removed = removeSchedule(); !removed) {
        return removed.failure();
    }
    if (std::optional<Failure> failed = installers[int(kind)](backup)) {
        return failed;
    }
    if (!holders[int(kind)]({})) {
        return Failure{.step = u"membaca kembali jadwal yang dibuat"_s,
                       .details = u"Jadwal tidak ditemukan setelah dibuat."_s};
    }
    writeNote({.backup = backup, .kind = kind, .made = QDateTime::currentDateTime()});
    return std::nullopt;
}

Result<bool> removeSchedule()
{
#ifdef Q_OS_WIN
    const auto kinds = {SchedulerKind::TaskScheduler};
#else
    const auto kinds = {SchedulerKind::SystemdTimer, SchedulerKind::Crontab};
#endif
    bool removed = false;
    std::optional<Failure> failed;
    for (const SchedulerKind kind : kinds) {
        if (std::optional<Failure> notRemoved = removers[int(kind)](removed)) {
            failed = notRemoved;
        }
    }
    if (failed) {
        return *failed;
    }
    QFile::remove(notePath());
    return removed;
}

std::optional<Schedule> currentSchedule(const std::function<bool()>& cancelled)
{
    const std::optional<Schedule> noted = readNote();
    return noted && holders[int(noted->kind)](cancelled) ? noted : std::nullopt;
}

QDateTime nextRun(const QTime& at, const QDateTime& now)
{
    const QDateTime today(now.date(), at);
    return today > now ? today : today.addDays(1);
}

QDateTime lastDueRun(const Schedule& schedule, const QDateTime& now)
{
    QDateTime due(now.date(), schedule.backup.at);
    if (due > now) {
        due = due.addDays(-1);
    }
    return due >= schedule.made ? due : QDateTime();
}

QString missedStartText(SchedulerKind kind)
{
    return kind == SchedulerKind::Crontab
               ? u"Bila komputer mati pada jam itu, backup hari itu terlewat (cron tidak "
                 u"mengulangnya)."_s
               : u"Bila komputer mati pada jam itu, backup dijalankan begitu komputer menyala "
                 u"lagi."_s;
}

QString describeSchedule(const Schedule& schedule)
{
    constexpr QStringView kinds[] = {u"timer systemd", u"crontab", u"Task Scheduler Windows"};
    return u"setiap hari pukul %1, backup ke folder %2, menyimpan %3 backup terbaru (%4)"_s.arg(
        schedule.backup.at.toString(u"HH.mm"_s),
        QDir::toNativeSeparators(schedule.backup.backupDir), QString::number(schedule.backup.keep),
        kinds[int(schedule.kind)]);
}

} // namespace ranupa
