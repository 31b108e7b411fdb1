#include "TestSupport.h"

#include "status/ChartScale.h"

#include <QTest>

using namespace Warden;
using Warden::Test::utcSeconds;

class tst_ChartScale : public QObject {
    Q_OBJECT

private slots:
    void valueScale_niceStepsFromZero_data();
    void valueScale_niceStepsFromZero();
    void timeTicks_roundLocalTimesWithDistinctLabels_data();
    void timeTicks_roundLocalTimesWithDistinctLabels();
};

void tst_ChartScale::valueScale_niceStepsFromZero_data() {
    QTest::addColumn<double>("highest");
    QTest::addColumn<double>("top");
    QTest::addColumn<double>("step");
    QTest::addColumn<int>("decimals");
    QTest::newRow("amperes of a rack") << 14.9 << 15.0 << 5.0 << 0;
    QTest::newRow("just over a step") << 17.0 << 20.0 << 5.0 << 0;
    QTest::newRow("a limit exactly on a step stays the top") << 10.0 << 10.0 << 2.0 << 0;
    QTest::newRow("below one ampere") << 0.8 << 0.8 << 0.2 << 1;
    QTest::newRow("a few milliamperes") << 0.013 << 0.015 << 0.005 << 3;
    QTest::newRow("thousands") << 1234.0 << 1500.0 << 500.0 << 0;
    QTest::newRow("nothing read yet") << 0.0 << 1.0 << 0.2 << 1;
}

void tst_ChartScale::valueScale_niceStepsFromZero() {
    QFETCH(double, highest);
    QFETCH(double, top);
    QFETCH(double, step);
    QFETCH(int, decimals);
    const ValueScale scale = valueScale(highest);
    QCOMPARE(scale.step, step);
    QCOMPARE(scale.top, top);
    QCOMPARE(scale.decimals, decimals);
}

void tst_ChartScale::timeTicks_roundLocalTimesWithDistinctLabels_data() {
    QTest::addColumn<qint64>("from");
    QTest::addColumn<int>("range");
    QTest::addColumn<QStringList>("utc");
    QTest::addColumn<QStringList>("berlin");
    QTest::newRow("hour: every 10 minutes")
        << utcSeconds(2026, 12, 8, 13, 23, 17) << int(ChartRange::hour)
        << QStringList{"13:30", "13:40", "13:50", "14:00", "14:10", "14:20"}
        << QStringList{"14:30", "14:40", "14:50", "15:00", "15:10", "15:20"};
    // 02:20 CEST to 02:20 CET: the second run of the hour has its own ticks.
    QTest::newRow("hour: the repeated hour of autumn")
        << utcSeconds(2026, 10, 25, 0, 20) << int(ChartRange::hour)
        << QStringList{"00:30", "00:40", "00:50", "01:00", "01:10", "01:20"}
        << QStringList{"02:30", "02:40", "02:50", "02:00", "02:10", "02:20"};
    QTest::newRow("day: every 3 hours, midnight by its date")
        << utcSeconds(2026, 12, 7, 14, 20) << int(ChartRange::day)
        << QStringList{"15:00", "18:00", "21:00", "Tue 8 Dec", "03:00", "06:00", "09:00", "12:00"}
        << QStringList{"18:00", "21:00", "Tue 8 Dec", "03:00", "06:00", "09:00", "12:00", "15:00"};
    // 24 hours from 14:30 CET reach 15:30 CEST: 15:00 comes twice.
    QTest::newRow("day: the spring change names the day of a repeated time")
        << utcSeconds(2026, 3, 28, 13, 30) << int(ChartRange::day)
        << QStringList{"15:00", "18:00", "21:00", "Sun 29 Mar", "03:00", "06:00", "09:00", "12:00"}
        << QStringList{"15:00", "18:00", "21:00", "Sun 29 Mar", "03:00",
                       "06:00", "09:00", "12:00", "Sun 15:00"};
    QTest::newRow("week: every midnight") << utcSeconds(2026, 12, 1, 10) << int(ChartRange::week)
                                          << QStringList{"Wed 2 Dec", "Thu 3 Dec", "Fri 4 Dec", "Sat 5 Dec",
                                                         "Sun 6 Dec", "Mon 7 Dec", "Tue 8 Dec"}
                                          << QStringList{"Wed 2 Dec", "Thu 3 Dec", "Fri 4 Dec", "Sat 5 Dec",
                                                         "Sun 6 Dec", "Mon 7 Dec", "Tue 8 Dec"};
}

void tst_ChartScale::timeTicks_roundLocalTimesWithDistinctLabels() {
    QFETCH(qint64, from);
    QFETCH(int, range);
    QFETCH(QStringList, utc);
    QFETCH(QStringList, berlin);
    const auto shown = ChartRange(range);
    const std::vector<TimeTick> ticks = timeTicks(from, from + rangeShape(shown).span, shown);
    QStringList labels;
    for (std::size_t i = 0; i < ticks.size(); ++i) {
        labels << ticks[i].label;
        QVERIFY(ticks[i].at > from && ticks[i].at <= from + rangeShape(shown).span);
        QVERIFY(i == 0 || ticks[i].at > ticks[i - 1].at);
    }
    QCOMPARE(labels, qgetenv("TZ") == "Europe/Berlin" ? berlin : utc);
}

QTEST_GUILESS_MAIN(tst_ChartScale)
#include "tst_ChartScale.moc"
