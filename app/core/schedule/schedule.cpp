#include "core/schedule/scheduler.h"

#include <QDir>
#include <algorithm>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// One argument of ExecStart=: in double quotes, where systemd undoes C escapes; % starts a
// specifier and $ a variable, so both are doubled.
QString systemdWord(QString word)
{
    word.replace(u'\\', u"\\\\"_s)
        .replace(u'"', u"\\\""_s)
        .replace(u'%', u"%%"_s)
        .replace(u'$', u"$$"_s);
    return u'"' + word + u'"';
}

// The program of ExecStart=: specifiers are expanded there too, variables are not, and systemd
// refuses quotes and backslashes in it outright (see unschedulable()).
QString systemdProgram(QString path)
{
    return u'"' + path.replace(u'%', u"%%"_s) + u'"';
}

// WorkingDirectory= takes the rest of the line as a path, quotes and escapes included, with
// specifiers expanded and blanks at its end dropped; a closing "/" keeps a final blank or
// backslash inside the path.
QString systemdPath(QString path)
{
    path.replace(u'%', u"%%"_s);
    return path.endsWith(u'/') ? path : path + u'/';
}

// One word for /bin/sh, which cron runs the command with: in single quotes nothing is special
// to sh. Cron turns every % not preceded by a backslash into a line break, so a % stands outside
// the quotes as \%, where no backslash of the path can come before it.
QString shellWord(QString word)
{
    word.replace(u'\'', u"'\\''"_s).replace(u'%', u"'\\%'"_s);
    return u'\'' + word + u'\'';
}

// One argument of a Windows command line, split by the C runtime's rules in the program: in
// double quotes, where backslashes are plain unless a quote follows them. Those before a quote
// are doubled and the quote gets one of its own; those at the end are doubled, so that the
// closing quote still closes.
QString windowsArgument(const QString& argument)
{
    const bool plain = !argument.isEmpty() && !argument.contains(u' ') &&
                       !argument.contains(u'\t') && !argument.contains(u'"');
    if (plain) {
        return argument;
    }
    QString quoted = u"\""_s;
    qsizetype backslashes = 0;
    for (const QChar c : argument) {
        if (c == u'\\') {
            ++backslashes;
            continue;
        }
        quoted += QString(c == u'"' ? 2 * backslashes + 1 : backslashes, u'\\') + c;
        backslashes = 0;
    }
    return quoted + QString(2 * backslashes, u'\\') + u'"';
}

} // namespace

QStringList DailyBackup::arguments() const
{
    return {u"--backup"_s,         backupDir,       u"--verify"_s, u"--keep"_s,
            QString::number(keep), u"--scheduled"_s};
}

std::optional<QString> unschedulable(const DailyBackup& backup, bool systemd)
{
    if (systemd && std::any_of(backup.program.cbegin(), backup.program.cend(),
                               [](QChar c) { return c == u'"' || c == u'\'' || c == u'\\'; })) {
        return u"systemd tidak dapat menjalankan program yang jalurnya memuat tanda kutip atau "
               u"garis miring terbalik: %1. Pindahkan program ke folder lain."_s.arg(
                   backup.program);
    }
    for (const QString& path : {backup.program, backup.installDir, backup.backupDir}) {
        if (std::ranges::any_of(path, [](QChar c) { return c.unicode() < 32; })) {
            return u"Jalur %1 memuat karakter kendali (misalnya pindah baris), yang tidak dapat "
                   u"dicatat di jadwal. Pilih folder lain."_s.arg(QDir::toNativeSeparators(path));
        }
    }
    return std::nullopt;
}

QString systemdService(const DailyBackup& backup)
{
    QStringList words{systemdProgram(backup.program)};
    for (const QString& argument : backup.arguments()) {
        words << systemdWord(argument);
    }
    return u"# Dibuat oleh ranupa-helper --schedule; hapus dengan ranupa-helper --schedule-off.\n"
           u"[Unit]\n"
           u"Description=Ranupa Helper: backup harian database pendataan\n\n"
           u"[Service]\n"
           u"Type=oneshot\n"
           u"WorkingDirectory=%1\n"
           u"ExecStart=%2\n"_s.arg(systemdPath(backup.installDir), words.join(u' '));
}

QString systemdTimer(const DailyBackup& backup)
{
    return u"# Dibuat oleh ranupa-helper --schedule; hapus dengan ranupa-helper --schedule-off.\n"
           u"[Unit]\n"
           u"Description=Ranupa Helper: jadwal backup harian\n\n"
           u"[Timer]\n"
           u"OnCalendar=*-*-* %1:00\n"
           u"Persistent=true\n\n"
           u"[Install]\n"
           u"WantedBy=timers.target\n"_s.arg(backup.at.toString(u"HH:mm"_s));
}

QString crontabLine(const DailyBackup& backup)
{
    QStringList command{u"cd"_s, shellWord(backup.installDir), u"&&"_s, shellWord(backup.program)};
    for (const QString& argument : backup.arguments()) {
        command << shellWord(argument);
    }
    return u"%1 %2 * * * %3 %4"_s.arg(backup.at.minute())
        .arg(backup.at.hour())
        .arg(command.join(u' '), crontabMarker);
}

QString taskDefinition(const DailyBackup& backup, const QDate& firstDay)
{
    QStringList arguments;
    for (const QString& argument : backup.arguments()) {
        arguments << windowsArgument(QDir::toNativeSeparators(argument));
    }
    // The values as XML text; a path holds no control character (unschedulable()).
    return uR"(<?xml version="1.0" encoding="UTF-16"?>

<Task version="1.2" xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task">
    <RegistrationInfo>
        <Description>%1</Description>
    </RegistrationInfo>
    <Triggers>
        <CalendarTrigger>
            <StartBoundary>%2</StartBoundary>
            <Enabled>true</Enabled>
            <ScheduleByDay>
                <DaysInterval>1</DaysInterval>
            </ScheduleByDay>
        </CalendarTrigger>
    </Triggers>
    <Principals>
        <Principal id="Author">
            <LogonType>InteractiveToken</LogonType>
            <RunLevel>LeastPrivilege</RunLevel>
        </Principal>
    </Principals>
    <Settings>
        <MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>
        <DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>
        <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>
        <StartWhenAvailable>true</StartWhenAvailable>
        <ExecutionTimeLimit>PT12H</ExecutionTimeLimit>
        <Enabled>true</Enabled>
    </Settings>
    <Actions Context="Author">
        <Exec>
            <Command>%3</Command>
            <Arguments>%4</Arguments>
            <WorkingDirectory>%5</WorkingDirectory>
        </Exec>
    </Actions>
</Task>
)"_s.arg(u"Backup harian database pendataan oleh Ranupa Helper. Dibuat dengan --schedule; "
         u"hapus dengan --schedule-off."_s,
         QDateTime(firstDay, backup.at).toString(Qt::ISODate),
         QDir::toNativeSeparators(backup.program).toHtmlEscaped(),
         arguments.join(u' ').toHtmlEscaped(),
         QDir::toNativeSeparators(backup.installDir).toHtmlEscaped());
}

} // namespace ranupa
