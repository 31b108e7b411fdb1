#include "energy/EnergyMeter.h"

#include <QtTest>

using Warden::Business::EnergyMeter;
using Warden::Business::Time;

namespace {

struct Reading {
    Time time;
    double watts;
};
using Readings = QList<Reading>;

} // namespace

Q_DECLARE_METATYPE(Readings)

class tst_EnergyMeter : public QObject {
    Q_OBJECT

private slots:
    void count_data();
    void count();
};

void tst_EnergyMeter::count_data() {
    QTest::addColumn<Readings>("readings"); // in the order they arrive
    QTest::addColumn<Time>("from");
    QTest::addColumn<Time>("till");
    QTest::addColumn<double>("joules");
    QTest::addColumn<Time>("covered");
    QTest::addColumn<int>("refused");

    // Checks every minute: a reading holds for at most 2 * 60 + 25 = 145 s.
    QTest::newRow("first reading within the period: nothing before it")
        << Readings{{1000, 100}, {1060, 200}} << Time(0) << Time(1100) << 100.0 * 60 + 200.0 * 40 << Time(100)
        << 0;
    QTest::newRow("a gap longer than the bridge: the bridge, then nothing")
        << Readings{{0, 100}, {400, 200}} << Time(0) << Time(500) << 100.0 * 145 + 200.0 * 100 << Time(245)
        << 0;
    QTest::newRow("a gap as long as the bridge is bridged")
        << Readings{{0, 100}, {145, 200}} << Time(0) << Time(200) << 100.0 * 145 + 200.0 * 55 << Time(200)
        << 0;
    QTest::newRow("the newest reading holds for the bridge at most")
        << Readings{{0, 100}} << Time(0) << Time(1000) << 100.0 * 145 << Time(145) << 0;
    QTest::newRow("the reading in force at the start counts from the start")
        << Readings{{50, 100}, {120, 200}} << Time(100) << Time(200) << 100.0 * 20 + 200.0 * 80 << Time(100)
        << 0;
    QTest::newRow("a reading further back than the bridge holds nothing")
        << Readings{{0, 100}} << Time(1000) << Time(2000) << 0.0 << Time(0) << 0;
    QTest::newRow("two readings in one second: the one taken last holds")
        << Readings{{0, 100}, {0, 300}} << Time(0) << Time(100) << 300.0 * 100 << Time(100) << 0;
    QTest::newRow("a reading older than the newest is refused and changes nothing")
        << Readings{{0, 100}, {100, 200}, {50, 900}} << Time(0) << Time(150) << 100.0 * 100 + 200.0 * 50
        << Time(150) << 1;
}

void tst_EnergyMeter::count() {
    QFETCH(Readings, readings);
    QFETCH(Time, from);
    QFETCH(Time, till);
    QFETCH(double, joules);
    QFETCH(Time, covered);
    QFETCH(int, refused);

    EnergyMeter meter(EnergyMeter::bridge(60), from);
    int refusals = 0;
    for (const Reading& reading : readings)
        refusals += meter.add(reading.time, reading.watts) ? 0 : 1;
    QCOMPARE(meter.joules(till), joules);
    QCOMPARE(meter.kWh(till), joules / 3.6e6);
    QCOMPARE(meter.covered(till), covered);
    QCOMPARE(refusals, refused);
}

QTEST_GUILESS_MAIN(tst_EnergyMeter)
#include "tst_EnergyMeter.moc"
