#include "TestSupport.h"

#include "core/Application.h"
#include "core/ClockText.h"

#include <QtTest>

#include <ctime>

using namespace Warden::Business;
using Warden::Test::appLog;
using Warden::Test::ScopedWorkDir;

class RecordsTest : public QObject {
    Q_OBJECT

private slots:
    void displayName_data();
    void displayName();
    void periods_data();
    void periods();
    void timeBookkeeping_logsWhenTimeDoesNotMoveForward();
    void report_twiceWithoutCheck_logsAndKeepsLastCheck();
    void report_beforeAnyCheck_letsPruningGoOn();
    void modelTable_twoBusesOnlyForKestrel();
    void clockText_matchesAsctime_data();
    void clockText_matchesAsctime();
};

void RecordsTest::displayName_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("with port") << 0 << 8080 << QByteArray("rack1 : Kestrel 2 @ 10.0.0.5:8080");
    QTest::newRow("port 0 shows none") << 0 << 0 << QByteArray("rack1 : Kestrel 2 @ 10.0.0.5");
    QTest::newRow("last model") << 6 << 80 << QByteArray("rack1 : Wren @ 10.0.0.5:80");
    QTest::newRow("type outside table") << 7 << 0 << QByteArray("rack1 :  @ 10.0.0.5");
    QTest::newRow("negative type") << -1 << 0 << QByteArray("rack1 :  @ 10.0.0.5");
}

void RecordsTest::displayName() {
    QFETCH(int, type);
    QFETCH(int, port);
    QFETCH(QByteArray, expected);
    const Controller c("rack1", type, "10.0.0.5", static_cast<quint16>(port), "root", "pw");
    QCOMPARE(c.displayName(), expected);
}

void RecordsTest::periods_data() {
    QTest::addColumn<uint>("unit");
    QTest::addColumn<uint>("units");
    QTest::addColumn<uint>("check");
    QTest::addColumn<uint>("report");
    QTest::newRow("no unit: no checks") << 0u << 1u << 0u << 0u;
    QTest::newRow("5 minutes") << 60u << 5u << 300u << 300u;
    QTest::newRow("2 weeks: check capped at a day") << 604800u << 2u << 86400u << 1209600u;
    QTest::newRow("31 days: report capped at a month") << 86400u << 31u << 86400u << 2592000u;
    QTest::newRow("exactly a day") << 86400u << 1u << 86400u << 86400u;
    // 3600 * 1193047 wraps past 2^32 to 1904 seconds: the product is 32-bit like it always was.
    QTest::newRow("product wraps before the cap") << 3600u << 1193047u << 1904u << 1904u;
}

void RecordsTest::periods() {
    QFETCH(uint, unit);
    QFETCH(uint, units);
    QFETCH(uint, check);
    QFETCH(uint, report);
    ReportSettings s;
    s.checkEveryUnit = s.reportEveryUnit = unit;
    s.checkEveryUnits = s.reportEveryUnits = units;
    QCOMPARE(s.checkPeriod(), check);
    QCOMPARE(s.reportPeriod(), report);
}

void RecordsTest::timeBookkeeping_logsWhenTimeDoesNotMoveForward() {
    ScopedWorkDir dir;
    Controller c("c", 2, "h", 0, "a", "p");
    c.check(1000);
    c.log();
    QVERIFY(!appLog().contains("error"));
    c.check(1000); // same second counts as going back
    QCOMPARE(c.lastCheck, 1000);
    QVERIFY(appLog().contains("Controller::check() error: new check time "));
    QVERIFY(appLog().contains(" is earlier than previous checking "));
    c.check(500);
    QCOMPARE(c.lastCheck, 500); // applied anyway
    c.log();
    QCOMPARE(c.lastLog, 500);
    QVERIFY(appLog().contains("Controller::log() error: new log time "));
}

void RecordsTest::report_twiceWithoutCheck_logsAndKeepsLastCheck() {
    ScopedWorkDir dir;
    Controller c("c", 2, "h", 0, "a", "p");
    c.check(2000);
    c.report();
    QVERIFY(!appLog().contains("Controller::report() error"));
    c.report();
    QCOMPARE(c.lastReport, 2000);
    QCOMPARE(appLog().count("Controller::report() error: new report time "), 1);
    QVERIFY(appLog().endsWith(" is earlier than previous logging " + Warden::clockText(2000) + "\n"));
}

void RecordsTest::report_beforeAnyCheck_letsPruningGoOn() {
    // A controller whose clock never reads (or that was just edited) has no check time: its reported
    // events must still leave the store.
    ScopedWorkDir dir;
    Warden::Test::ManualClock clock(10000);
    Application app;
    Controller& c = app.controllers.emplace_back("c", 2, "h", 0, "a", "p");
    for (int i = 0; i < 25; ++i)
        app.addEvent({}, 1000 + i, c.id, EventKind::values, Transport::http, "r", "raw");

    app.markReported(c);
    app.prune();

    QCOMPARE(c.lastReport, 10000);
    QCOMPARE(appLog().count("Controller::report() error: new report time "), 1);
    QCOMPARE(app.getEventCount(), 20);
}

void RecordsTest::modelTable_twoBusesOnlyForKestrel() {
    QCOMPARE(Application::modelNames().size(), std::size_t(7));
    QVERIFY(Application::hasTwoBuses(0));
    QVERIFY(Application::hasTwoBuses(1));
    for (int type = 2; type <= 7; ++type)
        QVERIFY2(!Application::hasTwoBuses(type), qPrintable(QString::number(type)));
    QCOMPARE(Application::unitNames().at(2592000), QByteArray("Month"));
}

void RecordsTest::clockText_matchesAsctime_data() {
    QTest::addColumn<qint64>("time");
    QTest::newRow("epoch") << qint64(0);
    QTest::newRow("single-digit day") << qint64(1796574671); // early December 2026
    QTest::newRow("two-digit day, noon") << qint64(1797163200);
    QTest::newRow("leap day") << qint64(1709208000);
    QTest::newRow("after 2038") << qint64(2300000000);
    QTest::newRow("before 1970") << qint64(-86400 * 400);
    QTest::newRow("summer time change") << qint64(1792800000);
}

void RecordsTest::clockText_matchesAsctime() {
    QFETCH(qint64, time);
    const std::time_t t = static_cast<std::time_t>(time);
    std::tm tm{};
    QVERIFY(localtime_r(&t, &tm));
    char buffer[64];
    QVERIFY(asctime_r(&tm, buffer));
    QByteArray expected(buffer);
    expected.chop(1); // asctime's line feed
    QCOMPARE(Warden::clockText(time), expected);
    QCOMPARE(Warden::clockText(time), expected); // and again from the cache
    QCOMPARE(Warden::ctimeText(time), expected + "\n");
}

QTEST_GUILESS_MAIN(RecordsTest)
#include "tst_Records.moc"
