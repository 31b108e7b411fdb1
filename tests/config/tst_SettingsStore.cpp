#include "SettingsState.h"
#include "TestSupport.h"

#include "config/Settings.h"
#include "core/Application.h"

#include <QTest>

#include <optional>

using namespace Warden::Business;
using Warden::Test::appLog;
using Warden::Test::initialReport;
using Warden::Test::settingsState;

namespace {

const Texts heron{"n", "Heron", "h", "80", "a", "p"};

Texts withChannels(const Texts& channelTexts) {
    return heron + channelTexts;
}

} // namespace

class SettingsStoreTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        workDir_.emplace();
        Warden::Test::startWithoutFile(app_);
    }
    void cleanup() {
        app_.reset();
        workDir_.reset();
    }

    void storeController_convertsTexts_data();
    void storeController_convertsTexts();
    void storeController_inPlace_keepsRecordAndEvents();
    void storeController_overcurrentBelowUndercurrent_isLoggedAndStored();
    void storeController_absurdNumbers_defaultAndLogged_data();
    void storeController_absurdNumbers_defaultAndLogged();
    void storeMailAccount_splitsServerText_data();
    void storeMailAccount_splitsServerText();
    void storeMailAccount_inPlace_movesToOtherServer();
    void storeReportSettings_defaults_data();
    void storeReportSettings_defaults();
    void controllerValues_isTheTableForm_data();
    void controllerValues_isTheTableForm();
    void remove_outsideTheList_changesNothing();
    void removeController_detachesItsEvents();

private:
    std::optional<Warden::Test::ScopedWorkDir> workDir_;
    std::optional<Application> app_;
};

void SettingsStoreTest::storeController_convertsTexts_data() {
    QTest::addColumn<Texts>("values");
    QTest::addColumn<QByteArray>("state");

    QTest::newRow("name only: port 0, type 0, no channels") << Texts{"n"} << QByteArray("C|n|0||0||\n");
    QTest::newRow("list order overcurrent before undercurrent")
        << Texts{"n", "Osprey 3", "h", "8080", "a", "p", "A", "13", "1", "0.95"}
        << QByteArray("C|n|4|h|8080|a|p\nch|A|1|13|0.95\n");
    QTest::newRow("channel numbers beyond the list are 0, pf too")
        << withChannels({"X"}) << QByteArray("C|n|2|h|80|a|p\nch|X|0|0|0\n");
    QTest::newRow("partial second channel") << withChannels({"A", "2", "1", "1", "B", "7"})
                                            << QByteArray("C|n|2|h|80|a|p\nch|A|1|2|1\nch|B|0|7|0\n");
    QTest::newRow("texts that are no numbers: currents 0, pf 1")
        << withChannels({"X", "x", "", "-"}) << QByteArray("C|n|2|h|80|a|p\nch|X|0|0|1\n");
    QTest::newRow("NO CHANNEL ends the channels")
        << withChannels({"A", "2", "1", "1", "NO CHANNEL", "5", "5", "5", "C", "1", "1", "1"})
        << QByteArray("C|n|2|h|80|a|p\nch|A|1|2|1\n");
    QTest::newRow("port not a number") << Texts{"n", "Wren", "h", "http"} << QByteArray("C|n|6|h|0||\n");
    QTest::newRow("numbers too large for a double")
        << withChannels({"A", "1e999", "1", "0.5"}) << QByteArray("C|n|2|h|80|a|p\nch|A|1|0|0.5\n");
    QTest::newRow("the ends of the ranges are kept")
        << withChannels({"A", "1000", "0", "0", "B", "0", "1000", "1"})
        << QByteArray("C|n|2|h|80|a|p\nch|A|0|1000|0\nch|B|1000|0|1\n");
}

void SettingsStoreTest::storeController_convertsTexts() {
    QFETCH(Texts, values);
    QFETCH(QByteArray, state);

    storeController(*app_, -1, values);
    QCOMPARE(settingsState(*app_), state + initialReport());
}

void SettingsStoreTest::storeController_inPlace_keepsRecordAndEvents() {
    storeController(*app_, -1, {"first"});
    storeController(*app_, -1, {"second"});
    Controller* second = app_->controllerAt(1);
    second->lastReport = 100;
    second->lastLog = 200;
    second->check(300);
    second->logRowsUpTo = 300;
    app_->addEvent("1", 250, second->id, EventKind::values, Transport::http, "r", "raw");

    storeController(*app_, 1, {"renamed", "Plover", "h2"});
    QCOMPARE(app_->controllerAt(1), second);
    QCOMPARE(second->name, QByteArray("renamed"));
    QCOMPARE(second->type, 5);
    QCOMPARE(second->lastReport, Time(0));
    QCOMPARE(second->lastLog, Time(0));
    QCOMPARE(second->lastCheck, Time(0));
    QCOMPARE(second->logRowsUpTo, Time(0)); // another host: another log table
    QCOMPARE(app_->events.ownedBy(second->id).size(), size_t(1));
    QCOMPARE(app_->controllerCount(), 2);
    second->logRowsUpTo = 400;
    storeController(*app_, 1, {"again", "Plover", "h2"});
    QCOMPARE(second->logRowsUpTo, Time(400)); // the same table: its rows are not taken twice

    storeController(*app_, 7, {"appended"});
    QCOMPARE(app_->controllerCount(), 3);
    QCOMPARE(app_->controllerAt(2)->name, QByteArray("appended"));
}

void SettingsStoreTest::storeController_overcurrentBelowUndercurrent_isLoggedAndStored() {
    storeController(*app_, -1, withChannels({"A", "1", "2.5", "1"}));
    QVERIFY(appLog().contains("Overcurrent is less than undercurrent: 1 < 2.5\n"));
    QCOMPARE(settingsState(*app_), "C|n|2|h|80|a|p\nch|A|2.5|1|1\n" + initialReport());
}

void SettingsStoreTest::storeController_absurdNumbers_defaultAndLogged_data() {
    QTest::addColumn<Texts>("channel");
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QByteArray>("logged");

    QTest::newRow("overcurrent beyond 1000 A: 1000, still never an alarm")
        << Texts{"A", "1e300", "1", "1"} << QByteArray("ch|A|1|1000|1\n")
        << QByteArray("Overcurrent 1e+300 A is outside 0 to 1000 A: 1000 instead");
    QTest::newRow("negative undercurrent: 0")
        << Texts{"B", "13", "-2", "1"} << QByteArray("ch|B|0|13|1\n")
        << QByteArray("Undercurrent -2 A is outside 0 to 1000 A: 0 instead");
    QTest::newRow("power factor above 1: 1")
        << Texts{"A", "13", "1", "1e300"} << QByteArray("ch|A|1|13|1\n")
        << QByteArray("Power factor 1e+300 is outside 0 to 1: 1 instead");
    QTest::newRow("negative power factor: 1") << Texts{"A", "13", "1", "-0.9"} << QByteArray("ch|A|1|13|1\n")
                                              << QByteArray("Power factor -0.9 is outside 0 to 1: 1 instead");
}

void SettingsStoreTest::storeController_absurdNumbers_defaultAndLogged() {
    QFETCH(Texts, channel);
    QFETCH(QByteArray, stored);
    QFETCH(QByteArray, logged);

    storeController(*app_, -1, withChannels(channel));
    QCOMPARE(settingsState(*app_), "C|n|2|h|80|a|p\n" + stored + initialReport());
    QVERIFY2(appLog().contains(logged), appLog().constData());
}

void SettingsStoreTest::storeMailAccount_splitsServerText_data() {
    QTest::addColumn<Texts>("texts");
    QTest::addColumn<QByteArray>("state");

    QTest::newRow("host and port, TLS")
        << Texts{"t", "f", "mx:2525", "u", "p", "1"} << QByteArray("S|mx|2525|u|p|1\nA|t|f|0\n");
    QTest::newRow("host only") << Texts{"t", "f", "mx", "u", "p", "0"}
                               << QByteArray("S|mx|0|u|p|0\nA|t|f|0\n");
    QTest::newRow("port not a number") << Texts{"t", "f", "mx:smtp"} << QByteArray("S|mx|0|||0\nA|t|f|0\n");
    QTest::newRow("port out of range") << Texts{"t", "f", "mx:70000"} << QByteArray("S|mx|0|||0\nA|t|f|0\n");
    QTest::newRow("split at the first colon")
        << Texts{"t", "f", "mx:25:26"} << QByteArray("S|mx|25|||0\nA|t|f|0\n");
    QTest::newRow("TLS only for 1") << Texts{"t", "f", "mx", "", "", "true"}
                                    << QByteArray("S|mx|0|||0\nA|t|f|0\n");
    QTest::newRow("short list") << Texts{"t"} << QByteArray("S||0|||0\nA|t||0\n");
}

void SettingsStoreTest::storeMailAccount_splitsServerText() {
    QFETCH(Texts, texts);
    QFETCH(QByteArray, state);

    storeMailAccount(*app_, -1, texts, {});
    QCOMPARE(settingsState(*app_), state + initialReport());
}

void SettingsStoreTest::storeMailAccount_inPlace_movesToOtherServer() {
    storeMailAccount(*app_, -1, {"a", "f", "mx1", "u", "p", "0"}, {});
    storeMailAccount(*app_, -1, {"b", "f", "mx1", "u", "p", "0"}, {});
    // Same host, other password: another server.
    storeMailAccount(*app_, 0, {"a2", "f", "mx1", "u", "other", "0"}, {});
    QCOMPARE(settingsState(*app_), "S|mx1|0|u|p|0\nS|mx1|0|u|other|0\nA|a2|f|1\nA|b|f|0\n" + initialReport());

    storeMailAccount(*app_, 1, {"b2", "f", "mx1", "u", "other", "0"}, {});
    // The save after the change dropped the server nobody uses any more.
    QCOMPARE(settingsState(*app_), "S|mx1|0|u|other|0\nA|a2|f|0\nA|b2|f|0\n" + initialReport());
}

void SettingsStoreTest::storeReportSettings_defaults_data() {
    QTest::addColumn<Texts>("texts");
    QTest::addColumn<QByteArray>("report");
    QTest::addColumn<QByteArray>("logged"); // empty: nothing

    QTest::newRow("empty list: the default periods")
        << Texts{} << QByteArray("R|60|5|00000|86400|1|0|\n") << QByteArray();
    QTest::newRow("list ends after the check count")
        << Texts{"Week", "2"} << QByteArray("R|604800|2|00000|86400|1|0|\n") << QByteArray();
    QTest::newRow("no unit names: the default periods, counts unused")
        << Texts{"", "3", "0", "0", "0", "0", "0", "", "4"} << QByteArray("R|60|5|00000|86400|1|0|\n")
        << QByteArray();
    QTest::newRow("invalid texts: a name that is no unit gives the default period, said in app.log")
        << Texts{"minute", "x", "yes", "true", "2", " 1", "", "DAY", "", "USD", ""}
        << QByteArray("R|60|5|00000|86400|1|0|\n") << QByteArray("\"DAY\" is no unit name");
    QTest::newRow("negative price: 0, said in app.log")
        << Texts{"Day", "1", "0", "0", "0", "0", "0", "Day", "1", "-0.12", "EUR"}
        << QByteArray("R|86400|1|00000|86400|1|0|EUR\n") << QByteArray("Price -0.12 is outside 0 to 1e+09");
    QTest::newRow("absurd price: 0, said in app.log")
        << Texts{"Day", "1", "0", "0", "0", "0", "0", "Day", "1", "1e300", "EUR"}
        << QByteArray("R|86400|1|00000|86400|1|0|EUR\n") << QByteArray("Price 1e+300 is outside 0 to 1e+09");
    QTest::newRow("valid texts") << Texts{"Month", "3", "1", "0", "1", "0", "1", "Hour", "12", "0.25", "EUR"}
                                 << QByteArray("R|2592000|3|10101|3600|12|0.25|EUR\n") << QByteArray();
    QTest::newRow("Second is a unit") << Texts{"Second", "30", "0", "0", "0", "0", "0", "Second", "7"}
                                      << QByteArray("R|1|30|00000|1|7|0|\n") << QByteArray();
    QTest::newRow("negative counts count once") << Texts{"Day", "-2", "0", "0", "0", "0", "0", "Day", "-1"}
                                                << QByteArray("R|86400|1|00000|86400|1|0|\n") << QByteArray();
}

void SettingsStoreTest::storeReportSettings_defaults() {
    QFETCH(Texts, texts);
    QFETCH(QByteArray, report);
    QFETCH(QByteArray, logged);

    storeReportSettings(*app_, texts);
    QCOMPARE(settingsState(*app_), report);
    if (logged.isEmpty())
        QVERIFY2(!Warden::Test::appLog().contains("no unit name") &&
                     !Warden::Test::appLog().contains("outside"),
                 Warden::Test::appLog().constData());
    else
        QVERIFY2(Warden::Test::appLog().contains(logged), Warden::Test::appLog().constData());
}

void SettingsStoreTest::controllerValues_isTheTableForm_data() {
    QTest::addColumn<Texts>("stored");
    QTest::addColumn<Texts>("values");

    QTest::newRow("port joins the host, channels one place earlier")
        << Texts{"n",  "Kestrel 2", "h",    "8080", "a",    "p",         "A",
                 "13", "1",         "0.95", "B",    "10.5", "0.1234567", "1"}
        << Texts{"n", "Kestrel 2", "h:8080", "a", "p", "A", "13", "1", "0.95", "B", "10.5", "0.123457", "1"};
    QTest::newRow("no port, no channels") << Texts{"n", "Wren", "h", "0"} << Texts{"n", "Wren", "h", "", ""};
}

void SettingsStoreTest::controllerValues_isTheTableForm() {
    QFETCH(Texts, stored);
    QFETCH(Texts, values);

    storeController(*app_, -1, stored);
    QCOMPARE(controllerValues(*app_, 0), values);
    QCOMPARE(controllerValues(*app_, 1), Texts());
    QCOMPARE(controllerValues(*app_, -1), Texts());
}

void SettingsStoreTest::remove_outsideTheList_changesNothing() {
    storeController(*app_, -1, {"n"});
    storeMailAccount(*app_, -1, {"t", "f", "mx"}, {});
    const QByteArray state = settingsState(*app_);
    for (int position : {-1, 1, 100}) {
        removeController(*app_, position);
        removeMailAccount(*app_, position);
    }
    QCOMPARE(settingsState(*app_), state);
}

void SettingsStoreTest::removeController_detachesItsEvents() {
    storeController(*app_, -1, {"gone"});
    storeController(*app_, -1, {"stays"});
    Controller* gone = app_->controllerAt(0);
    app_->addEvent("1", 100, gone->id, EventKind::login_success, Transport::syslog, "r", "raw");

    removeController(*app_, 0);
    QCOMPARE(app_->controllerCount(), 1);
    QCOMPARE(app_->controllerAt(0)->name, QByteArray("stays"));
    QCOMPARE(app_->events.size(), size_t(1));
    QCOMPARE(app_->events.events().begin()->second.owner, ControllerId(0));
    QVERIFY(!Warden::Test::readFile(QStringLiteral("Ampwarden.xml")).contains("<name>gone</name>"));
}

QTEST_GUILESS_MAIN(SettingsStoreTest)
#include "tst_SettingsStore.moc"
