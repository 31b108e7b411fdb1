#include "FullWalkEnergy.h"
#include "TestSupport.h"

#include "core/Application.h"
#include "core/ClockText.h"
#include "energy/Energy.h"
#include "energy/ReadingWindow.h"

#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QtTest>

#include <cstring>

using namespace Warden::Business;
using Warden::clockText;
using Warden::Test::addReading;
using Warden::Test::appLog;
using Warden::Test::fullWalkEnergy;
using Warden::Test::ScopedWorkDir;

namespace {

// A load reading of the test's controller: channel, watts and seconds after the period start. Rows list
// them in the order they reach the store.
struct StoredReading {
    QByteArray channel;
    double watts;
    Time offset;
};
using StoredReadings = QList<StoredReading>;

Controller& addController(Application& app) {
    return app.controllers.emplace_back("pdu", 0, "10.0.0.9", 0, "admin", "pw");
}

constexpr Time t0 = 1796000000; // within the 32-bit range the controllers use

double transitionsKWh(const EventStore& store, const Controller& controller, Time from, Time till,
                      int channel) {
    double kWh = -1;
    getTransitions(isUnderOverCurrent(controller, from, till, store, channel), from, till, kWh);
    return kWh;
}

bool sameBits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

Q_DECLARE_METATYPE(StoredReading)

class TestEnergy : public QObject {
    Q_OBJECT

private slots:
    void getEnergy_handComputedCases_data();
    void getEnergy_handComputedCases();
    void getEnergy_sameAsFullWalkOnRandomStores_data();
    void getEnergy_sameAsFullWalkOnRandomStores();
    void reading_channelAndWatts_data();
    void reading_channelAndWatts();
    void getTransitions_traceNamesEveryStep();
    void noReadings_reportedAndZero();
    void energiesDiffer_relativeTolerance_data();
    void energiesDiffer_relativeTolerance();
};

void TestEnergy::getEnergy_handComputedCases_data() {
    QTest::addColumn<StoredReadings>("readings");
    QTest::addColumn<Time>("length");
    QTest::addColumn<double>("kWhA");
    QTest::addColumn<double>("kWhB");

    QTest::newRow("100 W then 200 W over an hour give 0.15 kWh")
        << StoredReadings{{"A", 100, 600}, {"A", 200, 1800}} << Time{3600} << 0.15 << 0.0;
    QTest::newRow("single reading after till holds over the whole period")
        << StoredReadings{{"A", 500, 4000}} << Time{3600} << 0.5 << 0.0;
    QTest::newRow("single reading inside is carried back to from")
        << StoredReadings{{"B", 360, 1800}} << Time{3600} << 0.0 << 0.36;
    QTest::newRow("only the newest reading before from counts")
        << StoredReadings{{"A", 9999, -500}, {"A", 720, -10}} << Time{3600} << 0.72 << 0.0;
    QTest::newRow("reading after till ends the older one at till")
        << StoredReadings{{"A", 100, 1000}, {"A", 900, 5000}} << Time{3600} << 0.1 << 0.0;
    QTest::newRow("channels are summed apart")
        << StoredReadings{{"A", 100, 0}, {"B", 200, 1800}, {"A", 300, 1800}} << Time{3600} << 0.2 << 0.2;
    QTest::newRow("no readings give nothing") << StoredReadings{} << Time{3600} << 0.0 << 0.0;
    QTest::newRow("empty channel name counts for B")
        << StoredReadings{{"", 100, 0}} << Time{3600} << 0.0 << 0.1;
    QTest::newRow("other bus names count for B") << StoredReadings{{"C", 100, 0}} << Time{3600} << 0.0 << 0.1;
    // The reading stored later holds after the shared second, the other one only before it.
    QTest::newRow("same-second readings: the later one holds on")
        << StoredReadings{{"A", 100, 600}, {"A", 300, 600}} << Time{3600}
        << (100.0 * 600 + 300.0 * 3000) / 3600000 << 0.0;
    QTest::newRow("readings at from and at till")
        << StoredReadings{{"A", 100, 0}, {"A", 700, 3600}} << Time{3600} << 0.1 << 0.0;
    QTest::newRow("empty period") << StoredReadings{{"A", 100, 0}} << Time{0} << 0.0 << 0.0;
}

void TestEnergy::getEnergy_handComputedCases() {
    QFETCH(StoredReadings, readings);
    QFETCH(Time, length);
    QFETCH(double, kWhA);
    QFETCH(double, kWhB);
    ScopedWorkDir dir;
    Application app;
    Controller& controller = addController(app);
    Controller& other = app.controllers.emplace_back("other", 0, "10.0.0.8", 0, "admin", "pw");
    for (const StoredReading& reading : readings) {
        addReading(app.events, controller, t0 + reading.offset, reading.channel, reading.watts);
        addReading(app.events, other, t0 + reading.offset, reading.channel, 5000); // must not count
    }
    const Time from = t0;
    const Time till = t0 + length;

    const ChannelEnergies energies = getEnergy(app.events, controller, from, till);
    QCOMPARE(energies.a, kWhA);
    QCOMPARE(energies.b, kWhB);
    // The per-controller walk and the walk over the whole store add up the same terms.
    const ChannelEnergies reference = fullWalkEnergy(app.events, controller, from, till);
    QVERIFY(sameBits(energies.a, reference.a));
    QVERIFY(sameBits(energies.b, reference.b));
    // The transitions of each channel integrate to the same energy.
    if (kWhA != 0)
        QVERIFY(!energiesDiffer(energies.a, transitionsKWh(app.events, controller, from, till, 0)));
    if (kWhB != 0)
        QVERIFY(!energiesDiffer(energies.b, transitionsKWh(app.events, controller, from, till, 1)));
}

void TestEnergy::getEnergy_sameAsFullWalkOnRandomStores_data() {
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<int>("readingCount");
    QTest::newRow("sparse readings, long gaps") << 1u << 40;
    QTest::newRow("dense readings with shared seconds") << 7u << 600;
    QTest::newRow("many readings, one channel missing for a while") << 42u << 2000;
}

void TestEnergy::getEnergy_sameAsFullWalkOnRandomStores() {
    QFETCH(quint32, seed);
    QFETCH(int, readingCount);
    ScopedWorkDir dir;
    Application app;
    QRandomGenerator random(seed);
    Controller& controller = addController(app);
    Controller& other = app.controllers.emplace_back("other", 1, "10.0.0.8", 0, "admin", "pw");
    const Time span = readingCount * 30;
    for (int i = 0; i < readingCount; ++i) {
        const Time t = t0 + random.bounded(static_cast<int>(span));
        const bool onA = random.bounded(3) != 0;
        if (!onA && t < t0 + span / 3)
            continue; // leaves channel B without readings early on
        addReading(app.events, random.bounded(4) == 0 ? other : controller, t, onA ? "A" : "B",
                   random.bounded(2000) / 4.0);
        if (random.bounded(10) == 0)
            app.events.insert(Event{"", t, EventKind::login_success, Transport::syslog, "channel A, 999 W",
                                    "", controller.id});
    }

    for (int round = 0; round < 40; ++round) {
        const Time windowFrom = t0 - 100 + random.bounded(static_cast<int>(span + 200));
        const Time windowTill = windowFrom + random.bounded(static_cast<int>(span / 2 + 1));
        const ReadingWindow window(controller, windowFrom, windowTill, app.events);
        for (int part = 0; part < 8; ++part) {
            // Any part of the window, its ends included.
            const Time from =
                part == 0 ? windowFrom : windowFrom + random.bounded(windowTill - windowFrom + 1);
            const Time till = part == 0 ? windowTill : from + random.bounded(windowTill - from + 1);
            const QString where = QStringLiteral("window %1 .. %2").arg(from).arg(till);
            const ChannelEnergies energies = getEnergy(app.events, controller, from, till);
            const ChannelEnergies reference = fullWalkEnergy(app.events, controller, from, till);
            const ChannelEnergies copied = window.energy(from, till);
            QVERIFY2(sameBits(energies.a, reference.a) && sameBits(energies.b, reference.b),
                     qPrintable(where));
            QVERIFY2(sameBits(copied.a, reference.a) && sameBits(copied.b, reference.b), qPrintable(where));
            for (int channel = 0; channel < 2; ++channel) {
                const double full = transitionsKWh(app.events, controller, from, till, channel);
                QVERIFY2(!energiesDiffer(channel == 0 ? energies.a : energies.b, full), qPrintable(where));
            }
        }
    }
}

void TestEnergy::reading_channelAndWatts_data() {
    QTest::addColumn<QByteArray>("reason");
    QTest::addColumn<int>("channel");
    QTest::addColumn<double>("watts");

    QTest::newRow("parser's text, channel A")
        << QByteArray("Current loads on channel A: 230 V, 0.6 A, 141.5 W") << 0 << 141.5;
    QTest::newRow("parser's text, channel B")
        << QByteArray("Current loads on channel B: 230 V, 2 A, 460 W") << 1 << 460.0;
    QTest::newRow("one-bus model has no channel name")
        << QByteArray("Current loads on channel : 120 V, 1 A, 120 W") << 1 << 120.0;
    QTest::newRow("channel A anywhere in the text") << QByteArray("mains, channel A, 12 W") << 0 << 12.0;
    QTest::newRow("lower-case channel a is B") << QByteArray("channel a, 12 W") << 1 << 12.0;
    QTest::newRow("blanks before the number are skipped")
        << QByteArray("channel B,   \t42.25W") << 1 << 42.25;
    QTest::newRow("exponent") << QByteArray("channel A, 1.5e3 W") << 0 << 1500.0;
    QTest::newRow("explicit signs") << QByteArray("channel A, -12 W") << 0 << -12.0;
    QTest::newRow("leading point") << QByteArray("channel A, .5 W") << 0 << 0.5;
    QTest::newRow("no number gives 0 W") << QByteArray("channel A: 230 V, 0.6 A, n/a") << 0 << 0.0;
    QTest::newRow("inf is not a number") << QByteArray("channel A, inf W") << 0 << 0.0;
    QTest::newRow("text ending in a comma") << QByteArray("channel A, 5 W,") << 0 << 0.0;
    QTest::newRow("without a comma the whole text is read") << QByteArray("77 W") << 1 << 77.0;
}

void TestEnergy::reading_channelAndWatts() {
    QFETCH(QByteArray, reason);
    QFETCH(int, channel);
    QFETCH(double, watts);
    Event reading;
    reading.kind = EventKind::values;
    reading.reason = reason;
    QCOMPARE(readingChannel(reading), channel);
    QCOMPARE(readingWatts(reading), watts);
}

void TestEnergy::getTransitions_traceNamesEveryStep() {
    ScopedWorkDir dir;
    Application app;
    Controller& controller = addController(app);
    addReading(app.events, controller, t0 + 600, "A", 100);
    addReading(app.events, controller, t0 + 1800, "A", 200);
    addReading(app.events, controller, t0 + 1800, "B", 999);
    addReading(app.events, controller, t0 + 7200, "A", 400); // after till: listed, not integrated

    const Transitions transitions = isUnderOverCurrent(controller, t0, t0 + 3600, app.events, 0);
    QCOMPARE(transitions, (Transitions{{t0 + 600, 100}, {t0 + 1800, 200}, {t0 + 7200, 400}}));
    double kWh = -1;
    const QByteArray trace = getTransitions(transitions, t0, t0 + 3600, kWh);
    QCOMPARE(kWh, 0.15);
    const QByteArray expected = "(100 watts before and since " + clockText(t0 + 600) +
                                ", then 200 watts since " + clockText(t0 + 1800) + ", then 400 watts since " +
                                clockText(t0 + 7200) + ") --> (100 watts since " + clockText(t0) +
                                ", then 200 watts since " + clockText(t0 + 1800) + " till " +
                                clockText(t0 + 3600) + ") and result in 540000 J = 0.15 kWH";
    QCOMPARE(trace, expected);

    // The walk stops at the reading in force at from; older ones are left out.
    addReading(app.events, controller, t0 - 100, "A", 20);
    addReading(app.events, controller, t0 - 50, "A", 10);
    const Transitions fromStart = isUnderOverCurrent(controller, t0, t0 + 3600, app.events, 0);
    QCOMPARE(fromStart.begin()->first, t0 - 50);
    QCOMPARE(fromStart.size(), std::size_t{4});
    const Transitions fromMiddle =
        isUnderOverCurrent(controller, t0 + 700, t0 + 3600, app.events, 0);
    QCOMPARE(fromMiddle.begin()->first, t0 + 600);
    QCOMPARE(fromMiddle.size(), std::size_t{3});
}

void TestEnergy::noReadings_reportedAndZero() {
    ScopedWorkDir dir;
    Application app;
    Controller& controller = addController(app);
    Controller& other = app.controllers.emplace_back("other", 0, "10.0.0.8", 0, "admin", "pw");
    addReading(app.events, controller, t0, "A", 100);
    addReading(app.events, other, t0 + 5, "B", 300);

    QLoggingCategory::setFilterRules(QStringLiteral("ampwarden.energy.trace.debug=true"));
    QTest::ignoreMessage(QtDebugMsg,
                         QByteArray("Event::isUnderOverCurrent(): there are no sufficient events from " +
                                    clockText(t0) + " till " + clockText(t0 + 60) + " of:")
                             .constData());
    // Every reading of the store is listed, whichever controller it belongs to.
    for (const auto& [key, event] : app.events.events())
        QTest::ignoreMessage(QtDebugMsg, app.eventLine(event).constData());
    const Transitions none = isUnderOverCurrent(controller, t0, t0 + 60, app.events, 1);
    QLoggingCategory::setFilterRules(QString());
    QVERIFY(none.empty());

    double kWh = -1;
    QVERIFY(getTransitions(none, t0, t0 + 60, kWh).isEmpty());
    QCOMPARE(kWh, 0.0);
    QVERIFY(appLog().contains(
        "getTransitions() error: transitions has to be not less than 1 in size, actual size is 0\n"));
    QCOMPARE(getEnergy(app.events, controller, t0, t0 + 60).b, 0.0);
}

void TestEnergy::energiesDiffer_relativeTolerance_data() {
    QTest::addColumn<double>("value");
    QTest::addColumn<double>("reference");
    QTest::addColumn<bool>("differ");
    QTest::newRow("rounding noise agrees") << 0.15 << 0.15 * (1 + 1e-14) << false;
    QTest::newRow("relative 1e-11 differs") << 0.15 << 0.15 * (1 + 1e-11) << true;
    QTest::newRow("large values judged relative") << 1e6 << 1e6 + 1e-7 << false;
    QTest::newRow("zero reference divides by one, small") << 1e-13 << 0.0 << false;
    QTest::newRow("zero reference divides by one, large") << 1e-11 << 0.0 << true;
    QTest::newRow("zero against something") << 0.0 << 0.001 << true;
}

void TestEnergy::energiesDiffer_relativeTolerance() {
    QFETCH(double, value);
    QFETCH(double, reference);
    QFETCH(bool, differ);
    QCOMPARE(energiesDiffer(value, reference), differ);
}

QTEST_GUILESS_MAIN(TestEnergy)
#include "tst_Energy.moc"
