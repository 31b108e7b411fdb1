#include "TestSupport.h"

#include "core/Application.h"
#include "core/MetricsRegistry.h"
#include "metrics/MetricsExposition.h"

#include <QProcess>
#include <QtTest>

using Warden::MetricsExposition;
using Warden::MetricsRegistry;
using Warden::Business::Application;
using Warden::Business::ChannelSettings;
using Warden::Business::CheckOutcome;
using Warden::Business::Controller;
using Warden::Business::EventKind;
using Warden::Business::Time;
using Warden::Business::Transport;

namespace {

constexpr Time start = 1700000000;

void reading(Controller& c, Time t, const char* bus, double volts, double amps) {
    const QByteArray text = QByteArray("Current loads on channel ") + bus + ": " + QByteArray::number(volts) +
                            " V, " + QByteArray::number(amps) + " A, " + QByteArray::number(volts * amps) +
                            " W";
    Application::addEvent({}, t, &c, EventKind::values, Transport::http, text, {});
}

} // namespace

class tst_MetricsExposition : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void render_data();
    void render();
    void labelValue_data();
    void labelValue();
    void promtool_acceptsTheExposition();
    void duplicateNames_eachSeriesOnce_data();
    void duplicateNames_eachSeriesOnce();

private:
    // Three controllers: a two-bus rack that answers, with bus B over its limit; a one-bus edge that
    // answers; a silent one never checked, whose name needs escaping.
    QByteArray scenario();

    std::unique_ptr<Warden::Test::ScopedWorkDir> dir_;
    MetricsExposition exposition_;
};

void tst_MetricsExposition::init() {
    dir_ = std::make_unique<Warden::Test::ScopedWorkDir>();
    MetricsRegistry::instance().reset();
    exposition_.reset();
    Application::setEventListener([this](const Warden::Business::Event& e) { exposition_.eventAdded(e); });
}

void tst_MetricsExposition::cleanup() {
    dir_.reset();
}

QByteArray tst_MetricsExposition::scenario() {
    Controller& rack = Application::controllers.emplace_back("rack", 0, "10.0.0.1", 8080, "admin", "pw");
    rack.channels = {ChannelSettings{"A", 0.5, 13, 1}, ChannelSettings{"B", 0.5, 1.5, 1}};
    Controller& edge = Application::controllers.emplace_back("edge", 2, "edge.example", 0, "admin", "pw");
    edge.channels = {ChannelSettings{"", 0, 10, 1}};
    Controller& silent =
        Application::controllers.emplace_back("we\"ird\\name\nx", 2, "10.0.0.3", 0, "admin", "pw");
    (void)silent;

    // Checked hourly, so the hour between readings is bridged. Bus A: 920 W for an hour, then 460 W
    // for half an hour: 1.15 kWh. A late row older than the reading in force changes neither the shown
    // values nor the counter.
    Application::report.checkEveryUnit = 3600;
    Application::report.checkEveryUnits = 1;
    reading(rack, start, "A", 230, 4);
    reading(rack, start + 3600, "A", 230, 2);
    reading(rack, start + 5400, "A", 230, 8);
    reading(rack, start + 1000, "A", 230, 6);
    reading(rack, start, "B", 230, 2);
    reading(edge, start, "B", 120, 1.5); // a one-bus model's reading, whatever channel it names
    Application::addEvent({}, start, &rack, EventKind::overcurrent, Transport::http,
                          "Overcurrent on channel B", {});
    Application::addEvent({}, start, &rack, EventKind::login_success, Transport::syslog, {}, "<13>login");

    exposition_.checked(&rack, CheckOutcome{true, 200, {}}, start + 5400);
    exposition_.checked(&edge, CheckOutcome{false, 0, {}}, start + 5400);
    exposition_.checked(&edge, CheckOutcome{true, 200, {}}, start + 5460);
    exposition_.checked(nullptr, CheckOutcome{false, 401, {}}, start + 5460);
    MetricsRegistry::instance().countDatagram(false);
    MetricsRegistry::instance().countMail(true);
    return exposition_.render(3);
}

void tst_MetricsExposition::render_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("present");
    const QByteArray rack = R"(controller="rack",model="Kestrel 2",host="10.0.0.1:8080")";
    const QByteArray edge = R"(controller="edge",model="Heron",host="edge.example")";
    const QByteArray silent = R"(controller="we\"ird\\name\nx",model="Heron",host="10.0.0.3")";
    const auto row = [](const char* name, const QByteArray& line, bool present = true) {
        QTest::newRow(name) << line << present;
    };
    row("up: answered", "ampwarden_up{" + rack + "} 1");
    row("up: answered after a miss", "ampwarden_up{" + edge + "} 1");
    row("up: never checked, label escaped", "ampwarden_up{" + silent + "} 0");
    row("last good check", "ampwarden_last_good_check_timestamp_seconds{" + edge + "} 1700005460");
    row("no last good check before one", "ampwarden_last_good_check_timestamp_seconds{" + silent + "}",
        false);
    row("amperes: the newest reading, not the latest to arrive",
        "ampwarden_bus_amperes{" + rack + ",bus=\"A\"} 8");
    row("volts bus B", "ampwarden_bus_volts{" + rack + ",bus=\"B\"} 230");
    row("watts bus B", "ampwarden_bus_watts{" + rack + ",bus=\"B\"} 460");
    row("one-bus model reads as bus A", "ampwarden_bus_amperes{" + edge + ",bus=\"A\"} 1.5");
    row("one-bus model has no bus B", "{" + edge + ",bus=\"B\"}", false);
    row("no values before a reading", "ampwarden_bus_volts{" + silent, false);
    row("upper limit", "ampwarden_bus_current_upper_limit_amperes{" + rack + ",bus=\"B\"} 1.5");
    row("lower limit", "ampwarden_bus_current_lower_limit_amperes{" + edge + ",bus=\"A\"} 0");
    row("alarm over", "ampwarden_bus_alarm{" + rack + ",bus=\"B\"} 1");
    row("no alarm within", "ampwarden_bus_alarm{" + rack + ",bus=\"A\"} 0");
    row("energy: held until the next reading", "ampwarden_bus_energy_kwh_total{" + rack + ",bus=\"A\"} 1.15");
    row("energy: one reading is none yet", "ampwarden_bus_energy_kwh_total{" + edge + ",bus=\"A\"} 0");
    row("events by kind and transport", R"(ampwarden_events_total{kind="values",transport="http"} 6)");
    row("syslog events", R"(ampwarden_events_total{kind="login_success",transport="syslog"} 1)");
    row("checks answered", R"(ampwarden_checks_total{outcome="answered"} 2)");
    row("checks refused", R"(ampwarden_checks_total{outcome="login_refused"} 1)");
    row("checks silent", R"(ampwarden_checks_total{outcome="no_answer"} 1)");
    row("datagrams", R"(ampwarden_syslog_datagrams_total{sender="unknown"} 1)");
    row("mails", R"(ampwarden_mails_total{outcome="sent"} 1)");
    row("mails waiting", "ampwarden_mails_waiting 3");
    row("counter type", "# TYPE ampwarden_bus_energy_kwh_total counter");
}

void tst_MetricsExposition::render() {
    QFETCH(QByteArray, line);
    QFETCH(bool, present);
    const QByteArray text = scenario();
    QVERIFY2(present ? text.contains('\n' + line + '\n') : !text.contains(line), text.constData());
}

void tst_MetricsExposition::labelValue_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("escaped");
    QTest::newRow("plain") << QByteArray("Rack 12") << QByteArray("Rack 12");
    QTest::newRow("backslash") << QByteArray("a\\b") << QByteArray("a\\\\b");
    QTest::newRow("quote") << QByteArray("a\"b") << QByteArray("a\\\"b");
    QTest::newRow("line feed") << QByteArray("a\nb") << QByteArray("a\\nb");
    QTest::newRow("UTF-8 kept") << QByteArray("Stra\xc3\x9f"
                                              "e")
                                << QByteArray("Stra\xc3\x9f"
                                              "e");
    QTest::newRow("not UTF-8 replaced") << QByteArray("a\xff") << QByteArray("a\xef\xbf\xbd");
}

void tst_MetricsExposition::labelValue() {
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, escaped);
    QCOMPARE(MetricsExposition::labelValue(text), escaped);
}

void tst_MetricsExposition::promtool_acceptsTheExposition() {
    if (!QFile::exists(QStringLiteral("/usr/bin/promtool")))
        QSKIP("promtool (Debian's prometheus package) is not installed");
    // Two controllers configured alike must not make one series twice.
    Application::controllers.emplace_back("rack", 0, "10.0.0.1", 8080, "admin", "pw");
    const QByteArray text = scenario();
    QProcess promtool;
    promtool.start(QStringLiteral("/usr/bin/promtool"), {QStringLiteral("check"), QStringLiteral("metrics")});
    QVERIFY(promtool.waitForStarted());
    promtool.write(text);
    promtool.closeWriteChannel();
    QVERIFY(promtool.waitForFinished(30000));
    QVERIFY2(promtool.exitCode() == 0,
             (promtool.readAllStandardOutput() + promtool.readAllStandardError()).constData());
    QVERIFY(
        text.contains(R"x(ampwarden_up{controller="rack (2)",model="Kestrel 2",host="10.0.0.1:8080"} 1)x"));
}

void tst_MetricsExposition::duplicateNames_eachSeriesOnce_data() {
    QTest::addColumn<QByteArrayList>("names");
    QTest::addColumn<QByteArrayList>("labelled");
    QTest::newRow("three alike") << QByteArrayList{"x", "x", "x"} << QByteArrayList{"x", "x (2)", "x (3)"};
    QTest::newRow("a configured name like a told-apart one")
        << QByteArrayList{"x", "x", "x (2)", "x"} << QByteArrayList{"x", "x (2)", "x (2) (2)", "x (3)"};
    QTest::newRow("told-apart name configured first")
        << QByteArrayList{"x (2)", "x", "x"} << QByteArrayList{"x (2)", "x", "x (3)"};
}

// Prometheus refuses a scrape with one series twice. (The cost of thousands alike: bench/metrics --alike.)
void tst_MetricsExposition::duplicateNames_eachSeriesOnce() {
    QFETCH(QByteArrayList, names);
    QFETCH(QByteArrayList, labelled);
    for (const QByteArray& name : names)
        Application::controllers.emplace_back(name, 2, "10.0.0.1", 0, "admin", "pw");
    const QByteArray text = exposition_.render();
    QByteArrayList up;
    for (const QByteArray& line : text.split('\n')) {
        if (line.startsWith("ampwarden_up{"))
            up.append(line.mid(int(strlen("ampwarden_up{controller=\"")),
                               line.indexOf("\",model=") - int(strlen("ampwarden_up{controller=\""))));
    }
    QCOMPARE(up, labelled);
}

QTEST_GUILESS_MAIN(tst_MetricsExposition)
#include "tst_MetricsExposition.moc"
