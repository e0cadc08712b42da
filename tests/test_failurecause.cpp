// The cause sentence the operator reads, from what the tools said.
#include "core/files/backupfiles.h"
#include "core/pg/toolrunner.h"
#include "core/pg/tools.h"

#include <QTest>
#include <cerrno>

using namespace Qt::StringLiterals;
using ranupa::FailureCause;

class FailureCauseTest final : public QObject
{
    Q_OBJECT

private slots:
    void toolMessagesName_data();
    void toolMessagesName();
    void fileErrorsNameTheirCauseByCode_data();
    void fileErrorsNameTheirCauseByCode();
    void everyFailureHasASentence();
};

void FailureCauseTest::toolMessagesName_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<FailureCause>("cause");
    // As PostgreSQL 15's tools word them.
    QTest::newRow("refused TCP")
        << u"pg_dump: error: connection to server at \"localhost\" (127.0.0.1), port 1 failed: "
           u"Connection refused\n\tIs the server running on that host and accepting TCP/IP "
           u"connections?"_s
        << FailureCause::ServerUnreachable;
    // The password case also says the connection failed; the password is the cause to name.
    QTest::newRow("password wanted")
        << u"psql: error: connection to server at \"localhost\" (127.0.0.1), port 5432 failed: "
           u"fe_sendauth: no password supplied"_s
        << FailureCause::PasswordRequired;
    QTest::newRow("server disk full")
        << u"pg_restore: error: could not execute query: ERROR:  could not extend file "
           u"\"base/16384/16390\": No space left on device"_s
        << FailureCause::DiskFull;
    QTest::newRow("connections keep coming back")
        << u"psql: error: ERROR:  database \"pendataan\" is being accessed by other users\n"
           u"DETAIL:  There is 1 other session using the database."_s
        << FailureCause::DatabaseInUse;
    // Not a client that comes back: one no waiting ends, an administrator must (met at the swap).
    QTest::newRow("prepared transaction")
        << u"psql:<stdin>:9: ERROR:  database \"pendataan\" is being accessed by other users\n"
           u"DETAIL:  There is 1 prepared transaction using the database."_s
        << FailureCause::PreparedTransaction;
    QTest::newRow("SSL required, none offered")
        << u"psql: error: connection to server at \"localhost\" (127.0.0.1), port 5432 failed: "
           u"server does not support SSL, but SSL was required"_s
        << FailureCause::SslRequired;
    QTest::newRow("anything else")
        << u"pg_restore: error: unsupported version (1.16)"_s << FailureCause::Unknown;
}

void FailureCauseTest::toolMessagesName()
{
    QFETCH(QString, output);
    QFETCH(FailureCause, cause);
    QCOMPARE(ranupa::causeFromToolText(output), cause);
    ranupa::ToolResult result;
    result.started = true;
    result.exitCode = 1;
    result.rawOutput = output.toLocal8Bit();
    QCOMPARE(ranupa::causeFromToolResult(result), cause);
}

void FailureCauseTest::fileErrorsNameTheirCauseByCode_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text"); // in whatever language the system speaks
    QTest::addColumn<FailureCause>("cause");
    QTest::newRow("disk full, German") << ENOSPC
                                       << u"Auf dem Gerät ist kein Speicherplatz mehr "
                                          u"verfügbar"_s
                                       << FailureCause::DiskFull;
    QTest::newRow("quota, Indonesian")
        << EDQUOT << u"Kuota disk terlampaui"_s << FailureCause::DiskFull;
    QTest::newRow("file too large")
        << EFBIG << u"Berkas terlalu besar"_s << FailureCause::FileTooLarge;
    // The words of a full disk on another code name nothing.
    QTest::newRow("not writable") << EACCES << u"No space left on device"_s
                                  << FailureCause::DirectoryNotWritable;
}

void FailureCauseTest::fileErrorsNameTheirCauseByCode()
{
    QFETCH(int, code);
    QFETCH(QString, text);
    QFETCH(FailureCause, cause);
    const ranupa::Failure failure = ranupa::fileFailure(u"membuat file backup"_s, code, text);
    QCOMPARE(failure.cause, cause);
    QCOMPARE(failure.details, text);
}

void FailureCauseTest::everyFailureHasASentence()
{
    QCOMPARE(ranupa::causeFromToolResult(ranupa::ToolResult{}), FailureCause::ToolsMissing);
    // One sentence each, none copied from another: even a cause the program cannot tell says
    // what to do.
    QSet<QString> sentences;
    for (int c = int(FailureCause::Unknown); c <= int(FailureCause::Busy); ++c) {
        sentences << ranupa::causeText(FailureCause(c), u"5432"_s);
    }
    QCOMPARE(sentences.size(), int(FailureCause::Busy) + 1);
    QVERIFY(!sentences.contains(QString()));
    QVERIFY(ranupa::causeText(FailureCause::ServerUnreachable, u"5433"_s).contains(u"5433"_s));
    QVERIFY(ranupa::causeText(FailureCause::Unknown).contains(u"rincian"_s));

    // Under the message: the cause first, then whether pendataan is unchanged when that is so.
    const QString unchanged = u"Database pendataan tidak diubah."_s;
    for (const FailureCause cause : {FailureCause::Busy, FailureCause::Unknown}) {
        QCOMPARE(ranupa::failureSummary(cause, {}, true),
                 ranupa::causeText(cause) + u'\n' + unchanged);
        QCOMPARE(ranupa::failureSummary(cause, {}, false), ranupa::causeText(cause));
    }
}

QTEST_GUILESS_MAIN(FailureCauseTest)
#include "test_failurecause.moc"
