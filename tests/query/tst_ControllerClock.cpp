#include "TestSupport.h"
#include "core/ClockText.h"
#include "query/ControllerClock.h"

#include <QTest>

using namespace Warden;
using namespace Warden::Business;
using Warden::Test::localSeconds;

class tst_ControllerClock : public QObject {
    Q_OBJECT

private slots:
    void getTime_data();
    void getTime();
    void getTime_daylightSavingGap_reportedAndUsed();
};

namespace {
const qint64 cellTime = localSeconds(2026, 12, 6, 16, 31, 11);
const QByteArray clockCell = "<tr><td>16:31:11 2026/12/06<!-- controller clock, hours up --></td></tr>";
} // namespace

void tst_ControllerClock::getTime_data() {
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<qint64>("host");
    QTest::addColumn<qint64>("time"); // -2: the host time
    QTest::addColumn<qint64>("uptime");
    QTest::addColumn<QByteArray>("logged"); // empty: no complaint at all

    const qint64 host = -2;
    QTest::newRow("clock cell before comment gives its local time")
        << clockCell << cellTime + 5 << cellTime << qint64(-1) << QByteArray();
    QTest::newRow("cell opened inside the comment is found")
        << QByteArray("<!-- status <td>16:31:11 2026/12/06 as up -->") << cellTime << cellTime << qint64(-1)
        << QByteArray();
    QTest::newRow("the last cell before the comment counts, not the first")
        << QByteArray("<td>03:00:00 2020/01/01</td><td>16:31:11 2026/12/06<!-- s up -->") << cellTime
        << cellTime << qint64(-1) << QByteArray();
    QTest::newRow("controller 30 minutes behind is still believed")
        << clockCell << cellTime + 1800 << cellTime << qint64(-1) << QByteArray();
    QTest::newRow("controller 31 minutes behind is replaced by the host")
        << clockCell << cellTime + 1860 << host << qint64(-1)
        << QByteArray("getTime() error: current controller's time " + clockText(cellTime) +
                      " differs more then 30 minutes from current host time " + clockText(cellTime + 1860) +
                      ", read values ( 16 31 11 2026 12 6 ) of 16:31:11 2026/12/06<!-- contro\n");
    QTest::newRow("controller 31 minutes ahead is replaced by the host")
        << clockCell << cellTime - 1860 << host << qint64(-1) << QByteArray("differs more then 30 minutes");
    QTest::newRow("uptime form allows hours beyond a day")
        << QByteArray("<td>Uptime 26:03:04<!-- s up -->") << cellTime << host
        << qint64(26 * 3600 + 3 * 60 + 4) << QByteArray();
    QTest::newRow("uptime form rejects 60 minutes")
        << QByteArray("<td>Uptime 26:60:04<!-- s up -->") << cellTime << qint64(0) << qint64(-1)
        << QByteArray(
               "getTime() error: incorrect parse results ( 26 60 4 ) of Uptime 26:60:04<!-- s up -->\n");
    QTest::newRow("uptime label without a time is no uptime of zero")
        << QByteArray("<td>Uptime<!-- s up -->") << cellTime << qint64(0) << qint64(-1)
        << QByteArray("getTime() error: incorrect parse results ( -1 -1 -1 )");
    QTest::newRow("clock form rejects hour 25 and names all six values")
        << QByteArray("<td>25:00:00 2026/12/06<!-- s up -->") << cellTime << qint64(0) << qint64(-1)
        << QByteArray("getTime() error: incorrect parse results ( 25 0 0 2026 12 6 ) of 25:00:00 "
                      "2026/12/06<!-- s up -\n");
    QTest::newRow("clock without a date is rejected")
        << QByteArray("<td>16:31:11<!-- s up -->") << cellTime << qint64(0) << qint64(-1)
        << QByteArray("incorrect parse results ( 16 31 11 0 0 0 )");
    QTest::newRow("February 30 is reported and used as March 2")
        << QByteArray("<td>12:00:00 2026/02/30<!-- s up -->") << localSeconds(2026, 3, 2, 12, 0, 0)
        << localSeconds(2026, 3, 2, 12, 0, 0) << qint64(-1)
        << QByteArray("getTime() error: created time doesn't satisfy source parameters: 126/2/2 12:0:0 != "
                      "126/1/30 12:0:0 (" +
                      clockText(localSeconds(2026, 3, 2, 12, 0, 0)) +
                      ") of 12:00:00 2026/02/30<!-- s up -\n");
    QTest::newRow("lowest year cannot be converted: the host's time")
        << QByteArray("<td>16:31:11 -2147483648/12/06<!-- s up -->") << cellTime << host << qint64(-1)
        << QByteArray("getTime() error: cannot create correct time from parse results ( 16 31 11 -2147483648 "
                      "12 6 )");
    QTest::newRow("no comment logs the whole page")
        << QByteArray("<html>no clock</html>") << cellTime << qint64(0) << qint64(-1)
        << QByteArray("getTime() error: cannot find \"s up -->\" in <html>no clock</html>\n");
    QTest::newRow("a large page without the comment is cut in the line")
        << QByteArray(20000, 'p') << cellTime << qint64(0) << qint64(-1)
        << QByteArray("getTime() error: cannot find \"s up -->\" in " + QByteArray(300, 'p') +
                      " ... [19700 bytes cut]\n");
    QTest::newRow("a cell only after the comment is not found")
        << QByteArray("clocks up --><td>16:31:11 2026/12/06") << cellTime << qint64(0) << qint64(-1)
        << QByteArray("getTime() error: cannot find \"<td>\" in clock\n");
    QTest::newRow("empty page") << QByteArray() << cellTime << qint64(0) << qint64(-1)
                                << QByteArray("getTime() error: cannot find \"s up -->\" in \n");
}

void tst_ControllerClock::getTime() {
    QFETCH(QByteArray, page);
    QFETCH(qint64, host);
    QFETCH(qint64, time);
    QFETCH(qint64, uptime);
    QFETCH(QByteArray, logged);
    Test::ScopedWorkDir dir;
    Test::ManualClock clock(host);

    const ControllerTime result = Business::getTime(page);

    QCOMPARE(result.time, time == -2 ? host : time);
    QCOMPARE(result.uptime, uptime);
    const QByteArray log = Test::appLog();
    if (logged.isEmpty())
        QVERIFY2(!log.contains("getTime()"), log.constData());
    else
        QVERIFY2(log.contains(logged), log.constData());
}

void tst_ControllerClock::getTime_daylightSavingGap_reportedAndUsed() {
    const qint64 converted = localSeconds(2026, 3, 29, 2, 30, 0);
    const auto back = localTime(converted);
    QVERIFY(back);
    if (back->tm_hour == 2)
        QSKIP("the local zone has no daylight-saving gap at 2026-03-29 02:30");
    Test::ScopedWorkDir dir;
    Test::ManualClock clock(converted);

    const ControllerTime result = Business::getTime("<td>02:30:00 2026/03/29<!-- s up -->");

    QCOMPARE(result.time, converted);
    QVERIFY(Test::appLog().contains("doesn't satisfy source parameters: 126/2/29 3:30:0 != 126/2/29 2:30:0"));
}

QTEST_GUILESS_MAIN(tst_ControllerClock)
#include "tst_ControllerClock.moc"
