#include "core/files/history.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>
#include <QStandardPaths>
#include <array>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

// The words of the line format, in the order of their enums; never translated, since older and
// newer versions of the program read the same file.
constexpr std::array<QStringView, 3> kindWords{u"backup", u"restore", u"verify"};
constexpr std::array<QStringView, 3> originWords{u"window", u"command-line", u"schedule"};
constexpr std::array<QStringView, 3> resultWords{u"succeeded", u"failed", u"cancelled"};
constexpr int fieldCount = 9;

template <typename Enum, std::size_t N>
std::optional<Enum> fromWord(const std::array<QStringView, N>& words, QStringView word)
{
    const auto found = std::ranges::find(words, word);
    return found == words.end() ? std::nullopt : std::optional(Enum(found - words.begin()));
}

// A field holds any text: the separators it could hold are written as escapes.
QString escaped(QString text)
{
    return text.replace(u'\\', u"\\\\"_s)
        .replace(u'\t', u"\\t"_s)
        .replace(u'\n', u"\\n"_s)
        .replace(u'\r', u"\\r"_s);
}

QString unescaped(QStringView field)
{
    QString text;
    text.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] != u'\\' || i + 1 == field.size()) {
            text += field[i];
            continue;
        }
        const QChar next = field[++i];
        text += next == u't' ? u'\t' : next == u'n' ? u'\n' : next == u'r' ? u'\r' : next;
    }
    return text;
}

QStringList historyLines(const QString& file)
{
    QFile in(file);
    return in.open(QIODevice::ReadOnly)
               ? QString::fromUtf8(in.readAll()).split(u'\n', Qt::SkipEmptyParts)
               : QStringList();
}

} // namespace

QString historyFilePath()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
        .filePath(u"riwayat.txt"_s);
}

QString historyLine(const RunRecord& record)
{
    // With its offset, so that a line reads the same after a move to another time zone.
    const QDateTime started = record.started.toOffsetFromUtc(record.started.offsetFromUtc());
    const QStringList fields{started.toString(Qt::ISODate),
                             kindWords[std::size_t(record.kind)].toString(),
                             originWords[std::size_t(record.origin)].toString(),
                             resultWords[std::size_t(record.result)].toString(),
                             record.tried ? u"tried"_s : u"untried"_s,
                             QString::number(record.durationMs),
                             QString::number(record.fileSize),
                             escaped(record.filePath),
                             escaped(record.cause)};
    return fields.join(u'\t');
}

std::optional<RunRecord> recordFromLine(QStringView line)
{
    const QList<QStringView> fields = line.split(u'\t');
    if (fields.size() != fieldCount) {
        return std::nullopt;
    }
    RunRecord record;
    record.started = QDateTime::fromString(fields[0].toString(), Qt::ISODate);
    const auto kind = fromWord<OperationKind>(kindWords, fields[1]);
    const auto origin = fromWord<RunOrigin>(originWords, fields[2]);
    const auto result = fromWord<RunResult>(resultWords, fields[3]);
    bool durationRead = false;
    bool sizeRead = false;
    record.durationMs = fields[5].toLongLong(&durationRead);
    record.fileSize = fields[6].toLongLong(&sizeRead);
    const bool tried = fields[4] == u"tried";
    if (!record.started.isValid() || !kind || !origin || !result ||
        (!tried && fields[4] != u"untried") || !durationRead || !sizeRead) {
        return std::nullopt;
    }
    record.kind = *kind;
    record.origin = *origin;
    record.result = *result;
    record.tried = tried;
    record.filePath = unescaped(fields[7]);
    record.cause = unescaped(fields[8]);
    return record;
}

bool appendToHistory(const RunRecord& record, QString& problem, const QString& file)
{
    if (!QDir().mkpath(QFileInfo(file).absolutePath())) {
        problem = u"Folder %1 tidak dapat dibuat."_s.arg(
            QDir::toNativeSeparators(QFileInfo(file).absolutePath()));
        return false;
    }
    // Two runs that end at once (the window and a scheduled run on different servers) take
    // turns, so that neither line is lost.
    QLockFile lock(file + u".lock"_s);
    if (!lock.tryLock(10'000)) {
        problem = u"Riwayat sedang dipakai oleh program lain."_s;
        return false;
    }
    QStringList lines = historyLines(file);
    lines.append(historyLine(record));
    lines = lines.mid(std::max<qsizetype>(0, lines.size() - historyLimit));
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write((lines.join(u'\n') + u'\n').toUtf8()) < 0 ||
        !out.commit()) {
        problem = out.errorString();
        return false;
    }
    return true;
}

QList<RunRecord> readHistory(const QString& file)
{
    QList<RunRecord> records;
    for (const QString& line : historyLines(file)) {
        if (const std::optional<RunRecord> record = recordFromLine(line)) {
            records.append(*record);
        }
    }
    return records;
}

} // namespace ranupa
