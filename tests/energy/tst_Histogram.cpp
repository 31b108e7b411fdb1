#include "FullWalkEnergy.h"
#include "TestSupport.h"

#include "core/Application.h"
#include "core/ClockText.h"
#include "energy/Energy.h"
#include "energy/Histogram.h"

#include <QImage>
#include <QtTest>

using namespace Warden::Business;
using Warden::clockText;
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

Controller& addController() {
    return Application::controllers.emplace_back("rack-7", 0, "10.1.0.7", 8080, "admin", "pw");
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
    void histogramLayout_perReportUnit_data();
    void histogramLayout_perReportUnit();
    void createPngImage_barsAtTheirSlots_data();
    void createPngImage_barsAtTheirSlots();
    void createPngImage_fiveWeeks_reportsIndivisiblePeriod();
    void createPngImage_barSumDisagreesWithBill_logged();
    void createPngImage_sameBoundsAfterNewReading_drawsNewReading();
};

void TestHistogram::histogramLayout_perReportUnit_data() {
    QTest::addColumn<quint32>("unit");
    QTest::addColumn<quint32>("units");
    QTest::addColumn<Time>("till");
    QTest::addColumn<Time>("length"); // till - start
    QTest::addColumn<int>("bars");

    const Time dec1 = localSeconds(2026, 12, 1);
    QTest::newRow("minutes: 30 bars over the period") << 60u << 5u << dec1 << Time{300} << 30;
    QTest::newRow("hour: 30 bars") << 3600u << 1u << dec1 << Time{3600} << 30;
    QTest::newRow("day: an hour per bar") << 86400u << 1u << dec1 << Time{86400} << 24;
    QTest::newRow("week: a day per bar") << 604800u << 1u << dec1 << Time{604800} << 7;
    QTest::newRow("five weeks are capped at 30 days") << 604800u << 5u << dec1 << Time{2592000} << 7;
    QTest::newRow("month after November: 30 days") << 2592000u << 1u << dec1 << Time{30 * 86400} << 30;
    QTest::newRow("month after January: 31 days")
        << 2592000u << 1u << localSeconds(2026, 2, 1) << Time{31 * 86400} << 31;
    QTest::newRow("month after February: 28 days")
        << 2592000u << 1u << localSeconds(2026, 3, 1) << Time{28 * 86400} << 28;
    QTest::newRow("seconds: 10 bars from the period start") << 1u << 900u << dec1 << Time{900} << 10;
}

void TestHistogram::histogramLayout_perReportUnit() {
    QFETCH(quint32, unit);
    QFETCH(quint32, units);
    QFETCH(Time, till);
    QFETCH(Time, length);
    QFETCH(int, bars);
    ReportSettings settings;
    settings.reportEveryUnit = unit;
    settings.reportEveryUnits = units;
    const HistogramLayout layout = histogramLayout(settings, till - settings.reportPeriod(), till);
    QCOMPARE(till - layout.start, length);
    QCOMPARE(layout.bars, bars);
}

void TestHistogram::createPngImage_barsAtTheirSlots_data() {
    QTest::addColumn<quint32>("unit");
    QTest::addColumn<quint32>("units");
    QTest::addColumn<Time>("reportLength"); // till - from
    QTest::addColumn<QByteArray>("channel");
    QTest::addColumn<QColor>("fill");
    QTest::addColumn<int>("bars");
    QTest::addColumn<int>("slot");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("x0");

    QTest::newRow("daily total: 24 red bars")
        << 86400u << 1u << Time{86400} << QByteArray() << QColor(Qt::red) << 24 << 26 << 22 << 122;
    QTest::newRow("daily channel A: blue, on the total's scale")
        << 86400u << 1u << Time{86400} << QByteArray("A") << QColor(Qt::blue) << 24 << 26 << 22 << 122;
    QTest::newRow("weekly channel B: 7 green bars")
        << 604800u << 1u << Time{604800} << QByteArray("B") << QColor(Qt::green) << 7 << 91 << 76 << 127;
    QTest::newRow("hourly total: 30 bars")
        << 3600u << 1u << Time{3600} << QByteArray() << QColor(Qt::red) << 30 << 21 << 17 << 122;
    QTest::newRow("monthly channel A: a bar per day")
        << 2592000u << 1u << Time{2592000} << QByteArray("A") << QColor(Qt::blue) << 30 << 21 << 17 << 122;
    QTest::newRow("seconds: 10 bars")
        << 1u << 1000u << Time{1000} << QByteArray("B") << QColor(Qt::green) << 10 << 64 << 53 << 125;
    QTest::newRow("bars before from stay empty")
        << 604800u << 1u << Time{3 * 86400} << QByteArray() << QColor(Qt::red) << 7 << 91 << 76 << 127;
}

void TestHistogram::createPngImage_barsAtTheirSlots() {
    QFETCH(quint32, unit);
    QFETCH(quint32, units);
    QFETCH(Time, reportLength);
    QFETCH(QByteArray, channel);
    QFETCH(QColor, fill);
    QFETCH(int, bars);
    QFETCH(int, slot);
    QFETCH(int, width);
    QFETCH(int, x0);
    ScopedWorkDir dir;
    Controller& controller = addController();
    Application::report.reportEveryUnit = unit;
    Application::report.reportEveryUnits = units;
    const Time till = localSeconds(2026, 12, 1);
    const Time from = till - reportLength;
    const HistogramLayout layout = histogramLayout(Application::report, from, till);
    QCOMPARE(layout.bars, bars);
    const Time secondsPerBar = (till - layout.start) / bars;
    for (int i = 0; i < bars; ++i) {
        addReading(controller, layout.start + i * secondsPerBar, "A", wattsA(i));
        addReading(controller, layout.start + i * secondsPerBar, "B", wattsB);
    }
    const ChannelEnergies bill = getEnergy(controller, from, till);
    const double energy = channel == "A" ? bill.a : channel == "B" ? bill.b : bill.total();

    const QImage image = decode(createPngImage(controller, channel, layout.start, till, bars, from, energy));
    QCOMPARE(image.size(), QSize(800, 500));
    QCOMPARE(image.pixelColor(0, 250), black);
    QCOMPARE(image.pixelColor(799, 250), black);
    QCOMPARE(image.pixelColor(400, 499), black);
    QCOMPARE(image.pixelColor(790, 200), white);
    QCOMPARE(image.pixelColor(60, 400), white);
    QVERIFY(countPixels(image, QRect(1, 1, 798, 103), black) > 200); // the title

    auto drawn = [&](int i) { return layout.start + (i + 1) * secondsPerBar > from; };
    double maxWatts = 0;
    for (int i = 0; i < bars; ++i) {
        if (drawn(i))
            maxWatts = std::max(maxWatts, wattsA(i) + wattsB);
    }
    for (int i = 0; i < bars; ++i) {
        const int x = x0 + i * slot;
        const int middle = x + width / 2;
        if (!drawn(i)) {
            QCOMPARE(image.pixelColor(middle, 320), white);
            QCOMPARE(image.pixelColor(middle, 250), white);
            continue;
        }
        const int h = qRound(220 * drawnWatts(channel, i) / maxWatts);
        const int top = 325 - h;
        const int side = top + 7; // between two grid lines
        QCOMPARE(image.pixelColor(middle, top + 3), fill);
        QCOMPARE(image.pixelColor(middle, top - 3), white);
        QCOMPARE(image.pixelColor(middle, 322), fill);
        QCOMPARE(image.pixelColor(x, side), black);
        QCOMPARE(image.pixelColor(x + 1, side), fill);
        QCOMPARE(image.pixelColor(x + width - 1, side), black);
        QCOMPARE(image.pixelColor(x - 1, side), white);
        QCOMPARE(image.pixelColor(x + width, side), white);
    }

    const QByteArray log = appLog();
    QVERIFY2(!log.contains("nergy error"), log.constData());
    QVERIFY2(!log.contains("cannot be divided"), log.constData());
    QVERIFY2(!log.contains("title rect"), log.constData());
}

void TestHistogram::createPngImage_fiveWeeks_reportsIndivisiblePeriod() {
    ScopedWorkDir dir;
    Controller& controller = addController();
    Application::report.reportEveryUnit = 604800;
    Application::report.reportEveryUnits = 5;
    const Time till = localSeconds(2026, 12, 1);
    const Time from = till - Application::report.reportPeriod();
    const HistogramLayout layout = histogramLayout(Application::report, from, till);
    addReading(controller, layout.start, "A", 360);
    const double energy = getEnergy(controller, from, till).a;

    const QImage image =
        decode(createPngImage(controller, "A", layout.start, till, layout.bars, from, energy));
    const QByteArray log = appLog();
    QVERIFY(log.contains("createPngImage() error: time period from " + clockText(layout.start) + " till " +
                         clockText(till) + " is 2592000 seconds and cannot be divided to 7 bars\n"));
    // Bars of 370285 s: the last 5 s of the period are in no bar, so the bars fall short of the bill.
    QVERIFY(log.contains("Total energy error: 259.2 kWH != 259.2 kWH (-0.0005)\n"));
    QVERIFY(!log.contains("Energy error from"));
    // Every bar holds the same energy and reaches the top of the scale.
    for (int i = 0; i < 7; ++i)
        QCOMPARE(image.pixelColor(127 + i * 91 + 38, 108), QColor(Qt::blue));
}

void TestHistogram::createPngImage_barSumDisagreesWithBill_logged() {
    ScopedWorkDir dir;
    Controller& controller = addController();
    const Time till = localSeconds(2026, 12, 1);
    addReading(controller, till - 3600, "B", 100);
    const QImage image = decode(createPngImage(controller, "B", till - 3600, till, 1, till - 3600, 0.2));
    QVERIFY(!image.isNull());
    QVERIFY(appLog().contains("Total energy error: 0.1 kWH != 0.2 kWH (-0.1)\n"));
}

void TestHistogram::createPngImage_sameBoundsAfterNewReading_drawsNewReading() {
    ScopedWorkDir dir;
    Controller& controller = addController();
    const Time till = localSeconds(2026, 12, 1);
    const Time start = till - 7200;
    addReading(controller, start, "A", 100);
    const QImage before = decode(createPngImage(controller, "A", start, till, 2, start, 0.2));
    // Both bars equally high, then the second one doubles: the picture has to follow the store.
    QCOMPARE(before.pixelColor(600, 120), QColor(Qt::blue));
    addReading(controller, start + 3600, "A", 200);
    const QImage after = decode(createPngImage(controller, "A", start, till, 2, start, 0.3));
    QCOMPARE(after.pixelColor(600, 120), QColor(Qt::blue));
    QCOMPARE(after.pixelColor(280, 120), white);
    QCOMPARE(after.pixelColor(280, 300), QColor(Qt::blue));
    QVERIFY(!appLog().contains("nergy error"));
}

QTEST_MAIN(TestHistogram)
#include "tst_Histogram.moc"
