#include "TestSupport.h"
#include "core/Application.h"
#include "core/ClockText.h"
#include "query/ControllerLogs.h"

#include <QTest>

#include <algorithm>
#include <numeric>

using namespace Warden;
using namespace Warden::Business;
using Warden::Test::localSeconds;

class tst_ControllerLogs : public QObject {
    Q_OBJECT

private slots:
    void loadComments_data();
    void loadComments();
    void loadComments_addedAgainAtEveryCheck();
    void moreLoadCommentsThanBuses_noReadingsOneLine_data();
    void moreLoadCommentsThanBuses_noReadingsOneLine();
    void logRows_data();
    void logRows();
    void secondCheck_addsOnlyNewerRows();
    void failedReadOrEdit_bringsNoStoredRowBack_data();
    void failedReadOrEdit_bringsNoStoredRowBack();
    void impossibleValues_oneLinePerCheck();
    void rowsPastTheBudget_takenOldestFirstOverChecks_data();
    void rowsPastTheBudget_takenOldestFirstOverChecks();
    void repeatedProblems_countedNotRepeated_data();
    void repeatedProblems_countedNotRepeated();
    void unknownController_leavesStateAlone();
};

namespace {

Controller& addController(Application& app, std::vector<ChannelSettings> channels = {}, qint32 type = 0) {
    Controller& c = app.controllers.emplace_back("rack1", type, "10.0.0.9", 0, "admin", "pw");
    c.channels = std::move(channels);
    return c;
}

// "kind|reason|raw" of every event, sorted, so same-second events compare whatever their order.
QByteArrayList eventTexts(const Application& app, bool withTime = false) {
    QByteArrayList texts;
    for (const auto& [key, event] : app.events.events()) {
        QByteArray text = QByteArray::number(int(event.kind)) + '|';
        if (withTime)
            text += QByteArray::number(event.time) + '|';
        texts.append(text + event.reason + '|' + event.raw);
    }
    std::sort(texts.begin(), texts.end());
    return texts;
}

QByteArrayList sorted(QByteArrayList list) {
    std::sort(list.begin(), list.end());
    return list;
}

// A syslog page whose clock shows `t` as local time.
QByteArray clockPage(qint64 t, const QByteArray& rows) {
    const auto tm = localTime(t);
    char cell[64];
    std::snprintf(cell, sizeof cell, "%02d:%02d:%02d %d/%02d/%02d", tm->tm_hour, tm->tm_min, tm->tm_sec,
                  tm->tm_year + 1900, tm->tm_mon + 1, tm->tm_mday);
    return "<table><tr><td>" + QByteArray(cell) + "<!-- clock, hours up --></td></tr></table>\n" + rows;
}

QByteArray row(const QByteArray& text) {
    return "<tr><td nowrap>" + text + "</td></tr>\n";
}

const QByteArray heading = "<!-- heading table --><tr><th>Event</th></tr><!-- /heading table -->\n";

QByteArrayList containing(const QByteArrayList& lines, const QByteArray& text) {
    QByteArrayList found;
    for (const QByteArray& line : lines) {
        if (line.contains(text))
            found += line;
    }
    return found;
}

QByteArrayList getLogsLines() {
    return containing(Test::appLog().split('\n'), "getLogs()");
}

QByteArray repeated(const QByteArray& piece, int times) {
    QByteArray text;
    for (int i = 0; i < times; ++i)
        text += piece;
    return text;
}

// "h:mm:ss" of a number of seconds, as a controller without a clock shows its uptime.
QByteArray uptimeText(qint64 seconds) {
    return QByteArray::number(seconds / 3600) + ':' +
           QByteArray::number(seconds / 60 % 60).rightJustified(2, '0') + ':' +
           QByteArray::number(seconds % 60).rightJustified(2, '0');
}

} // namespace

void tst_ControllerLogs::loadComments_data() {
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<std::vector<ChannelSettings>>("channels");
    QTest::addColumn<QByteArrayList>("expected");
    QTest::addColumn<qint32>("type"); // 0: two buses, 2: one bus

    const std::vector<ChannelSettings> twoBuses{{"A", 1, 2, 0.9}, {"B", 1, 10, 1}};
    QTest::newRow("bus A above its limit gives a reading and an overcurrent")
        << QByteArray("<!-- RAW VAH=230 CAH=2.5 -->") << twoBuses
        << QByteArrayList{"4|Current loads on channel A: 230 V, 2.5 A, 517.5 W|VAH=230 CAH=2.5",
                          "2|Overcurrent on channel A|"}
        << 0;
    QTest::newRow("no channel named A: no name, limits 0, pf 1")
        << QByteArray("<!-- RAW VAH=230 CAH=2.5 -->") << std::vector<ChannelSettings>{{"", 1, 2, 0.9}}
        << QByteArrayList{"4|Current loads on channel : 230 V, 2.5 A, 575 W|VAH=230 CAH=2.5",
                          "2|Overcurrent on channel |"}
        << 0;
    QTest::newRow("one-bus model: its only channel judges the reading")
        << QByteArray("<!-- RAW VAH=230 CAH=2.5 -->") << std::vector<ChannelSettings>{{"", 1, 10, 0.9}}
        << QByteArrayList{"4|Current loads on channel : 230 V, 2.5 A, 517.5 W|VAH=230 CAH=2.5"} << 2;
    QTest::newRow("one-bus model: its only channel's minimum")
        << QByteArray("<!-- RAW VAH=230 CAH=0.5 -->") << std::vector<ChannelSettings>{{"", 1, 10, 1}}
        << QByteArrayList{"4|Current loads on channel : 230 V, 0.5 A, 115 W|VAH=230 CAH=0.5",
                          "3|Undercurrent on channel |"}
        << 2;
    QTest::newRow("one-bus model: a channel named A still wins")
        << QByteArray("<!-- RAW VAH=230 CAH=2.5 -->")
        << std::vector<ChannelSettings>{{"", 1, 10, 1}, {"A", 1, 2, 0.9}}
        << QByteArrayList{"4|Current loads on channel A: 230 V, 2.5 A, 517.5 W|VAH=230 CAH=2.5",
                          "2|Overcurrent on channel A|"}
        << 2;
    QTest::newRow("negative current is no reading")
        << QByteArray("<!-- RAW VAH=230 CAH=-2.5 -->") << twoBuses << QByteArrayList{} << 0;
    QTest::newRow("nan current is no reading, and no undercurrent")
        << QByteArray("<!-- RAW VAH=230 CAH=nan -->") << twoBuses << QByteArrayList{} << 0;
    QTest::newRow("inf voltage is no reading")
        << QByteArray("<!-- RAW VBH=inf CBH=2 -->") << twoBuses << QByteArrayList{} << 0;
    QTest::newRow("power beyond any number is no reading")
        << QByteArray("<!-- RAW VAH=1e300 CAH=1e300 -->") << twoBuses << QByteArrayList{} << 0;
    QTest::newRow("1000 A at 100 kV is still a reading")
        << QByteArray("<!-- RAW VBH=100000 CBH=1000 -->") << twoBuses
        << QByteArrayList{"4|Current loads on channel B: 100000 V, 1000 A, 1e+08 W|VBH=100000 CBH=1000",
                          "2|Overcurrent on channel B|"}
        << 0;
    QTest::newRow("current over 1000 A is no reading")
        << QByteArray("<!-- RAW VAH=230 CAH=1000.5 -->") << twoBuses << QByteArrayList{} << 0;
    QTest::newRow("voltage over 100 kV is no reading")
        << QByteArray("<!-- RAW VAH=1e308 CAH=1 -->") << twoBuses << QByteArrayList{} << 0;
    QTest::newRow("power factor above 1 is no reading")
        << QByteArray("<!-- RAW VAH=230 CAH=1 -->") << std::vector<ChannelSettings>{{"A", 0, 2, 1e300}}
        << QByteArrayList{} << 0;
    QTest::newRow("power factor below 0 is no reading")
        << QByteArray("<!-- RAW VAH=230 CAH=1 -->") << std::vector<ChannelSettings>{{"A", 0, 2, -0.5}}
        << QByteArrayList{} << 0;
    QTest::newRow("keys of bus B only are bus B, below its minimum")
        << QByteArray("x<!-- RAW VBH=231 CBH=0.5 -->y") << twoBuses
        << QByteArrayList{"4|Current loads on channel B: 231 V, 0.5 A, 115.5 W|VBH=231 CBH=0.5",
                          "3|Undercurrent on channel B|"}
        << 0;
    QTest::newRow("keys of both buses are read as bus A only")
        << QByteArray("<!-- RAW VAH=230 CAH=1.5 VBH=220 CBH=3 -->") << twoBuses
        << QByteArrayList{"4|Current loads on channel A: 230 V, 1.5 A, 310.5 W|VAH=230 CAH=1.5 VBH=220 CBH=3"}
        << 0;
    for (const QByteArray content : {"VAH=230", "VAH=230 CAH=", "VAH=230 CAH=N/A", "VAH=230 CAH=-"})
        QTest::addRow("current that cannot be read is 0 A, below the minimum: %s", content.constData())
            << "<!-- RAW " + content + " -->" << twoBuses
            << QByteArrayList{"4|Current loads on channel A: 230 V, 0 A, 0 W|" + content,
                              "3|Undercurrent on channel A|"}
            << 0;
    QTest::newRow("current past any double is no reading")
        << QByteArray("<!-- RAW VAH=230 CAH=1e999 -->") << twoBuses << QByteArrayList{} << 0;
    QTest::newRow("two comments give two readings")
        << QByteArray("<!-- RAW VAH=230 CAH=1.5 --><p><!-- RAW VBH=229.5 CBH=2 -->") << twoBuses
        << QByteArrayList{"4|Current loads on channel A: 230 V, 1.5 A, 310.5 W|VAH=230 CAH=1.5",
                          "4|Current loads on channel B: 229.5 V, 2 A, 459 W|VBH=229.5 CBH=2"}
        << 0;
    QTest::newRow("unclosed comment ends at the next one")
        << QByteArray("<!-- RAW VAH=230 CAH=1.5<!-- RAW VBH=229.5 CBH=2 -->") << twoBuses
        << QByteArrayList{"4|Current loads on channel A: 230 V, 1.5 A, 310.5 W|VAH=230 CAH=1.5",
                          "4|Current loads on channel B: 229.5 V, 2 A, 459 W|VBH=229.5 CBH=2"}
        << 0;
    QTest::newRow("unclosed last comment runs to the end of the page")
        << QByteArray("<!-- RAW VBH=229.5 CBH=2 </body>") << twoBuses
        << QByteArrayList{"4|Current loads on channel B: 229.5 V, 2 A, 459 W|VBH=229.5 CBH=2 </body>"} << 0;
    const QByteArray huge = QByteArray(10000, 'x') + " VAH=230 CAH=1.5";
    QTest::newRow("a huge comment is read whole and kept in part")
        << "<!-- RAW " + huge + " -->" << twoBuses
        << QByteArrayList{"4|Current loads on channel A: 230 V, 1.5 A, 310.5 W|" + huge.left(loadCommentKept)}
        << 0;
    QTest::newRow("empty page gives nothing") << QByteArray() << twoBuses << QByteArrayList{} << 0;
}

void tst_ControllerLogs::loadComments() {
    QFETCH(QByteArray, page);
    QFETCH(std::vector<ChannelSettings>, channels);
    QFETCH(QByteArrayList, expected);
    QFETCH(qint32, type);
    Test::ScopedWorkDir dir;
    Application app;
    Test::ManualClock clock(localSeconds(2026, 12, 6, 16, 31, 11));
    const ControllerId id = addController(app, channels, type).id;

    getLogs(app, id, page, {});

    QCOMPARE(eventTexts(app), sorted(expected));
}

void tst_ControllerLogs::loadComments_addedAgainAtEveryCheck() {
    Test::ScopedWorkDir dir;
    Application app;
    Test::ManualClock clock(localSeconds(2026, 12, 6, 16, 31, 11));
    const ControllerId id = addController(app, {{"A", 1, 2, 0.9}}).id;
    const QByteArray page = "<!-- RAW VAH=230 CAH=2.5 -->";

    getLogs(app, id, page, {});
    clock.advance(60);
    getLogs(app, id, page, {});

    QCOMPARE(app.getEventCount(), 4);
}

void tst_ControllerLogs::moreLoadCommentsThanBuses_noReadingsOneLine_data() {
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<qint32>("type");

    QTest::newRow("two-bus model, three comments")
        << QByteArray("<!-- RAW VAH=230 CAH=1 --><!-- RAW VBH=230 CBH=1 --><!-- RAW VAH=230 CAH=1 -->") << 0;
    QTest::newRow("one-bus model, two comments")
        << QByteArray("<!-- RAW VAH=230 CAH=1 --><!-- RAW VAH=230 CAH=1 -->") << 2;
    QTest::newRow("400,000 empty comments") << repeated("<!-- RAW ", 400000) << 0;
}

void tst_ControllerLogs::moreLoadCommentsThanBuses_noReadingsOneLine() {
    QFETCH(QByteArray, page);
    QFETCH(qint32, type);
    Test::ScopedWorkDir dir;
    Application app;
    Test::ManualClock clock(localSeconds(2026, 12, 6, 16, 31, 11));
    const ControllerId id = addController(app, {{"A", 1, 2, 1}, {"B", 1, 2, 1}}, type).id;

    const CheckOutcome outcome = getLogs(app, id, page, {});

    QCOMPARE(app.getEventCount(), 0);
    QVERIFY(outcome.readings.empty());
    const QByteArrayList lines = getLogsLines();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.front().contains("load comments"), lines.front().constData());
}

void tst_ControllerLogs::logRows_data() {
    QTest::addColumn<qint64>("host");
    QTest::addColumn<qint64>("prevCheck");
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<QByteArrayList>("expected"); // "kind|time||raw"
    QTest::addColumn<QByteArray>("logged");

    const qint64 july = localSeconds(2026, 7, 2, 17, 10, 30);
    const auto at = [](int kind, qint64 t, const QByteArray& raw) {
        return QByteArray::number(kind) + '|' + QByteArray::number(t) + "||" + raw;
    };
    QTest::newRow("row at the previous check is not added, one second later is")
        << july + 60 << july
        << clockPage(july + 60, heading + row("Jul  2 17:10:31 Successful authentication of admin") +
                                    row("Jul  2 17:10:30 Successful authentication of guest"))
        << QByteArrayList{at(0, july + 1, "Jul  2 17:10:31 Successful authentication of admin")}
        << QByteArray();
    QTest::newRow("kinds: failed login, successful without authentication")
        << july + 60 << qint64(0)
        << clockPage(july + 60, heading + row("Jul 2 17:10:30 Failed authentication of root") +
                                    row("Jul 2 17:10:30 Successful outlet switch"))
        << QByteArrayList{at(1, july, "Jul 2 17:10:30 Failed authentication of root"),
                          at(5, july, "Jul 2 17:10:30 Successful outlet switch")}
        << QByteArray();
    QTest::newRow("lower-case month is not a month")
        << july + 60 << qint64(0) << clockPage(july + 60, heading + row("jul 2 17:10:30 Reboot"))
        << QByteArrayList{}
        << QByteArray("Application::getLogs(): \"jul\" is not valid month in plain log text jul 2 17:10:30 "
                      "Reboot\n");
    QTest::newRow("day 0 is not a day")
        << july + 60 << qint64(0) << clockPage(july + 60, heading + row("Jul 0 17:10:30 Reboot"))
        << QByteArrayList{}
        << QByteArray(
               "Application::getLogs(): \"0\" is not valid day in plain log text Jul 0 17:10:30 Reboot\n");
    QTest::newRow("missing seconds are not a time")
        << july + 60 << qint64(0) << clockPage(july + 60, heading + row("Jul 2 17:10 Reboot"))
        << QByteArrayList{}
        << QByteArray("Application::getLogs(): \"17:10:-1\" is not valid hr::mn::sc in plain log text Jul 2 "
                      "17:10 Reboot\n");
    QTest::newRow("61 minutes carry into the next hour")
        << july + 3600 << qint64(0) << clockPage(july + 3600, heading + row("Jul 2 17:61:00 Reboot"))
        << QByteArrayList{at(5, localSeconds(2026, 7, 2, 18, 1, 0), "Jul 2 17:61:00 Reboot")} << QByteArray();
    QTest::newRow("December row read in January belongs to the previous year")
        << localSeconds(2027, 1, 1, 0, 10, 0) << qint64(0)
        << clockPage(localSeconds(2027, 1, 1, 0, 10, 0), heading + row("Dec 31 23:59:00 Reboot"))
        << QByteArrayList{at(5, localSeconds(2026, 12, 31, 23, 59, 0), "Dec 31 23:59:00 Reboot")}
        << QByteArray();
    QTest::newRow("January row read in December belongs to the next year")
        << localSeconds(2026, 12, 31, 23, 50, 0) << qint64(0)
        << clockPage(localSeconds(2026, 12, 31, 23, 50, 0), heading + row("Jan 1 00:05:00 Reboot"))
        << QByteArrayList{at(5, localSeconds(2027, 1, 1, 0, 5, 0), "Jan 1 00:05:00 Reboot")} << QByteArray();
    QTest::newRow("rows before the heading comment are ignored")
        << july + 60 << qint64(0)
        << clockPage(july + 60, row("Jul 2 17:00:00 Menu") + heading + row("Jul 2 17:10:30 Reboot"))
        << QByteArrayList{at(5, july, "Jul 2 17:10:30 Reboot")} << QByteArray();
    QTest::newRow("without the heading comment every row counts")
        << july + 60 << qint64(0)
        << clockPage(july + 60, row("Jul 2 17:00:00 Menu") + row("Jul 2 17:10:30 Reboot"))
        << QByteArrayList{at(5, july - 630, "Jul 2 17:00:00 Menu"), at(5, july, "Jul 2 17:10:30 Reboot")}
        << QByteArray();
    QTest::newRow("unclosed last row runs to the end of the page")
        << july + 60 << qint64(0) << clockPage(july + 60, heading + "<tr><td nowrap>Jul 2 17:10:30 Reboot")
        << QByteArrayList{at(5, july, "Jul 2 17:10:30 Reboot")}
        << QByteArray(
               "Application::getLogs(): Error when processing log string <tr><td nowrap>Jul 2 17:10:30 "
               "Reboot [ ... ]: ");
    QTest::newRow("unclosed row ends where the next row starts")
        << july + 60 << qint64(0)
        << clockPage(july + 60, heading + "<tr><td nowrap>Jul 2 17:10:29 Reboot" + row("Jul 2 17:10:30 Halt"))
        << QByteArrayList{at(5, july - 1, "Jul 2 17:10:29 Reboot"), at(5, july, "Jul 2 17:10:30 Halt")}
        << QByteArray("Error when processing log string");
    QTest::newRow("empty row is logged and skipped")
        << july + 60 << qint64(0) << clockPage(july + 60, heading + row("") + row("Jul 2 17:10:30 Reboot"))
        << QByteArrayList{at(5, july, "Jul 2 17:10:30 Reboot")}
        << QByteArray("Application::getLogs(): plain text is empty for html table row <tr><td "
                      "nowrap></td></tr>\\n<tr> "
                      "[ ... ]\n");
    QTest::newRow("row text is logged on one line with its controls escaped")
        << july + 60 << qint64(0)
        << clockPage(july + 60, heading + row("jul 2\nJul 2 17:10:30 Successful authentication\x1b[2J"))
        << QByteArrayList{}
        << QByteArray("Application::getLogs(): \"jul\" is not valid month in plain log text jul "
                      "2\\nJul 2 17:10:30 Successful authentication\\x1b[2J\n");

    const qint64 t = localSeconds(2026, 12, 6, 16, 31, 11);
    const QByteArray ignoredRow = "Application::getLogs(): rack1 : Kestrel 2 @ 10.0.0.9: ignored 1 log rows";
    QTest::newRow("row hours ahead of the host is taken")
        << t << qint64(0) << clockPage(t, heading + row("Dec 6 20:00:00 Reboot"))
        << QByteArrayList{at(5, localSeconds(2026, 12, 6, 20, 0, 0), "Dec 6 20:00:00 Reboot")}
        << QByteArray();
    QTest::newRow("row more than a day ahead of the host is ignored")
        << t << qint64(0) << clockPage(t, heading + row("Dec 7 16:31:12 Reboot")) << QByteArrayList{}
        << ignoredRow;
    QTest::newRow("row before 1970 is ignored")
        << t << qint64(0) << "<td>Uptime 999999:00:00<!-- hours up -->" + heading + row("0:05:00 Reboot")
        << QByteArrayList{} << ignoredRow;
    const QByteArray uptimeCell = "<td>Uptime 1:00:00<!-- hours up -->";
    QTest::newRow("uptime row is dated from the controller's start")
        << t << qint64(0) << uptimeCell + heading + row("0:05:00 Successful authentication of admin")
        << QByteArrayList{at(0, t - 3300, "0:05:00 Successful authentication of admin")} << QByteArray();
    QTest::newRow("uptime row without a time is logged")
        << t << qint64(0) << uptimeCell + heading + row("boot: Failed authentication") << QByteArrayList{}
        << QByteArray("Application::getLogs(): diff > -1: \"-1:-1:-1\" is not valid hr::mn::sc in plain log "
                      "text boot: Failed authentication\n");
}

void tst_ControllerLogs::logRows() {
    QFETCH(qint64, host);
    QFETCH(qint64, prevCheck);
    QFETCH(QByteArray, page);
    QFETCH(QByteArrayList, expected);
    QFETCH(QByteArray, logged);
    Test::ScopedWorkDir dir;
    Application app;
    Test::ManualClock clock(host);
    Controller& controller = addController(app);
    controller.logRowsUpTo = controller.lastCheck = prevCheck;

    getLogs(app, controller.id, {}, page);

    QCOMPARE(eventTexts(app, true), sorted(expected));
    QCOMPARE(controller.lastCheck, host);
    QCOMPARE(controller.lastLog, host);
    const QByteArray log = Test::appLog();
    if (logged.isEmpty())
        QVERIFY2(!log.contains("getLogs()") && !log.contains("getTime()"), log.constData());
    else
        QVERIFY2(log.contains(logged), log.constData());
}

void tst_ControllerLogs::secondCheck_addsOnlyNewerRows() {
    Test::ScopedWorkDir dir;
    Application app;
    const qint64 t = localSeconds(2026, 7, 2, 17, 10, 30);
    Test::ManualClock clock(t);
    const ControllerId id = addController(app).id;
    const QByteArray oldRows =
        row("Jul 2 17:10:00 Successful authentication of a") + row("Jul 2 17:10:30 Reboot");

    getLogs(app, id, {}, clockPage(t, heading + oldRows));
    QCOMPARE(app.getEventCount(), 2);
    clock.advance(60);
    getLogs(app, id, {},
            clockPage(t + 60, heading + row("Jul 2 17:11:00 Failed authentication of b") + oldRows));

    QCOMPARE(app.getEventCount(), 3);
    QCOMPARE(app.events.events().begin()->second.kind, EventKind::login_failure);
}

void tst_ControllerLogs::failedReadOrEdit_bringsNoStoredRowBack_data() {
    // Three checks a minute apart; "edit" stands for an edit of the controller between two checks.
    QTest::addColumn<QByteArrayList>("pages");
    QTest::addColumn<bool>("clockRead");

    const qint64 t = localSeconds(2026, 7, 2, 17, 10, 30);
    const QByteArray rows12 =
        row("Jul 2 17:09:00 Successful authentication of a") + row("Jul 2 17:10:00 Reboot");
    const QByteArray rows123 = row("Jul 2 17:11:00 Failed authentication of b") + rows12;
    const QByteArray rows1234 = row("Jul 2 17:12:00 Halt") + rows123;
    const QByteArray good1 = clockPage(t, heading + rows12);
    const QByteArray good3 = clockPage(t + 120, heading + rows1234);
    QTest::newRow("error page (401, 500, 302) in between") << QByteArrayList{good1, "", good3} << true;
    QTest::newRow("page without the clock in between")
        << QByteArrayList{good1, heading + rows123, good3} << true;
    QTest::newRow("cell that is no clock in between")
        << QByteArrayList{good1, "<td>25:00:00 2026/07/02<!-- s up -->" + heading + rows123, good3} << true;
    QTest::newRow("page that never shows its clock")
        << QByteArrayList{heading + rows12, heading + rows123, heading + rows1234} << false;
    QTest::newRow("edit in between") << QByteArrayList{good1, "edit", good3} << true;
}

void tst_ControllerLogs::failedReadOrEdit_bringsNoStoredRowBack() {
    QFETCH(QByteArrayList, pages);
    QFETCH(bool, clockRead);
    Test::ScopedWorkDir dir;
    Application app;
    const qint64 t = localSeconds(2026, 7, 2, 17, 10, 30);
    Test::ManualClock clock(t);
    Controller& controller = addController(app);

    for (const QByteArray& page : std::as_const(pages)) {
        if (page == "edit")
            controller.lastReport = controller.lastLog = controller.lastCheck = 0; // what an edit does
        else
            getLogs(app, controller.id, {}, page);
        clock.advance(60);
    }

    QStringList raws;
    for (const auto& [key, event] : app.events.events())
        raws << QString::fromLatin1(event.raw);
    raws.sort();
    QCOMPARE(raws, (QStringList{"Jul 2 17:09:00 Successful authentication of a", "Jul 2 17:10:00 Reboot",
                                "Jul 2 17:11:00 Failed authentication of b", "Jul 2 17:12:00 Halt"}));
    QCOMPARE(controller.lastCheck, clockRead ? t + 120 : 0);
}

void tst_ControllerLogs::impossibleValues_oneLinePerCheck() {
    Test::ScopedWorkDir dir;
    Application app;
    const qint64 t = localSeconds(2026, 12, 6, 16, 31, 11);
    Test::ManualClock clock(t);
    const ControllerId id = addController(app, {{"A", 1, 2, 1}, {"B", 0, 2, 1}}).id;
    const QByteArray index = "<!-- RAW VAH=230 CAH=-1 --><!-- RAW VBH=N/A CBH= -->";
    const QByteArray syslog = clockPage(t, heading + row("Dec 9 10:00:00 Reboot") +
                                               row("Dec 8 10:00:00 Reboot") + row("Dec 6 10:00:00 Halt"));

    getLogs(app, id, index, syslog);
    clock.advance(60);
    getLogs(app, id, index, clockPage(t + 60, heading + row("Dec 9 10:00:00 Reboot")));

    QCOMPARE(eventTexts(app), (QByteArrayList{"4|Current loads on channel B: 0 V, 0 A, 0 W|VBH=N/A CBH=",
                                              "4|Current loads on channel B: 0 V, 0 A, 0 W|VBH=N/A CBH=",
                                              "5||Dec 6 10:00:00 Halt"}));
    const QByteArray log = Test::appLog();
    const QByteArray line = "Application::getLogs(): rack1 : Kestrel 2 @ 10.0.0.9: ";
    QCOMPARE(log.count(line), 2);
    QVERIFY2(log.contains(line + "2 load values could not be read and were taken as 0; ignored 1 negative or "
                                 "non-finite load readings; ignored 2 log rows"),
             log.constData());
}

void tst_ControllerLogs::rowsPastTheBudget_takenOldestFirstOverChecks_data() {
    // Seconds before the newest row, one entry per row, newest first as the controllers list them.
    QTest::addColumn<QList<int>>("ages");
    QTest::addColumn<int>("firstCheck"); // rows the first check takes: the oldest ones
    QTest::addColumn<int>("dropped");    // rows no check takes

    QList<int> distinct;
    for (int i = 0; i < logRowsPerCheck + 500; ++i)
        distinct += i;
    QTest::newRow("a row a second") << distinct << logRowsPerCheck << 0;
    // The 2000th oldest row shares its second with two newer ones: that second waits whole.
    QList<int> split;
    for (int i = 0; i < 10; ++i)
        split += i;
    split += {10, 10, 10};
    for (int i = 0; i < logRowsPerCheck - 1; ++i)
        split += 11 + i;
    QTest::newRow("a second split by the budget waits whole") << split << logRowsPerCheck - 1 << 0;
    QTest::newRow("one second with more rows than the budget")
        << QList<int>(logRowsPerCheck + 3, 0) << logRowsPerCheck << 3;
}

void tst_ControllerLogs::rowsPastTheBudget_takenOldestFirstOverChecks() {
    QFETCH(QList<int>, ages);
    QFETCH(int, firstCheck);
    QFETCH(int, dropped);
    Test::ScopedWorkDir dir;
    Application app;
    const qint64 t = localSeconds(2026, 12, 6, 16, 31, 11);
    Test::ManualClock clock(t);
    const ControllerId id = addController(app).id;
    // A controller without a clock, up 10 hours when the first check comes; the newest row is a
    // minute older.
    QByteArrayList texts;
    for (int i = 0; i < ages.size(); ++i)
        texts += uptimeText(36000 - 60 - ages[i]) + " row " + QByteArray::number(i);
    const auto page = [&](qint64 uptime) {
        QByteArray rows;
        for (const QByteArray& text : std::as_const(texts))
            rows += row(text);
        return "<td>Uptime " + uptimeText(uptime) + "<!-- hours up -->" + heading + rows;
    };
    QList<int> oldestFirst(ages.size());
    std::iota(oldestFirst.begin(), oldestFirst.end(), 0);
    std::stable_sort(oldestFirst.begin(), oldestFirst.end(), [&](int a, int b) { return ages[a] > ages[b]; });
    const auto raws = [&](int count) {
        QByteArrayList list;
        for (int i = 0; i < count; ++i)
            list += texts[oldestFirst[i]];
        return sorted(list);
    };
    const auto stored = [&app] {
        QByteArrayList list;
        for (const auto& [key, event] : app.events.events())
            list += event.raw;
        return sorted(list);
    };

    getLogs(app, id, {}, page(36000));
    QCOMPARE(stored(), raws(firstCheck));
    clock.advance(60);
    getLogs(app, id, {}, page(36060));
    clock.advance(60);
    getLogs(app, id, {}, page(36120));

    QCOMPARE(stored(), raws(int(ages.size()) - dropped));
    QCOMPARE(containing(getLogsLines(), "left for the next check").size(), 1);
}

void tst_ControllerLogs::repeatedProblems_countedNotRepeated_data() {
    QTest::addColumn<QByteArray>("rows");
    QTest::addColumn<QByteArray>("logged");

    QTest::newRow("empty rows") << repeated(row(""), 1000) << QByteArray("is empty for html table row");
    QTest::newRow("unclosed empty rows")
        << repeated("<tr><td nowrap>", 1000) << QByteArray("is empty for html table row");
    QTest::newRow("rows without a month")
        << repeated(row("jul 2 17:10:30 Reboot"), 1000) << QByteArray("is not valid month");
}

void tst_ControllerLogs::repeatedProblems_countedNotRepeated() {
    QFETCH(QByteArray, rows);
    QFETCH(QByteArray, logged);
    Test::ScopedWorkDir dir;
    Application app;
    const qint64 t = localSeconds(2026, 12, 6, 16, 31, 11);
    Test::ManualClock clock(t);
    const ControllerId id = addController(app).id;

    // A good row after them, so that every bad row's excerpt is the same.
    getLogs(app, id, {}, clockPage(t, heading + rows + row("Dec 6 16:00:00 Reboot")));

    const QByteArrayList lines = getLogsLines();
    QVERIFY2(lines.size() <= problemLinesPerCheck + 1, lines.join('\n').constData());
    const QByteArrayList problem = containing(lines, logged);
    QCOMPARE(problem.size(), 1);
    QVERIFY2(problem.front().endsWith(" (1000 times)"), problem.front().constData());
}

// A controller removed while its check ran: its pages are dropped (the querying says so in app.log).
void tst_ControllerLogs::unknownController_leavesStateAlone() {
    Test::ScopedWorkDir dir;
    Application app;
    Test::ManualClock clock(localSeconds(2026, 7, 2, 17, 10, 30));
    const Controller& controller = addController(app);

    getLogs(app, controller.id + 1, "<!-- RAW VAH=230 CAH=2.5 -->", {});
    getLogs(app, 0, "<!-- RAW VAH=230 CAH=2.5 -->", {});

    QCOMPARE(app.getEventCount(), 0);
    QCOMPARE(controller.lastCheck, Time(0));
}

QTEST_GUILESS_MAIN(tst_ControllerLogs)
#include "tst_ControllerLogs.moc"
