#include "TestSupport.h"

#include "status/LoadHistory.h"

#include "core/Application.h"
#include "core/Records.h"
#include "energy/EnergyMeter.h"

#include <QDir>
#include <QFile>
#include <QTest>

using namespace Warden;
using Warden::Business::Application;
using Warden::Business::Time;
using Warden::Test::localSeconds;
using Warden::Test::ManualClock;
using Warden::Test::ScopedWorkDir;
using Warden::Test::utcSeconds;
using Segments = QList<QList<QPointF>>;

Q_DECLARE_METATYPE(Segments)

namespace {

constexpr quint64 rack = 7;
// A check every minute: one missed check is bridged, two are a gap.
const Time minuteBridge = Business::EnergyMeter::bridge(60);

Segments shown(const std::vector<LoadHistory::Segment>& segments, Time origin) {
    Segments out;
    for (const auto& segment : segments) {
        QList<QPointF> points;
        for (const LoadHistory::Point& p : segment)
            points << QPointF(double(p.time - origin), p.amps);
        out << points;
    }
    return out;
}

// A reading as a running program writes it to its daily log.
void writeReading(Application& app, Business::ControllerId owner, Time t, double amps) {
    const Business::Event event{{},
                                t,
                                Business::EventKind::values,
                                Business::Transport::http,
                                "Current loads on channel A: 230 V, " + QByteArray::number(amps) + " A, " +
                                    QByteArray::number(230 * amps) + " W",
                                "<!-- load -->",
                                owner};
    const QString path = QString::fromUtf8(Application::dailyLogPath(t));
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::Append));
    file.write(app.eventLine(event) + '\n');
}

} // namespace

class tst_LoadHistory : public QObject {
    Q_OBJECT

private slots:
    void segments_breakWhereReadingsStop_data();
    void segments_breakWhereReadingsStop();
    void week_keepsExtremesWithinItsBuckets();
    void at_readsTheReadingInForce_data();
    void at_readsTheReadingInForce();
    void readLogs_bringsBackTheWeekOfPresentControllers_data();
    void readLogs_bringsBackTheWeekOfPresentControllers();
};

void tst_LoadHistory::segments_breakWhereReadingsStop_data() {
    QTest::addColumn<QList<QPointF>>("readings"); // seconds before the end, amperes
    QTest::addColumn<Segments>("expected");
    QTest::newRow("every minute") << QList<QPointF>{{0, 1}, {60, 2}, {120, 3}}
                                  << Segments{{{0, 1}, {60, 2}, {120, 3}}};
    QTest::newRow("one missed check is bridged")
        << QList<QPointF>{{0, 1}, {60, 2}, {180, 3}} << Segments{{{0, 1}, {60, 2}, {180, 3}}};
    QTest::newRow("two missed checks are a gap") << QList<QPointF>{{0, 1}, {60, 2}, {240, 3}, {300, 4}}
                                                 << Segments{{{0, 1}, {60, 2}}, {{240, 3}, {300, 4}}};
    QTest::newRow("a lone reading between gaps stands alone")
        << QList<QPointF>{{0, 1}, {600, 5}, {1200, 2}} << Segments{{{0, 1}}, {{600, 5}}, {{1200, 2}}};
    QTest::newRow("out of order, older than the range")
        << QList<QPointF>{{60, 2}, {0, 1}, {-7200, 9}} << Segments{{{0, 1}, {60, 2}}};
}

void tst_LoadHistory::segments_breakWhereReadingsStop() {
    QFETCH(QList<QPointF>, readings);
    QFETCH(Segments, expected);
    const Time start = utcSeconds(2026, 12, 8, 10);
    ManualClock clock(start + 3000);
    LoadHistory history;
    history.setSources({{rack, "rack1", 2}});
    for (const QPointF& r : readings)
        history.add(rack, 1, start + Time(r.x()), r.y());
    QCOMPARE(shown(history.segments(rack, 1, ChartRange::hour, start + 3000, minuteBridge), start), expected);
    QVERIFY(history.segments(rack, 0, ChartRange::hour, start + 3000, minuteBridge).empty());
}

void tst_LoadHistory::week_keepsExtremesWithinItsBuckets() {
    const Time start = utcSeconds(2026, 12, 1);
    const Time end = start + 14 * 86400;
    ManualClock clock(end);
    LoadHistory history;
    history.setSources({{rack, "rack1", 1}});
    // Two weeks every 10 seconds: one peak and one dip of a single reading each.
    for (Time t = start; t < end; t += 10)
        history.add(rack, 0, t,
                    t == end - 2 * 86400 ? 17.5
                    : t == end - 86400   ? 0.25
                                         : 4 + double((t / 10) % 3) * 0.5);
    const auto week = history.segments(rack, 0, ChartRange::week, end, minuteBridge);
    QCOMPARE(week.size(), 1u);
    const auto& points = week.front();
    QVERIFY(points.size() <= 4 * (7 * 86400 / 1800 + 1));
    QVERIFY(std::any_of(points.begin(), points.end(), [&](const auto& p) {
        return p == LoadHistory::Point{end - 2 * 86400, 17.5};
    }));
    QVERIFY(std::any_of(points.begin(), points.end(), [&](const auto& p) {
        return p == LoadHistory::Point{end - 86400, 0.25};
    }));
    QVERIFY(points.front().time >= end - 7 * 86400 - 1800);
    // The memory taken is bounded by the ranges, not by the readings.
    QVERIFY(history.bucketCount() <= 3600 / 10 + 86400 / 300 + 7 * 86400 / 1800 + 3);
}

void tst_LoadHistory::at_readsTheReadingInForce_data() {
    QTest::addColumn<int>("range");
    QTest::addColumn<qint64>("at"); // seconds after the first reading
    QTest::addColumn<bool>("found");
    QTest::addColumn<double>("high");
    QTest::newRow("hour: between two readings, the older one")
        << int(ChartRange::hour) << 100ll << true << 2.0;
    QTest::newRow("hour: within a bridge after the last") << int(ChartRange::hour) << 260ll << true << 3.0;
    QTest::newRow("hour: in the gap after it") << int(ChartRange::hour) << 400ll << false << 0.0;
    QTest::newRow("hour: before the first") << int(ChartRange::hour) << -30ll << false << 0.0;
    QTest::newRow("week: the bucket's highest") << int(ChartRange::week) << 10ll << true << 3.0;
}

void tst_LoadHistory::at_readsTheReadingInForce() {
    QFETCH(int, range);
    QFETCH(qint64, at);
    QFETCH(bool, found);
    QFETCH(double, high);
    const Time start = utcSeconds(2026, 12, 8, 10);
    ManualClock clock(start + 3000);
    LoadHistory history;
    history.setSources({{rack, "rack1", 1}});
    history.add(rack, 0, start, 1);
    history.add(rack, 0, start + 60, 2);
    history.add(rack, 0, start + 120, 3);
    const auto span = history.at(rack, 0, ChartRange(range), start + at, minuteBridge);
    QCOMPARE(span.has_value(), found);
    if (found)
        QCOMPARE(span->high, high);
}

void tst_LoadHistory::readLogs_bringsBackTheWeekOfPresentControllers_data() {
    QTest::addColumn<qint64>("now");
    QTest::addColumn<QList<qint64>>("present"); // written under the present name, seconds before now
    QTest::addColumn<QList<qint64>>("other");   // written under another name
    QTest::addColumn<QList<qint64>>("expected");
    const qint64 now = localSeconds(2026, 12, 8, 12);
    QTest::newRow("several days, the week only")
        << now << QList<qint64>{8 * 86400, 6 * 86400, 3 * 86400, 3600} << QList<qint64>{}
        << QList<qint64>{6 * 86400, 3 * 86400, 3600};
    // Under Europe/Berlin 02:50 CEST, then 02:10 CET of 25 October: the later line is in the second run.
    const qint64 afterChange = utcSeconds(2026, 10, 26, 12);
    QTest::newRow("the repeated hour of autumn")
        << afterChange
        << QList<qint64>{afterChange - utcSeconds(2026, 10, 25, 0, 50),
                         afterChange - utcSeconds(2026, 10, 25, 1, 10)}
        << QList<qint64>{}
        << QList<qint64>{afterChange - utcSeconds(2026, 10, 25, 0, 50),
                         afterChange - utcSeconds(2026, 10, 25, 1, 10)};
    QTest::newRow("renamed or removed: the lines of another name stay out")
        << now << QList<qint64>{600} << QList<qint64>{1200, 300} << QList<qint64>{600};
}

void tst_LoadHistory::readLogs_bringsBackTheWeekOfPresentControllers() {
    QFETCH(qint64, now);
    QFETCH(QList<qint64>, present);
    QFETCH(QList<qint64>, other);
    QFETCH(QList<qint64>, expected);
    ScopedWorkDir dir;
    ManualClock clock(now);
    Application app;
    app.settingsBook.savingEnabled = false;
    const auto& current = app.controllers.emplace_back("rack1", 2, "10.0.0.5", 0, "admin", "pw");
    const auto& former = app.controllers.emplace_back("rack0", 2, "10.0.0.5", 0, "admin", "pw");
    // In the order a running program writes them.
    std::map<qint64, const Business::Controller*> lines;
    for (const qint64 ago : present)
        lines[now - ago] = &current;
    for (const qint64 ago : other)
        lines[now - ago] = &former;
    for (const auto& [t, owner] : lines)
        writeReading(app, owner->id, t, 2.5);

    LoadHistory history;
    history.setSources({{rack, current.displayName(), 1}});
    const LoadHistory::LoadResult result = history.readLogs(dir.path(), now);

    QList<qint64> found;
    for (const auto& segment : history.segments(rack, 0, ChartRange::week, now, 86400 * 8))
        for (const LoadHistory::Point& p : segment)
            found << now - p.time;
    QCOMPARE(found, expected);
    QCOMPARE(result.readings, qint64(expected.size()));
    QVERIFY(result.unreadableFiles.isEmpty());
}

QTEST_GUILESS_MAIN(tst_LoadHistory)
#include "tst_LoadHistory.moc"
