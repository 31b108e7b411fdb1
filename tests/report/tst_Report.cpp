#include "report/MailQueue.h"
#include "report/Outbox.h"
#include "report/QMailer.h"
#include "report/Report.h"
#include "report/ReportRunner.h"

#include "ComposedReport.h"
#include "MailCatcher.h"
#include "TestSupport.h"

#include "core/Application.h"
#include "energy/Energy.h"
#include "energy/Histogram.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryFile>
#include <QTest>

#include <algorithm>
#include <ctime>

using namespace Warden;
using namespace Warden::Business;

namespace {

const Time hour = 3600;
const Time from = Test::utcSeconds(2026, 12, 6, 10);
const Time till = from + hour;
const QByteArray boundary(reportBoundary);

Controller& addController(Application& app, const QByteArray& name, qint32 type) {
    Controller& c = app.controllers.emplace_back(name, type, "10.0.0.5", 8080, "admin", "pw");
    app.setReportTime(c, from);
    c.lastCheck = till;
    return c;
}

// One event of every kind inside the period, one before the previous report and one after `till`;
// readings put 1 kW on channel A and, when `busB`, 500 W on channel B for the whole period.
void addEvents(Application& app, const Controller& c, bool busB) {
    app.addEvent("id-old", from - 60, c.id, EventKind::login_success, Transport::http, "old", "raw");
    app.addEvent("id-readA", from - 10, c.id, EventKind::values, Transport::http, "channel A, 1000", "");
    if (busB)
        app.addEvent("id-readB", from - 10, c.id, EventKind::values, Transport::http, "channel B, 500", "");
    app.addEvent("id-login", from + 60, c.id, EventKind::login_success, Transport::syslog, "ok", "raw1");
    app.addEvent("id-fail", from + 120, c.id, EventKind::login_failure, Transport::http, "bad", "raw2");
    app.addEvent("id-over", from + 180, c.id, EventKind::overcurrent, Transport::http, "over", "raw3");
    app.addEvent("id-under", from + 240, c.id, EventKind::undercurrent, Transport::http, "under", "raw4");
    app.addEvent("id-other", from + 300, c.id, EventKind::unknown, Transport::syslog, "<b>&amp;</b>",
                 "\"q\" 'a'");
    app.addEvent("id-late", till + 60, c.id, EventKind::login_failure, Transport::http, "late", "raw5");
}

struct Switches {
    bool entire, login, current, bill, histogram;
};

void applySwitches(Application& app, const Switches& s) {
    ReportSettings& r = app.report;
    r.sendEntireLog = s.entire;
    r.sendOnLogin = s.login;
    r.sendUnderOverCurrent = s.current;
    r.sendPowerBill = s.bill;
    r.sendHistogram = s.histogram;
    r.reportEveryUnit = 3600;
    r.reportEveryUnits = 1;
    r.kWHPriceUSD = 0.25;
    r.currency = "EUR";
}

QJsonObject describeMessage(const QString& path) {
    QProcess python;
    python.start(Test::systemPython(), {Test::sourceFile(QStringLiteral("tools/mailinfo.py")), path});
    if (!python.waitForFinished(30000) || python.exitCode() != 0)
        return {};
    return QJsonDocument::fromJson(python.readAllStandardOutput()).object();
}

// The body as Python's MIME parser reads it: the body alone is a whole message (its own header lines
// come first).
QJsonObject describeBody(const QByteArray& body) {
    QTemporaryFile file;
    if (!file.open() || file.write(body) != body.size() || !file.flush())
        return {};
    return describeMessage(file.fileName());
}

QByteArray reportBody(const Application& app, const Controller& c) {
    return Test::composedReport(app.events, c, from, till, app.report);
}

// The reports of the period through a report runner into `outbox`, waiting for the run's end.
bool runReports(Application& app, Outbox& outbox) {
    ReportRunner runner(app, [&outbox](OutboxMail mail) { outbox.add(std::move(mail)); });
    bool finished = false;
    runner.run(from, till, [&finished] { finished = true; });
    return QTest::qWaitFor([&finished] { return finished; }, 60000);
}

QString htmlOf(const QJsonObject& mail) {
    return mail[u"parts"].toArray().at(0).toObject()[u"html"].toString();
}

// What every report is, whatever it holds: one multipart/related message of an HTML page and
// `imageParts` histograms referenced from it, without a defect, 7-bit, CR LF only, lines within 998.
void verifyWellFormed(const QJsonObject& mail, qsizetype imageParts) {
    QVERIFY(!mail.isEmpty());
    QCOMPARE(mail[u"mime_version"].toString(), QStringLiteral("1.0"));
    QCOMPARE(mail[u"content_type"].toString(), QStringLiteral("multipart/related"));
    QCOMPARE(mail[u"related_type"].toString(), QStringLiteral("text/html"));
    QCOMPARE(mail[u"boundary"].toString().toUtf8(), boundary);
    const QJsonArray defects = mail[u"defects"].toArray();
    QVERIFY2(defects.isEmpty(), QJsonDocument(defects).toJson().constData());
    const QJsonObject wire = mail[u"wire"].toObject();
    QCOMPARE(wire[u"non_7bit"].toInt(-1), 0);
    QCOMPARE(wire[u"bare_line_ends"].toInt(-1), 0);
    QVERIFY2(wire[u"longest_line"].toInt(999) <= 998, QByteArray::number(wire[u"longest_line"].toInt()));

    const QJsonArray parts = mail[u"parts"].toArray();
    QCOMPARE(parts.size(), 1 + imageParts);
    const QJsonObject html = parts.at(0).toObject();
    QCOMPARE(html[u"content_type"].toString(), QStringLiteral("text/html"));
    QCOMPARE(html[u"charset"].toString(), QStringLiteral("utf-8"));
    QStringList cids;
    for (const auto& cid : html[u"cids"].toArray())
        cids << QLatin1Char('<') + cid.toString() + QLatin1Char('>');
    QStringList partIds;
    for (qsizetype p = 1; p < parts.size(); ++p) {
        const QJsonObject image = parts.at(p).toObject();
        QCOMPARE(image[u"content_type"].toString(), QStringLiteral("image/png"));
        QCOMPARE(image[u"width"].toInt(), 800);
        QCOMPARE(image[u"height"].toInt(), 500);
        partIds << image[u"content_id"].toString();
    }
    QCOMPARE(partIds, cids);
}

} // namespace

Q_DECLARE_METATYPE(Switches)

class tst_Report : public QObject {
    Q_OBJECT

private slots:
    void reportBody_sections_data();
    void reportBody_sections();
    void reportBody_heading_data();
    void reportBody_heading();
    void reportBody_oddTexts_oneIntactReport_data();
    void reportBody_oddTexts_oneIntactReport();
    void reportBody_longLog_newestRowsAndLeftOutCount_data();
    void reportBody_longLog_newestRowsAndLeftOutCount();
    void energyCrossCheck_transitionsAgreeWithBillAndBars_data();
    void energyCrossCheck_transitionsAgreeWithBillAndBars();
    void runReports_twoControllersTwoRecipients_inOrder();
    void runReports_failedMailStillReports();
};

void tst_Report::reportBody_sections_data() {
    QTest::addColumn<qint32>("type");
    QTest::addColumn<bool>("busB");
    QTest::addColumn<Switches>("switches");
    QTest::addColumn<QByteArrayList>("present");
    QTest::addColumn<QByteArrayList>("absent");
    QTest::addColumn<int>("imageParts");

    const QByteArrayList all{"<td>id-login</td>", "<td>id-fail</td>", "<td>id-over</td>", "<td>id-under</td>",
                             "<td>id-other</td>"};
    QTest::newRow("entire log lists every kind since the last report, also after till")
        << 2 << false << Switches{true, true, true, false, false}
        << (all + QByteArrayList{"(entire log)", "<td>id-late</td>", "<td>syslog</td>", "<td>HTTP</td>"})
        << QByteArrayList{"<td>id-old</td>", "<td>id-readA</td>"} << 0;
    QTest::newRow("logins only") << 2 << false << Switches{false, true, false, false, false}
                                 << QByteArrayList{"(logins only)", "<td>id-login</td>", "<td>id-fail</td>"}
                                 << QByteArrayList{"<td>id-over</td>", "<td>id-under</td>",
                                                   "<td>id-other</td>", "<td>id-readA</td>"}
                                 << 0;
    QTest::newRow("logins and currents")
        << 2 << false << Switches{false, true, true, false, false}
        << QByteArrayList{"(logins and under-/over-current only)", "<td>id-login</td>", "<td>id-over</td>",
                          "<td>id-under</td>"}
        << QByteArrayList{"<td>id-other</td>", "<td>id-readA</td>"} << 0;
    QTest::newRow("currents only") << 2 << false << Switches{false, false, true, false, false}
                                   << QByteArrayList{"(under-/over-current only)", "<td>id-over</td>",
                                                     "<td>id-under</td>"}
                                   << QByteArrayList{"<td>id-login</td>", "<td>id-fail</td>",
                                                     "<td>id-other</td>"}
                                   << 0;
    QTest::newRow("no log switch: no table")
        << 2 << false << Switches{false, false, false, true, true} << QByteArrayList{}
        << QByteArrayList{"<table", "Log Messages"} << 0;
    QTest::newRow("network texts are escaped in the table")
        << 2 << false << Switches{true, false, false, false, false}
        << QByteArrayList{"<td>&lt;b&gt;&amp;amp;&lt;/b&gt;</td>", "<td>&quot;q&quot; &#39;a&#39;</td>"}
        << QByteArrayList{"<b>&amp;</b>", "\"q\""} << 0;
    QTest::newRow("other model ends after the table even with every switch")
        << 2 << true << Switches{true, true, true, true, true} << QByteArrayList{"</table>\r\n"}
        << QByteArrayList{"Power Bill", "End of log", "cid:"} << 0;
    QTest::newRow("metering model with both buses has three images")
        << 0 << true << Switches{false, false, false, true, true}
        << QByteArrayList{"<h3>Power Histograms</h3>\r\n<p><img src=\"cid:id_histogram_channel_a\"></p>\r\n"
                          "<p><img src=\"cid:id_histogram_channel_b\"></p>\r\n"
                          "<p><img src=\"cid:id_histogram_total\"></p>\r\n<hr/>End of log\r\n\r\n"}
        << QByteArrayList{"Log Messages"} << 3;
    QTest::newRow("idle bus B: A and total images only")
        << 1 << false << Switches{false, false, false, true, true}
        << QByteArrayList{"cid:id_histogram_channel_a", "cid:id_histogram_total"}
        << QByteArrayList{"id_histogram_channel_b"} << 2;
    QTest::newRow("histograms need the power bill")
        << 0 << true << Switches{false, false, false, false, true}
        << QByteArrayList{"</h2>\r\n<hr/>End of log\r\n\r\n"}
        << QByteArrayList{"Power Histograms", "image/png", "Power Bill"} << 0;
}

void tst_Report::reportBody_sections() {
    QFETCH(qint32, type);
    QFETCH(bool, busB);
    QFETCH(Switches, switches);
    QFETCH(QByteArrayList, present);
    QFETCH(QByteArrayList, absent);
    QFETCH(int, imageParts);

    Test::ScopedWorkDir work;
    Application app;
    applySwitches(app, switches);
    Controller& c = addController(app, "rack<1>", type);
    addEvents(app, c, busB);

    const QJsonObject mail = describeBody(reportBody(app, c));
    verifyWellFormed(mail, imageParts);
    if (QTest::currentTestFailed())
        return;
    const QString html = htmlOf(mail);
    QVERIFY2(html.startsWith(QStringLiteral("<h2>\r\nPower Controller rack&lt;1&gt; : ")), qPrintable(html));
    for (const QByteArray& text : present)
        QVERIFY2(html.contains(QString::fromUtf8(text)), text.constData());
    for (const QByteArray& text : absent)
        QVERIFY2(!html.contains(QString::fromUtf8(text)), text.constData());
}

void tst_Report::reportBody_heading_data() {
    QTest::addColumn<quint32>("unit");
    QTest::addColumn<quint32>("units");
    QTest::addColumn<QByteArray>("word");

    QTest::newRow("one day reads Daily") << 86400u << 1u << QByteArray("Daily");
    QTest::newRow("one month reads Monthly") << 2592000u << 1u << QByteArray("Monthly");
    QTest::newRow("three hours read 3 Hour") << 3600u << 3u << QByteArray("3 Hour");
    QTest::newRow("unit outside the table is named by its seconds")
        << 7u << 1u << QByteArray("Every 7 Second");
}

void tst_Report::reportBody_heading() {
    QFETCH(quint32, unit);
    QFETCH(quint32, units);
    QFETCH(QByteArray, word);

    Test::ScopedWorkDir work;
    Application app;
    app.report.reportEveryUnit = unit;
    app.report.reportEveryUnits = units;
    Controller& c = addController(app, "r1", 3);
    const QString html = htmlOf(describeBody(reportBody(app, c)));
    // The C library's own ctime with its line break, as CR LF like every line of the page.
    const auto ctimeText = [](std::time_t t) {
        char text[64];
        return QByteArray(::ctime_r(&t, text)).replace("\n", "\r\n");
    };
    const QByteArray fromText = ctimeText(from);
    const QByteArray tillText = ctimeText(till);
    const QByteArray heading =
        "<br>\r\n" + word + " report from " + fromText + " till " + tillText + "</h2>\r\n";
    QVERIFY2(html.endsWith(QString::fromUtf8(heading)), qPrintable(html));
}

void tst_Report::reportBody_oddTexts_oneIntactReport_data() {
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("currency");
    QTest::addColumn<QByteArray>("reason");
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QByteArrayList>("present");

    QTest::newRow("non-ASCII controller name and currency")
        << QByteArray("Стойка 1") << QByteArray("руб.") << QByteArray("ok") << QByteArray("raw")
        << QByteArrayList{"Power Controller Стойка 1 : ", "<td>Стойка 1 : ", " руб."};
    QTest::newRow("markup in controller name and currency is escaped everywhere")
        << QByteArray("<script>n</script>") << QByteArray("<script>c</script>") << QByteArray("ok")
        << QByteArray("raw")
        << QByteArrayList{
               "Power Controller &lt;script&gt;n&lt;/script&gt; : ", "<td>&lt;script&gt;n&lt;/script&gt; : ",
               "Price: 0.250000 &lt;script&gt;c&lt;/script&gt; / kWH",
               " &lt;script&gt;c&lt;/script&gt;\r\n</p>"};
    QTest::newRow("event holding the boundary line")
        << QByteArray("r1") << QByteArray("EUR") << QByteArray("forged")
        << "\r\n--" + boundary +
               "\r\nContent-Type: text/html\r\n\r\n<a href=\"http://x.test/\">pay</a>\r\n--" + boundary +
               "--\r\n"
        << QByteArrayList{
               "<td>\r\n--" + boundary +
               "\r\nContent-Type: text/html\r\n\r\n&lt;a href=&quot;http://x.test/&quot;&gt;pay&lt;/a&gt;"
               "\r\n--" +
               boundary + "--\r\n</td>"};
    QTest::newRow("NUL byte in an event")
        << QByteArray("r1") << QByteArray("EUR") << QByteArray("before\0after", 12) << QByteArray("raw")
        << QByteArrayList{QByteArray("<td>before\0after</td>", 21)};
    QTest::newRow("4 KiB row") << QByteArray("r1") << QByteArray("EUR") << QByteArray("long")
                               << QByteArray(4096, 'x')
                               << QByteArrayList{"<td>" + QByteArray(4096, 'x') + "</td>"};
    QTest::newRow("bare CR and LF in an event")
        << QByteArray("r1") << QByteArray("EUR") << QByteArray("a\nb\rc") << QByteArray("d\n")
        << QByteArrayList{"<td>a\nb\rc</td>"};
}

void tst_Report::reportBody_oddTexts_oneIntactReport() {
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, currency);
    QFETCH(QByteArray, reason);
    QFETCH(QByteArray, raw);
    QFETCH(QByteArrayList, present);

    Test::ScopedWorkDir work;
    Application app;
    applySwitches(app, {true, false, false, true, true});
    app.report.currency = currency;
    Controller& c = addController(app, name, 0);
    addEvents(app, c, true);
    app.addEvent("id-odd", from + 360, c.id, EventKind::unknown, Transport::syslog, reason, raw);

    const QJsonObject mail = describeBody(reportBody(app, c));
    verifyWellFormed(mail, 3);
    if (QTest::currentTestFailed())
        return;
    const QString html = htmlOf(mail);
    // The rows older than the odd one, the bill and the end of the page are all there.
    for (const QByteArray& text : present + QByteArrayList{"<td>id-odd</td>", "<td>id-login</td>",
                                                           "Total payment: ", "<hr/>End of log\r\n\r\n"})
        QVERIFY2(html.contains(QString::fromUtf8(text)), text.constData());
    QCOMPARE(html.count(QStringLiteral("<td>id-")), 7);
    QVERIFY2(!html.contains(QStringLiteral("<script")), qPrintable(html));
    QVERIFY(QString::fromUtf8(reportSubject(c)).contains(QString::fromUtf8(name)));
}

void tst_Report::reportBody_longLog_newestRowsAndLeftOutCount_data() {
    QTest::addColumn<int>("events");
    QTest::addColumn<bool>("capped");

    QTest::newRow("a few rows are all listed") << 10 << false;
    QTest::newRow("100 000 rows: the newest are listed") << 100000 << true;
}

void tst_Report::reportBody_longLog_newestRowsAndLeftOutCount() {
    QFETCH(int, events);
    QFETCH(bool, capped);

    Test::ScopedWorkDir work;
    Application app;
    applySwitches(app, {true, false, false, false, false});
    Controller& c = addController(app, "r1", 2);
    // Straight into the store: the daily log files are not what this is about.
    for (int i = 0; i < events; ++i)
        app.events.insert(Event{"id-" + QByteArray::number(i), from + i / 100, EventKind::unknown,
                                Transport::syslog, QByteArray(100, 'r'), "raw", c.id});

    const QByteArray body = reportBody(app, c);
    QVERIFY2(body.size() < 3 * 1024 * 1024, QByteArray::number(body.size()));
    const QJsonObject mail = describeBody(body);
    verifyWellFormed(mail, 0);
    if (QTest::currentTestFailed())
        return;
    const QString html = htmlOf(mail);
    const qsizetype listed = html.count(QStringLiteral("<td>id-"));
    const auto row = [&html](qsizetype i) { return html.contains(QStringLiteral("<td>id-%1</td>").arg(i)); };
    if (!capped) {
        QCOMPARE(listed, events);
        QVERIFY(!html.contains(QStringLiteral("left out")));
        return;
    }
    QVERIFY2(listed > 0 && listed < events, QByteArray::number(listed));
    // The newest `listed` rows, then one line that counts the others.
    QVERIFY(row(events - 1));
    QVERIFY(row(events - listed));
    QVERIFY(!row(events - listed - 1));
    QVERIFY2(html.contains(
                 QStringLiteral("<td colspan=\"7\">%1 older log lines left out</td>").arg(events - listed)),
             qPrintable(html.right(300)));
}

void tst_Report::energyCrossCheck_transitionsAgreeWithBillAndBars_data() {
    QTest::addColumn<bool>("busB");
    QTest::addColumn<int>("everySeconds");

    QTest::newRow("steady load on both buses") << true << 0;
    QTest::newRow("bus B without a reading") << false << 0;
    QTest::newRow("changing loads, several readings a bar, shared seconds") << true << 50;
}

// The bill and every histogram bar of a report against the transitions of each channel, the second,
// independent way to the same energy.
void tst_Report::energyCrossCheck_transitionsAgreeWithBillAndBars() {
    QFETCH(bool, busB);
    QFETCH(int, everySeconds);

    Test::ScopedWorkDir work;
    Application app;
    applySwitches(app, {false, false, false, true, true});
    Controller& c = addController(app, "r1", 0);
    addEvents(app, c, busB);
    const auto addReading = [&app, &c](Time t, const QByteArray& channel, double watts) {
        app.events.insert(Event{"", t, EventKind::values, Transport::http,
                                "channel " + channel + ", " + QByteArray::number(watts), "", c.id});
    };
    for (Time t = from; everySeconds > 0 && t <= till + everySeconds; t += everySeconds) {
        addReading(t, t % 150 == 0 ? "B" : "A", 100 + static_cast<double>(t % 7) * 37.5);
        if (t % 200 == 0)
            addReading(t, "A", 2000);
    }

    QVERIFY(getEnergy(app.events, c, from, till).a > 0);
    const std::vector<Time> edges = histogramLayout(app.report, from, till).edges;
    QVERIFY(edges.size() > 2);
    std::vector<std::pair<Time, Time>> periods{{from, till}};
    for (std::size_t i = 0; i + 1 < edges.size(); ++i)
        periods.emplace_back(edges[i], edges[i + 1]);
    for (const auto& [start, end] : periods) {
        const ChannelEnergies energies = getEnergy(app.events, c, start, end);
        for (int channel = 0; channel < 2; ++channel) {
            double kWh = -1;
            getTransitions(isUnderOverCurrent(c, start, end, app.events, channel), start, end, kWh);
            const double billed = channel == 0 ? energies.a : energies.b;
            QVERIFY2(!energiesDiffer(billed, kWh), qPrintable(QStringLiteral("channel %1, %2 .. %3: %4 != %5")
                                                                  .arg(channel)
                                                                  .arg(start)
                                                                  .arg(end)
                                                                  .arg(billed, 0, 'g', 17)
                                                                  .arg(kWh, 0, 'g', 17)));
        }
    }
}

void tst_Report::runReports_twoControllersTwoRecipients_inOrder() {
    Test::ScopedWorkDir work;
    Application app;
    Test::MailCatcher catcher;
    QVERIFY2(catcher.isListening(), qPrintable(catcher.error()));
    setPostwingProgram(QStringLiteral(POSTWING_BINARY));
    applySwitches(app, {true, false, false, true, true});

    Controller& metering = addController(app, "north", 0);
    addEvents(app, metering, true);
    Controller& other = addController(app, "south", 4);
    addEvents(app, other, false);
    MailServer& server = app.mailServers.emplace_back("127.0.0.1", catcher.port(), "", "", false);
    app.mailAccounts.push_back({"r1@example.test", "warden@example.test", &server});
    app.mailAccounts.push_back({"r2@example.test", "warden@example.test", &server});

    const qsizetype logBefore = Test::appLog().size();
    MailQueue queue;
    Outbox outbox(app, queue);
    QSignalSpy sent(&queue, &MailQueue::sent);
    QVERIFY(runReports(app, outbox));
    QCOMPARE(metering.lastReport, till);
    QCOMPARE(other.lastReport, till);
    QTRY_COMPARE_WITH_TIMEOUT(sent.size(), 4, 60000);
    for (const QList<QVariant>& outcome : sent)
        QCOMPARE(outcome.at(1).toByteArray(), QByteArray());
    // Each file goes with its 250.
    QTRY_COMPARE(outbox.count(), 0);
    QCOMPARE(QDir(QStringLiteral("outbox")).entryList({QStringLiteral("*.mail")}), QStringList());
    // A delivered mail leaves no line.
    QCOMPARE(Test::appLog().mid(logBefore), QByteArray());

    QVERIFY(catcher.waitForMessages(4));
    const QStringList files = catcher.messages();
    const QList<QPair<QByteArray, QByteArray>> expected{{"north", "r1@example.test"},
                                                        {"north", "r2@example.test"},
                                                        {"south", "r1@example.test"},
                                                        {"south", "r2@example.test"}};
    for (int i = 0; i < 4; ++i) {
        const QJsonObject mail = describeMessage(files.at(i));
        QVERIFY2(!mail.isEmpty(), qPrintable(files.at(i)));
        const Controller& c = i < 2 ? metering : other;
        QCOMPARE(mail[u"subject"].toString().toUtf8(), reportSubject(c));
        QVERIFY(mail[u"subject"].toString().contains(QString::fromLatin1(expected.at(i).first)));
        QCOMPARE(mail[u"envelope_to"].toString().toUtf8(), expected.at(i).second);
        // As it reached the server, after postwing added its header lines.
        verifyWellFormed(mail, i < 2 ? 3 : 0);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(htmlOf(mail).contains(QStringLiteral("<td>id-login</td>")));
    }
    setPostwingProgram(QString());
}

void tst_Report::runReports_failedMailStillReports() {
    Test::ScopedWorkDir work;
    Application app;
    Test::MailCatcher catcher;
    QVERIFY2(catcher.isListening(), qPrintable(catcher.error()));
    setPostwingProgram(QStringLiteral(POSTWING_BINARY));
    applySwitches(app, {false, true, false, false, false});

    Controller& c = addController(app, "east", 2);
    MailServer& dead = app.mailServers.emplace_back("127.0.0.1", Test::unusedLoopbackPort(), "", "", false);
    MailServer& live = app.mailServers.emplace_back("127.0.0.1", catcher.port(), "", "", false);
    app.mailAccounts.push_back({"lost@example.test", "warden@example.test", &dead});
    app.mailAccounts.push_back({"kept@example.test", "warden@example.test", &live});

    MailQueue queue;
    Outbox outbox(app, queue);
    QSignalSpy sent(&queue, &MailQueue::sent);
    QVERIFY(runReports(app, outbox));
    QCOMPARE(c.lastReport, till);
    QTRY_COMPARE_WITH_TIMEOUT(sent.size(), 2, 60000);
    // The two servers are sent to side by side: either may answer first.
    QList<QByteArray> errors{sent.at(0).at(1).toByteArray(), sent.at(1).at(1).toByteArray()};
    std::sort(errors.begin(), errors.end());
    QCOMPARE(errors.first(), QByteArray());
    QVERIFY(errors.last().startsWith("Message cannot be sent. Reason:\n"));
    QVERIFY(Test::appLog().contains("Message cannot be sent. Reason:\n"));
    QVERIFY(catcher.waitForMessages(1));
    QCOMPARE(catcher.messages().size(), 1);
    // The mail to the server that is down waits for its next attempt. The spy hears the sending thread
    // at once; the outbox learns of the outcome through the main thread's queue.
    QTRY_COMPARE(outbox.count(), 1);
    const QStringList waiting = QDir(QStringLiteral("outbox")).entryList({QStringLiteral("*.mail")});
    QCOMPARE(waiting.size(), 1);
    QVERIFY(Test::readFile(QStringLiteral("outbox/") + waiting.first())
                .startsWith("Ampwarden-Outbox: 1\nto: lost@example.test\n"));
    setPostwingProgram(QString());
}

// The histograms draw text: they need the GUI application (offscreen in the tests).
QTEST_MAIN(tst_Report)
#include "tst_Report.moc"
