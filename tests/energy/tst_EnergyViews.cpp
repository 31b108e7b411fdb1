// The Status tab's energy of today, the metrics' counters and the energy export read the same
// readings alike; runs under UTC and Europe/Berlin, since "today" starts at local midnight.
#include "TestSupport.h"

#include "core/Application.h"
#include "energy/EnergyHistory.h"
#include "energy/EnergyMeter.h"
#include "metrics/MetricsExposition.h"
#include "status/StatusModel.h"

#include <QtTest>

#include <algorithm>

using namespace Warden::Business;
using Warden::MetricsExposition;
using Warden::StatusModel;
using Warden::Test::localSeconds;
using Warden::Test::ManualClock;
using Warden::Test::ScopedWorkDir;

namespace {

// Controller 0 is a two-bus Kestrel 2, controller 1 a one-bus Heron.
struct ViewReading {
    int controller;
    QByteArray channel;
    Time sinceMidnight;
    double watts;
};
using Readings = QList<ViewReading>;

struct Expected {
    int controller;
    int bus;
    double kWh; // today, at the newest reading of all
};
using Expectations = QList<Expected>;

Time at(int hour, int minute, int second = 0) {
    return Time(hour) * 3600 + minute * 60 + second;
}

double metricsValue(const QByteArray& exposition, const QByteArray& series) {
    const qsizetype at = exposition.indexOf('\n' + series + ' ');
    if (at < 0)
        return -1;
    const qsizetype start = at + 1 + series.size() + 1;
    return exposition.mid(start, exposition.indexOf('\n', start) - start).toDouble();
}

} // namespace

Q_DECLARE_METATYPE(Readings)
Q_DECLARE_METATYPE(Expectations)

class tst_EnergyViews : public QObject {
    Q_OBJECT

private slots:
    void sameReadings_sameEnergy_data();
    void sameReadings_sameEnergy();
};

void tst_EnergyViews::sameReadings_sameEnergy_data() {
    QTest::addColumn<Readings>("readings");
    QTest::addColumn<Expectations>("expected");

    // Checks every minute: one missed check is bridged, a reading holds for at most 145 s.
    QTest::newRow("first reading at noon: nothing before it") << Readings{{0, "A", at(12, 0), 1000},
                                                                          {0, "A", at(12, 1), 1000},
                                                                          {0, "A", at(12, 2), 1000},
                                                                          {0, "A", at(12, 3), 1000}}
                                                              << Expectations{{0, 0, 1000 * 180 / 3.6e6}};
    QTest::newRow("an hour without readings: 145 s of the last power, then nothing")
        << Readings{{0, "A", at(10, 0), 500},
                    {0, "A", at(10, 1), 500},
                    {0, "A", at(11, 0), 800},
                    {0, "A", at(11, 1), 800}}
        << Expectations{{0, 0, (500 * 60 + 500 * 145 + 800 * 60) / 3.6e6}};
    QTest::newRow("both buses and a one-bus model, interleaved")
        << Readings{{0, "A", at(8, 0), 6000}, {1, "", at(8, 0), 3000},      {0, "B", at(8, 0, 30), 2000},
                    {0, "A", at(8, 1), 6000}, {0, "B", at(8, 1, 30), 2000}, {1, "", at(8, 2), 3000},
                    {0, "A", at(8, 2), 6000}}
        << Expectations{{0, 0, 6000 * 120 / 3.6e6}, {0, 1, 2000 * 90 / 3.6e6}, {1, 0, 3000 * 120 / 3.6e6}};
}

void tst_EnergyViews::sameReadings_sameEnergy() {
    QFETCH(Readings, readings);
    QFETCH(Expectations, expected);

    ScopedWorkDir dir;
    const Time midnight = localSeconds(2026, 6, 10);
    ManualClock clock(midnight);
    Application app;
    app.report.checkEveryUnit = 60;
    app.report.checkEveryUnits = 1;
    app.controllers.emplace_back("pdu", 0, "10.0.0.9", 0, "admin", "pw");
    app.controllers.emplace_back("edge", 2, "10.0.0.7", 0, "admin", "pw");
    StatusModel status(app);
    MetricsExposition metrics(app);
    const QMetaObject::Connection listener =
        QObject::connect(&app, &Application::eventAdded, &status, [&](const Event& event) {
            status.eventAdded(event);
            metrics.eventAdded(event);
        });
    Time newest[2][2] = {};
    for (const ViewReading& r : readings) {
        const Time t = midnight + r.sinceMidnight;
        clock.set(t);
        Controller* c = app.controllerAt(r.controller);
        app.addEvent({}, t, c->id, EventKind::values, Transport::http,
                     "Current loads on channel " + r.channel + ": 230 V, 1 A, " +
                         QByteArray::number(r.watts) + " W",
                     {});
        newest[r.controller][r.channel == "B" ? 1 : 0] = t;
    }
    QObject::disconnect(listener);
    const Time now = clock.now();
    status.flush();
    const QByteArray exposition = metrics.render();

    // The export of today up to `till`, for one bus.
    const auto exported = [&](int controller, int bus, Time till) {
        EnergyHistory history(EnergyMeter::bridge(app.report.checkPeriod()));
        history.readLogs(dir.path(), midnight, till);
        const QByteArray name = app.controllerAt(controller)->displayName();
        double kWh = -1;
        history.periods(midnight, till, EnergyGrouping::day, [&](const EnergyPeriod& row) {
            if (row.controller == name && row.bus == (bus == 0 ? "A" : "B"))
                kWh = row.kWh;
        });
        return kWh;
    };
    const auto shownToday = [&](const Expected& e) {
        return status.index(e.controller, StatusModel::busColumn(StatusModel::today, e.bus))
            .data()
            .toString();
    };
    for (const Expected& e : expected) {
        const Controller* c = app.controllerAt(e.controller);
        QCOMPARE(exported(e.controller, e.bus, now), e.kWh);
        QCOMPARE(shownToday(e), QString::number(e.kWh, 'f', 3) + QStringLiteral(" kWh"));
        // A counter goes up to the bus's newest reading only: what follows is not settled yet.
        const QByteArray series = "ampwarden_bus_energy_kwh_total{controller=\"" + c->name + "\",model=\"" +
                                  Application::modelName(c->type) + "\",host=\"" + c->host + "\",bus=\"" +
                                  (e.bus == 0 ? "A" : "B") + "\"}";
        QCOMPARE(metricsValue(exposition, series),
                 exported(e.controller, e.bus, newest[e.controller][e.bus]));
    }

    // A report lets the store go of all but the newest events; the day's count outlives a change of the
    // settings all the same.
    for (int i = 0; i < 20; ++i)
        app.addEvent({}, now, app.controllerAt(1)->id, EventKind::login_success, Transport::syslog, {},
                     "login");
    for (Controller& c : app.controllers)
        app.markReported(c);
    app.prune();
    status.reload();
    for (const Expected& e : expected)
        QCOMPARE(shownToday(e), QString::number(e.kWh, 'f', 3) + QStringLiteral(" kWh"));
}

QTEST_MAIN(tst_EnergyViews)
#include "tst_EnergyViews.moc"
