#include "core/schedule/schedule.h"

#include <QDir>
#include <QXmlStreamWriter>
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
QString shellWord(const QString& word)
{
    QString quoted = word;
    quoted.replace(u'\'', u"'\\''"_s).replace(u'%', u"'\\%'"_s);
    return u'\'' + quoted + u'\'';
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

QString systemdServiceName()
{
    return u"ranupa-helper-backup.service"_s;
}

QString systemdTimerName()
{
    return u"ranupa-helper-backup.timer"_s;
}

QString crontabMarker()
{
    return u"# ranupa-helper --schedule"_s;
}

QString taskName()
{
    return u"Ranupa Helper Backup Harian"_s;
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
        if (std::any_of(path.cbegin(), path.cend(), [](QChar c) { return c.unicode() < 32; })) {
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
           u"WorkingDirectory="_s +
           systemdPath(backup.installDir) + u"\nExecStart="_s + words.join(u' ') + u'\n';
}

QString systemdTimer(const DailyBackup& backup)
{
    return u"# Dibuat oleh ranupa-helper --schedule; hapus dengan ranupa-helper --schedule-off.\n"
           u"[Unit]\n"
           u"Description=Ranupa Helper: jadwal backup harian\n\n"
           u"[Timer]\n"
           u"OnCalendar=*-*-* "_s +
           backup.at.toString(u"HH:mm"_s) +
           u":00\n"
           u"Persistent=true\n\n"
           u"[Install]\n"
           u"WantedBy=timers.target\n"_s;
}

QString crontabLine(const DailyBackup& backup)
{
    QStringList command{u"cd"_s, shellWord(backup.installDir), u"&&"_s, shellWord(backup.program)};
    for (const QString& argument : backup.arguments()) {
        command << shellWord(argument);
    }
    return u"%1 %2 * * * %3 %4"_s.arg(backup.at.minute())
        .arg(backup.at.hour())
        .arg(command.join(u' '), crontabMarker());
}

QString taskDefinition(const DailyBackup& backup, const QDate& firstDay)
{
    QStringList arguments;
    for (const QString& argument : backup.arguments()) {
        arguments << windowsArgument(QDir::toNativeSeparators(argument));
    }
    QString xml = u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n"_s;
    QXmlStreamWriter writer(&xml);
    writer.setAutoFormatting(true);
    const auto element = [&writer](const QString& name, const auto& fill) {
        writer.writeStartElement(name);
        fill();
        writer.writeEndElement();
    };
    const auto text = [&writer](const QString& name, const QString& value) {
        writer.writeTextElement(name, value);
    };
    element(u"Task"_s, [&] {
        writer.writeAttribute(u"version"_s, u"1.2"_s);
        writer.writeDefaultNamespace(u"http://schemas.microsoft.com/windows/2004/02/mit/task"_s);
        element(u"RegistrationInfo"_s, [&] {
            text(u"Description"_s, u"Backup harian database pendataan oleh Ranupa Helper. Dibuat "
                                   u"dengan --schedule; hapus dengan --schedule-off."_s);
        });
        element(u"Triggers"_s, [&] {
            element(u"CalendarTrigger"_s, [&] {
                text(u"StartBoundary"_s, QDateTime(firstDay, backup.at).toString(Qt::ISODate));
                text(u"Enabled"_s, u"true"_s);
                element(u"ScheduleByDay"_s, [&] { text(u"DaysInterval"_s, u"1"_s); });
            });
        });
        element(u"Principals"_s, [&] {
            element(u"Principal"_s, [&] {
                writer.writeAttribute(u"id"_s, u"Author"_s);
                text(u"LogonType"_s, u"InteractiveToken"_s);
                text(u"RunLevel"_s, u"LeastPrivilege"_s);
            });
        });
        element(u"Settings"_s, [&] {
            text(u"MultipleInstancesPolicy"_s, u"IgnoreNew"_s);
            text(u"DisallowStartIfOnBatteries"_s, u"false"_s);
            text(u"StopIfGoingOnBatteries"_s, u"false"_s);
            text(u"StartWhenAvailable"_s, u"true"_s);
            text(u"ExecutionTimeLimit"_s, u"PT12H"_s);
            text(u"Enabled"_s, u"true"_s);
        });
        element(u"Actions"_s, [&] {
            writer.writeAttribute(u"Context"_s, u"Author"_s);
            element(u"Exec"_s, [&] {
                text(u"Command"_s, QDir::toNativeSeparators(backup.program));
                text(u"Arguments"_s, arguments.join(u' '));
                text(u"WorkingDirectory"_s, QDir::toNativeSeparators(backup.installDir));
            });
        });
    });
    return xml + u'\n';
}

} // namespace ranupa
