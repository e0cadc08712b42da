#include <QDirIterator>
#include <QRegularExpression>
#include <QtTest>

using namespace Qt::StringLiterals;

// The operator reads one language, in the words of the README's glossary, and the guide quotes the
// program as it writes.
class TestTexts final : public QObject
{
    Q_OBJECT

private slots:
    void glossaryHolds_data();
    void glossaryHolds();
    void guideQuotesTheProgram_data();
    void guideQuotesTheProgram();
};

namespace {

QString read(const QString& path)
{
    QFile file(QStringLiteral(RANUPA_SOURCE_DIR) + u'/' + path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The program's sources, layouts and Qt translation as one text, the literals of a concatenation
// joined and the blanks folded, as the texts are shown.
QString programTexts()
{
    static const QRegularExpression comments(u"(^|\\s)//[^\\n]*|/\\*.*?\\*/"_s,
                                             QRegularExpression::DotMatchesEverythingOption);
    QString all;
    QDirIterator it(QStringLiteral(RANUPA_SOURCE_DIR "/app"), {u"*.cpp"_s, u"*.h"_s, u"*.ui"_s},
                    QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        all += read(it.next().mid(qstrlen(RANUPA_SOURCE_DIR) + 1)).remove(comments) + u'\n';
    }
    // Of the translation, only its Indonesian side.
    static const QRegularExpression translation(u"<translation>[^<]*</translation>"_s);
    for (const QRegularExpressionMatch& match :
         translation.globalMatch(read(u"app/translations/qtbase_id.ts"_s))) {
        all += match.captured() + u'\n';
    }
    static const QRegularExpression joined(u"\"\\s*u?\""_s), blanks(u"\\s+"_s);
    return all.replace(u"&apos;"_s, u"'"_s)
        .replace(u"\\n"_s, u" "_s)
        .remove(joined)
        .replace(blanks, u" "_s);
}

// Whether `quoted` is a text the program puts together from one of its own with %1, %2, ... such
// as "Langkah %1 dari %2: %3", filled in with numbers or with texts of its own.
bool composedByTheProgram(const QString& quoted, const QString& texts)
{
    static const QRegularExpression withPlaceholders(u"\"([^\"]*%\\d[^\"]*)\""_s),
        placeholder(u"%\\d"_s), number(u"^[\\d.,]+$"_s);
    for (const QRegularExpressionMatch& format : withPlaceholders.globalMatch(texts)) {
        QStringList fixed = format.captured(1).split(placeholder);
        for (QString& part : fixed) {
            part = QRegularExpression::escape(part);
        }
        const QRegularExpressionMatch filled =
            QRegularExpression(u"^"_s + fixed.join(u"(.+)"_s) + u"$"_s).match(quoted);
        bool ownFilling = filled.hasMatch();
        for (int i = 1; ownFilling && i <= filled.lastCapturedIndex(); ++i) {
            const QString filling = filled.captured(i);
            ownFilling = number.match(filling).hasMatch() || texts.contains(u'"' + filling + u'"');
        }
        if (ownFilling) {
            return true;
        }
    }
    return false;
}

} // namespace

void TestTexts::glossaryHolds_data()
{
    QTest::addColumn<QString>("form"); // one to avoid, in a quoted or translated text
    QTest::newRow("folder") << u"[Dd]irektori"_s;
    QTest::newRow("di-backup, di-restore") << u"[Dd]i(backup|restore)"_s;
    QTest::newRow("a verb the glossary lacks") << u"[Mm]em?backup|[Mm]erestore"_s;
    QTest::newRow("objek besar") << u"large objects?"_s;
    QTest::newRow("the output's names") << u"standard (error|output|input)"_s;
}

void TestTexts::glossaryHolds()
{
    QFETCH(QString, form);
    // Texts of the windows as first designed, kept exactly.
    const QString fixed = u"Pilih direktori tujuan kemudian klik tombol 'Backup'"_s;
    const QRegularExpression quoted(
        u"(\"|<translation>|<string>)[^\"<]*\\b(%1)\\b[^\"<]*"_s.arg(form));
    QString texts = programTexts();
    QVERIFY2(texts.contains(fixed), "the sources were not read, or a fixed text was changed");
    texts.remove(fixed);
    QStringList found;
    for (const QRegularExpressionMatch& match : quoted.globalMatch(texts)) {
        found << match.captured();
    }
    QVERIFY2(found.isEmpty(), qPrintable(found.join(u'\n')));
}

void TestTexts::guideQuotesTheProgram_data()
{
    QTest::addColumn<QString>("quoted"); // "..." stands for what the program fills in
    static const QRegularExpression codeBlocks(u"```.*?```"_s,
                                               QRegularExpression::DotMatchesEverythingOption),
        blanks(u"\\s+"_s), quote(u"(?:(\\S+) )?\"([^\"]+)\""_s),
        causes(u"\\| penyebab yang disebut pesan \\|.*?\\n\\n"_s,
               QRegularExpression::DotMatchesEverythingOption);
    const QString guide = read(u"docs/panduan.md"_s).remove(codeBlocks);
    QVERIFY2(causes.match(guide).hasMatch(), "the guide's table of failures is not there");
    // Windows's own texts, and examples of what the program fills in ("misalnya ...").
    const QStringList others = {u"Extract All..."_s, u"Cancel"_s, u"Start in"_s};
    QStringList quotes;
    for (const QRegularExpressionMatch& match :
         quote.globalMatch(QString(guide).replace(blanks, u" "_s))) {
        if (!match.captured(1).endsWith(u"misalnya"_s) && !others.contains(match.captured(2))) {
            quotes << match.captured(2);
        }
    }
    // The causes the table of failures names.
    for (const QString& row : causes.match(guide).captured().split(u'\n').mid(2)) {
        quotes << row.section(u'|', 1, 1).split(u" / "_s, Qt::SkipEmptyParts);
    }
    quotes.removeDuplicates();
    for (const QString& quoted : quotes) {
        QTest::newRow(qPrintable(quoted.trimmed())) << quoted;
    }
}

void TestTexts::guideQuotesTheProgram()
{
    QFETCH(QString, quoted);
    static const QString texts = programTexts();
    for (const QString& part : quoted.split(u"..."_s, Qt::SkipEmptyParts)) {
        QVERIFY2(texts.contains(part.trimmed()) || composedByTheProgram(part.trimmed(), texts),
                 qPrintable(part));
    }
}

QTEST_GUILESS_MAIN(TestTexts)
#include "test_texts.moc"
