#include "FullWalkEnergy.h"
#include "TestSupport.h"

#include "core/Application.h"
#include "energy/Energy.h"
#include "energy/Histogram.h"
#include "energy/ReadingWindow.h"

#include <QImage>
#include <QtTest>

#include <algorithm>

using namespace Warden::Business;
using Warden::Test::addReading;
using Warden::Test::appLog;
using Warden::Test::localSeconds;
using Warden::Test::ScopedWorkDir;

namespace {

const QColor white(Qt::white);
const QColor black(Qt::black);

QImage decode(const QByteArray& base64) {
    return QImage::fromData(QByteArray::fromBase64(base64), "PNG");
}

// The picture of `layout` from the controller's readings in the store.
QImage histogram(const EventStore& store, const Controller& controller, const QByteArray& channel,
                 const HistogramLayout& layout, double energy) {
    const ReadingWindow readings(controller, layout.edges.front(), layout.edges.back(), store);
    return decode(createPngImage(controller, channel, layout, energy, readings));
}

Controller& addController(Application& app) {
    return app.controllers.emplace_back("rack-7", 0, "10.1.0.7", 8080, "admin", "pw");
}

// Channel A draws 100, 200, 300, 400 W over four bars in turn, channel B a steady 100 W.
double wattsA(int bar) {
    return 100.0 * (bar % 4 + 1);
}
constexpr double wattsB = 100;

double drawnWatts(const QByteArray& channel, int bar) {
    return channel == "A" ? wattsA(bar) : channel == "B" ? wattsB : wattsA(bar) + wattsB;
}

int countPixels(const QImage& image, const QRect& area, const QColor& colour) {
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x)
            n += image.pixelColor(x, y) == colour ? 1 : 0;
    }
    return n;
}

} // namespace

class TestHistogram : public QObject {
    Q_OBJECT

private slots:
    void histogramLayout_barsCoverReportPeriod_data();
    void histogramLayout_barsCoverReportPeriod();
    void createPngImage_barsAtTheirSlotsAndSumToBill_data();
    void createPngImage_barsAtTheirSlotsAndSumToBill();
    void createPngImage_barSumDisagreesWithBill_logged();
};

void TestHistogram::histogramLayout_barsCoverReportPeriod_data() {
    QTest::addColumn<quint32>("unit");
    QTest::addColumn<quint32>("units");
    QTest::addColumn<Time>("from");
    QTest::addColumn<Time>("till");
    QTest::addColumn<int>("bars");
    QTest::addColumn<Time>("first"); // seconds of the first bar
    QTest::addColumn<Time>("last");

    const Time dec1 = localSeconds(2026, 12, 1);
    QTest::newRow("minutes: 30 bars over the interval")
        << 60u << 5u << dec1 - 300 << dec1 << 30 << Time{10} << Time{10};
    QTest::newRow("hour: 30 bars") << 3600u << 1u << dec1 - 3600 << dec1 << 30 << Time{120} << Time{120};
    QTest::newRow("day: an hour per bar")
        << 86400u << 1u << dec1 - 86400 << dec1 << 24 << Time{3600} << Time{3600};
    QTest::newRow("week: a day per bar")
        << 604800u << 1u << dec1 - 604800 << dec1 << 7 << Time{86400} << Time{86400};
    QTest::newRow("first daily report after start: shorter last bar")
        << 86400u << 1u << dec1 - 30873 << dec1 << 9 << Time{3600} << Time{2073};
    QTest::newRow("daily report a second late: the second joins the last bar")
        << 86400u << 1u << dec1 - 86400 << dec1 + 1 << 24 << Time{3600} << Time{3601};
    QTest::newRow("daily report held back three days: three hours per bar")
        << 86400u << 1u << dec1 - 3 * 86400 << dec1 << 24 << Time{10800} << Time{10800};
    QTest::newRow("five weeks over a 31-day month: five days per bar")
        << 604800u << 5u << dec1 << localSeconds(2027, 1, 1) << 7 << Time{432000} << Time{86400};
    QTest::newRow("month 17 Nov to 17 Dec: a bar per day")
        << 2592000u << 1u << localSeconds(2026, 11, 17, 15, 35, 27) << localSeconds(2026, 12, 17, 15, 35, 27)
        << 30 << Time{86400} << Time{86400};
    QTest::newRow("month from 31 January to 3 March: 31 days")
        << 2592000u << 1u << localSeconds(2026, 1, 31, 10) << localSeconds(2026, 3, 3, 10) << 31
        << Time{86400} << Time{86400};
    // Under Europe/Berlin 25 October has 25 hours: still one bar, not a 32nd bar of one hour.
    QTest::newRow("month over the end of daylight saving: a bar per calendar day")
        << 2592000u << 1u << localSeconds(2026, 10, 17, 12) << localSeconds(2026, 11, 17, 12) << 31
        << Time{86400} << Time{86400};
    QTest::newRow("month held back to 65 days: three calendar days per bar")
        << 2592000u << 1u << localSeconds(2026, 10, 1) << localSeconds(2026, 12, 5) << 22 << Time{3 * 86400}
        << Time{2 * 86400};
    QTest::newRow("seconds: a tenth of the period, the rest in a shorter last bar")
        << 1u << 1005u << dec1 - 1005 << dec1 << 10 << Time{101} << Time{96};
    QTest::newRow("seconds: fewer seconds than ten bars")
        << 1u << 5u << dec1 - 5 << dec1 << 5 << Time{1} << Time{1};
}

void TestHistogram::histogramLayout_barsCoverReportPeriod() {
    QFETCH(quint32, unit);
    QFETCH(quint32, units);
    QFETCH(Time, from);
    QFETCH(Time, till);
    QFETCH(int, bars);
    QFETCH(Time, first);
    QFETCH(Time, last);
    ReportSettings settings;
    settings.reportEveryUnit = unit;
    settings.reportEveryUnits = units;
    const std::vector<Time> edges = histogramLayout(settings, from, till).edges;
    QCOMPARE(int(edges.size()) - 1, bars);
    QCOMPARE(edges.front(), from);
    QCOMPARE(edges.back(), till);
    QVERIFY(std::is_sorted(edges.begin(), edges.end()) &&
            std::adjacent_find(edges.begin(), edges.end()) == edges.end());
    QCOMPARE(edges[1] - edges[0], first);
    QCOMPARE(edges[edges.size() - 1] - edges[edges.size() - 2], last);
}

void TestHistogram::createPngImage_barsAtTheirSlotsAndSumToBill_data() {
    QTest::addColumn<quint32>("unit");
    QTest::addColumn<quint32>("units");
    QTest::addColumn<Time>("from");
    QTest::addColumn<Time>("till");
    QTest::addColumn<QByteArray>("channel");
    QTest::addColumn<QColor>("fill");
    QTest::addColumn<int>("bars");
    QTest::addColumn<int>("slot");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("x0");

    const Time dec1 = localSeconds(2026, 12, 1);
    QTest::newRow("daily total: 24 red bars")
        << 86400u << 1u << dec1 - 86400 << dec1 << QByteArray() << QColor(Qt::red) << 24 << 26 << 22 << 122;
    QTest::newRow("daily channel A: blue, on the total's scale")
        << 86400u << 1u << dec1 - 86400 << dec1 << QByteArray("A") << QColor(Qt::blue) << 24 << 26 << 22
        << 122;
    QTest::newRow("weekly channel B: 7 green bars")
        << 604800u << 1u << dec1 - 604800 << dec1 << QByteArray("B") << QColor(Qt::green) << 7 << 91 << 76
        << 127;
    QTest::newRow("hourly total: 30 bars")
        << 3600u << 1u << dec1 - 3600 << dec1 << QByteArray() << QColor(Qt::red) << 30 << 21 << 17 << 122;
    QTest::newRow("monthly 17 Nov to 17 Dec: a bar per day")
        << 2592000u << 1u << localSeconds(2026, 11, 17, 15, 35, 27) << localSeconds(2026, 12, 17, 15, 35, 27)
        << QByteArray() << QColor(Qt::red) << 30 << 21 << 17 << 122;
    QTest::newRow("five weeks over a 31-day month: short last bar")
        << 604800u << 5u << dec1 << localSeconds(2027, 1, 1) << QByteArray("A") << QColor(Qt::blue) << 7 << 91
        << 76 << 127;
    QTest::newRow("seconds with a rest: short last bar")
        << 1u << 1005u << dec1 - 1005 << dec1 << QByteArray("B") << QColor(Qt::green) << 10 << 64 << 53
        << 125;
    QTest::newRow("first daily report after start: bars from the start on")
        << 86400u << 1u << dec1 - 30873 << dec1 << QByteArray() << QColor(Qt::red) << 9 << 71 << 59 << 126;
}

void TestHistogram::createPngImage_barsAtTheirSlotsAndSumToBill() {
    QFETCH(quint32, unit);
    QFETCH(quint32, units);
    QFETCH(Time, from);
    QFETCH(Time, till);
    QFETCH(QByteArray, channel);
    QFETCH(QColor, fill);
    QFETCH(int, bars);
    QFETCH(int, slot);
    QFETCH(int, width);
    QFETCH(int, x0);
    ScopedWorkDir dir;
    Application app;
    Controller& controller = addController(app);
    app.report.reportEveryUnit = unit;
    app.report.reportEveryUnits = units;
    const HistogramLayout layout = histogramLayout(app.report, from, till);
    const std::vector<Time>& edges = layout.edges;
    QCOMPARE(layout.bars(), bars);
    QCOMPARE(edges.front(), from);
    QCOMPARE(edges.back(), till);
    for (int i = 0; i < bars; ++i) {
        addReading(app.events, controller, edges[std::size_t(i)], "A", wattsA(i));
        addReading(app.events, controller, edges[std::size_t(i)], "B", wattsB);
    }
    auto seconds = [&](int i) { return double(edges[std::size_t(i) + 1] - edges[std::size_t(i)]); };
    const ChannelEnergies bill = getEnergy(app.events, controller, from, till);
    const double energy = channel == "A" ? bill.a : channel == "B" ? bill.b : bill.total();

    const QImage image = histogram(app.events, controller, channel, layout, energy);
    QCOMPARE(image.size(), QSize(800, 500));
    QCOMPARE(image.pixelColor(0, 250), black);
    QCOMPARE(image.pixelColor(799, 250), black);
    QCOMPARE(image.pixelColor(400, 499), black);
    QCOMPARE(image.pixelColor(790, 200), white);
    QCOMPARE(image.pixelColor(60, 400), white);
    QVERIFY(countPixels(image, QRect(1, 1, 798, 103), black) > 200); // the title

    double maxJoules = 0;
    for (int i = 0; i < bars; ++i)
        maxJoules = std::max(maxJoules, (wattsA(i) + wattsB) * seconds(i));
    for (int i = 0; i < bars; ++i) {
        const int x = x0 + i * slot;
        const int middle = x + width / 2;
        const int h = qRound(220 * drawnWatts(channel, i) * seconds(i) / maxJoules);
        const int top = 325 - h;
        int side = top + 7; // between two grid lines, as the top may be off by one pixel
        while ((side - 105 + 1) % 22 <= 2)
            ++side;
        QCOMPARE(image.pixelColor(middle, top + 3), fill);
        QCOMPARE(image.pixelColor(middle, top - 3), white);
        QCOMPARE(image.pixelColor(middle, 322), fill);
        QCOMPARE(image.pixelColor(x, side), black);
        QCOMPARE(image.pixelColor(x + 1, side), fill);
        QCOMPARE(image.pixelColor(x + width - 1, side), black);
        QCOMPARE(image.pixelColor(x - 1, side), white);
        QCOMPARE(image.pixelColor(x + width, side), white);
    }

    // The bars add up to the bill: no "Total energy error", nothing left out at the end.
    const QByteArray log = appLog();
    QVERIFY2(!log.contains("nergy error"), log.constData());
    QVERIFY2(!log.contains("cannot be divided"), log.constData());
    QVERIFY2(!log.contains("title rect"), log.constData());
}

void TestHistogram::createPngImage_barSumDisagreesWithBill_logged() {
    ScopedWorkDir dir;
    Application app;
    Controller& controller = addController(app);
    const Time till = localSeconds(2026, 12, 1);
    addReading(app.events, controller, till - 3600, "B", 100);
    const QImage image = histogram(app.events, controller, "B", HistogramLayout{{till - 3600, till}}, 0.2);
    QVERIFY(!image.isNull());
    QVERIFY(appLog().contains("Total energy error: 0.1 kWH != 0.2 kWH (-0.1)\n"));
}

QTEST_MAIN(TestHistogram)
#include "tst_Histogram.moc"
