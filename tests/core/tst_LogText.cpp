#include "TestSupport.h"

#include "core/DiagnosticLog.h"
#include "core/LogText.h"
#include "core/ThrottledLog.h"

#include <QtTest>

using namespace Warden;

class LogTextTest : public QObject {
    Q_OBJECT

private slots:
    void logText_data();
    void logText();
    void throttledLog_summarisesEachWindowAndStartsAfresh();
    void appLog_followsItsPathWhenMovedOrDeleted_data();
    void appLog_followsItsPathWhenMovedOrDeleted();
};

void LogTextTest::logText_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("limit");
    QTest::addColumn<QByteArray>("logged");
    const int none = 1 << 30;
    QTest::newRow("printable ASCII") << QByteArray("<13>Dec  7 rack1 {ok} ~") << none
                                     << QByteArray("<13>Dec  7 rack1 {ok} ~");
    QTest::newRow("line ends and tab") << QByteArray("a\r\n\tb") << none << QByteArray("a\\r\\n\\tb");
    QTest::newRow("other C0 controls and DEL")
        << QByteArray("\x01\x07\x1b\x1f\x7f", 5) << none << QByteArray("\\x01\\x07\\x1b\\x1f\\x7f");
    QTest::newRow("backslash") << QByteArray("\\x1b") << none << QByteArray("\\\\x1b");
    QTest::newRow("two-, three- and four-byte UTF-8")
        << QByteArray("é€😀 руб.") << none << QByteArray("é€😀 руб.");
    QTest::newRow("C1 control in UTF-8 (CSI)") << QByteArray("\xc2\x9b"
                                                             "2J \xc2\xa0")
                                               << none
                                               << QByteArray("\\xc2\\x9b"
                                                             "2J \xc2\xa0");
    QTest::newRow("lone continuation and truncated sequence")
        << QByteArray("\x80 \xe2\x82") << none << QByteArray("\\x80 \\xe2\\x82");
    QTest::newRow("overlong, surrogate and beyond U+10FFFF")
        << QByteArray("\xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80") << none
        << QByteArray("\\xc0\\xaf \\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80");
    QTest::newRow("at the limit nothing is cut") << QByteArray(10, 'a') << 10 << QByteArray(10, 'a');
    QTest::newRow("past the limit the rest is counted")
        << QByteArray(25, 'a') << 10 << QByteArray(10, 'a') + " ... [15 bytes cut]";
    QTest::newRow("escapes count against the limit")
        << QByteArray(8, '\n') << 10 << QByteArray("\\n\\n\\n\\n\\n ... [3 bytes cut]");
    QTest::newRow("a UTF-8 character is not split")
        << QByteArray("aaaaaaaaa€b") << 10 << QByteArray("aaaaaaaaa€ ... [1 bytes cut]");
}

void LogTextTest::logText() {
    QFETCH(QByteArray, text);
    QFETCH(int, limit);
    QFETCH(QByteArray, logged);
    QCOMPARE(Warden::logText(text, limit), logged);
    if (limit == 1 << 30) {
        QByteArray appended = "prefix ";
        appendLogText(appended, text);
        QCOMPARE(appended, "prefix " + logged);
        // What the daily logs hold comes back as it came when the store is refilled at start.
        QCOMPARE(fromLogText(logged), text);
    }
}

void LogTextTest::throttledLog_summarisesEachWindowAndStartsAfresh() {
    Test::ScopedWorkDir dir;
    ThrottledLog log(3, 200, "things");
    for (int i = 0; i < 10; ++i)
        log.write("first window " + QByteArray::number(i) + "\n");
    QCOMPARE(Test::appLog().count("first window"), 3);
    // The summary comes when the window ends, without waiting for another line.
    QTRY_VERIFY(Test::appLog().contains(": 7 things not logged\n"));
    log.write("second window\n");
    QVERIFY(Test::appLog().endsWith("second window\n"));
}

void LogTextTest::appLog_followsItsPathWhenMovedOrDeleted_data() {
    QTest::addColumn<QString>("moved"); // empty: deleted
    QTest::newRow("rotated aside") << QStringLiteral("app.log.1");
    QTest::newRow("deleted") << QString();
}

void LogTextTest::appLog_followsItsPathWhenMovedOrDeleted() {
    QFETCH(QString, moved);
    Test::ScopedWorkDir dir;
    DiagnosticLog::write("before\n");
    QVERIFY(moved.isEmpty() ? QFile::remove(QStringLiteral("app.log"))
                            : QFile::rename(QStringLiteral("app.log"), moved));
    DiagnosticLog::write("after\n");
    QCOMPARE(Test::appLog(), QByteArray("after\n"));
    if (!moved.isEmpty())
        QVERIFY(Test::readFile(moved).endsWith("before\n"));
}

QTEST_GUILESS_MAIN(LogTextTest)
#include "tst_LogText.moc"
