#include "TestSupport.h"

#include "core/Application.h"
#include "core/CheckCycle.h"
#include "core/CycleEvents.h"
#include "core/Scheduler.h"
#include "core/ThreadHandoff.h"

#include <QtTest>

#include <atomic>

using namespace Warden;
using Business::ReportSettings;
using Test::localSeconds;
using Test::utcSeconds;

namespace {

// Writes down every cycle event it receives as "check <shouldEmail> <from> <till>" or
// "report <from> <till>".
class Recorder final : public QObject {
public:
    QStringList seen;

    bool event(QEvent* e) override {
        takeOver(e);
        if (e->type() == CycleEvents::check()) {
            const auto& c = static_cast<const CheckEvent&>(*e);
            seen << QStringLiteral("check %1 %2 %3").arg(int(c.shouldEmail)).arg(c.from).arg(c.till);
            return true;
        }
        if (e->type() == CycleEvents::report()) {
            const auto& r = static_cast<const ReportEvent&>(*e);
            seen << QStringLiteral("report %1 %2").arg(r.from).arg(r.till);
            return true;
        }
        return QObject::event(e);
    }
};

QString check(bool shouldEmail, qint64 from, qint64 till) {
    return QStringLiteral("check %1 %2 %3").arg(int(shouldEmail)).arg(from).arg(till);
}
QString report(qint64 from, qint64 till) {
    return QStringLiteral("report %1 %2").arg(from).arg(till);
}

// Runs a scheduler on its thread over simulated time: each pass moves the clock `step` seconds on,
// from `jumpFrom` straight to `jumpTo` (a computer waking from sleep), and stops after `end`.
struct SimulatedRun {
    qint64 start = 0;
    qint64 end = 0;
    qint64 step = 1;
    qint64 jumpFrom = -1;
    qint64 jumpTo = -1;

    void run(Scheduler& scheduler) const {
        auto t = std::make_shared<std::atomic<qint64>>(start);
        scheduler.setNow([t] { return t->load(); });
        scheduler.setSleep([this, t, &scheduler] {
            qint64 next = t->load() + step;
            if (next == jumpFrom)
                next = jumpTo;
            t->store(next);
            if (next > end)
                scheduler.stop();
        });
        scheduler.start();
        scheduler.join();
    }
};

} // namespace

class SchedulerTest : public QObject {
    Q_OBJECT

private slots:
    void nextMoment_data();
    void nextMoment();
    void monthStep_logsWhenLocalTimeFails();
    void cycle_data();
    void cycle();
    void missedMoment_firesOnceAfterWaking();
    void firstReportMoment_goesOnFromThePreviousRun_data();
    void firstReportMoment_goesOnFromThePreviousRun();
    void stop_endsDefaultSleepAtOnce();
    void checkDuringRunningCheck_oneSkipLine();
};

void SchedulerTest::nextMoment_data() {
    QTest::addColumn<quint32>("period");
    QTest::addColumn<qint64>("last");
    QTest::addColumn<qint64>("expected");
    const quint32 month = ReportSettings::monthPeriod;
    QTest::newRow("period 0 never comes") << 0u << utcSeconds(2026, 12, 7, 9, 7, 44) << qint64(-1);
    QTest::newRow("hourly: next full UTC hour")
        << 3600u << utcSeconds(2026, 12, 7, 9, 7, 44) << utcSeconds(2026, 12, 7, 10);
    QTest::newRow("hourly: on the hour goes to the next one")
        << 3600u << utcSeconds(2026, 12, 7, 10) << utcSeconds(2026, 12, 7, 11);
    QTest::newRow("daily: 00:00 UTC, not local midnight")
        << 86400u << utcSeconds(2026, 12, 7, 23, 30) << utcSeconds(2026, 12, 8);
    QTest::newRow("weekly: Thursday 00:00 UTC")
        << 604800u << utcSeconds(2026, 12, 7, 12) << utcSeconds(2026, 12, 10);
    QTest::newRow("5 minutes") << 300u << utcSeconds(2026, 12, 7, 9, 7, 44) << utcSeconds(2026, 12, 7, 9, 10);
    QTest::newRow("month: 31 January becomes 3 March")
        << month << localSeconds(2026, 1, 31, 10) << localSeconds(2026, 3, 3, 10);
    QTest::newRow("month: 31 January becomes 2 March in a leap year")
        << month << localSeconds(2028, 1, 31, 10) << localSeconds(2028, 3, 2, 10);
    QTest::newRow("month: December goes to January")
        << month << localSeconds(2026, 12, 15, 8, 30) << localSeconds(2027, 1, 15, 8, 30);
    QTest::newRow("month: keeps the local time across a clock change")
        << month << localSeconds(2026, 3, 10, 10) << localSeconds(2026, 4, 10, 10);
    QTest::newRow("month: keeps the local time when the clock goes back")
        << month << localSeconds(2026, 10, 15, 10) << localSeconds(2026, 11, 15, 10);
}

void SchedulerTest::nextMoment() {
    QFETCH(quint32, period);
    QFETCH(qint64, last);
    QFETCH(qint64, expected);
    QCOMPARE(Warden::nextMoment(period, last), expected);
    if (expected < 0) {
        QVERIFY(!momentDue(period, last, last + 100000000));
        return;
    }
    QVERIFY(!momentDue(period, last, expected - 1));
    QVERIFY(momentDue(period, last, expected));
    QVERIFY(momentDue(period, last, expected + 86400 * 60));
}

void SchedulerTest::monthStep_logsWhenLocalTimeFails() {
    Test::ScopedWorkDir dir;
    // Beyond the years localtime can represent.
    const qint64 huge = std::numeric_limits<qint64>::max() / 2;
    QVERIFY(!momentDue(ReportSettings::monthPeriod, huge, huge));
    QCOMPARE(Test::appLog().count("lastTm == 0\n"), 1);
}

void SchedulerTest::cycle_data() {
    QTest::addColumn<quint32>("checkPeriod");
    QTest::addColumn<quint32>("reportPeriod");
    QTest::addColumn<qint64>("start");
    QTest::addColumn<qint64>("end");
    QTest::addColumn<qint64>("step");
    QTest::addColumn<QStringList>("expected");

    const qint64 s = utcSeconds(2026, 12, 7, 9, 30);
    const qint64 h10 = utcSeconds(2026, 12, 7, 10), h11 = utcSeconds(2026, 12, 7, 11),
                 h12 = utcSeconds(2026, 12, 7, 12);
    QTest::newRow("check and report hourly: the check carries the report")
        << 3600u << 3600u << s << h12 + 30 << qint64(1)
        << QStringList{check(true, s, h10), check(true, h10, h11), check(true, h11, h12)};
    QTest::newRow("check unit unset: reports come alone")
        << 0u << 3600u << s << h12 + 30 << qint64(1)
        << QStringList{report(s, h10), report(h10, h11), report(h11, h12)};
    QTest::newRow("reports more often than checks")
        << 3600u << 1800u << s << h11 + 30 << qint64(1)
        << QStringList{check(true, s, h10), report(h10, h10 + 1800), check(true, h10 + 1800, h11)};
    QTest::newRow("check every 5 minutes, report hourly")
        << 300u << 3600u << h10 - 600 << h10 + 330 << qint64(1)
        << QStringList{check(false, h10 - 600, h10 - 300), check(true, h10 - 600, h10),
                       check(false, h10, h10 + 300)};
    QTest::newRow("daily checks at 00:00 UTC")
        << 86400u << 0u << s << utcSeconds(2026, 12, 10, 0, 0, 30) << qint64(30)
        << QStringList{check(false, s, utcSeconds(2026, 12, 8)), check(false, s, utcSeconds(2026, 12, 9)),
                       check(false, s, utcSeconds(2026, 12, 10))};
    QTest::newRow("weekly reports on Thursdays")
        << 0u << 604800u << s << utcSeconds(2026, 12, 18) << qint64(60)
        << QStringList{report(s, utcSeconds(2026, 12, 10)),
                       report(utcSeconds(2026, 12, 10), utcSeconds(2026, 12, 17))};
    const qint64 jan31 = localSeconds(2026, 1, 31, 10);
    QTest::newRow("monthly from 31 January")
        << 0u << ReportSettings::monthPeriod << jan31 << localSeconds(2026, 4, 3, 11) << qint64(600)
        << QStringList{report(jan31, localSeconds(2026, 3, 3, 10)),
                       report(localSeconds(2026, 3, 3, 10), localSeconds(2026, 4, 3, 10))};
    const qint64 jan31Leap = localSeconds(2028, 1, 31, 10);
    QTest::newRow("monthly from 31 January in a leap year")
        << 0u << ReportSettings::monthPeriod << jan31Leap << localSeconds(2028, 3, 3, 11) << qint64(600)
        << QStringList{report(jan31Leap, localSeconds(2028, 3, 2, 10))};
    QTest::newRow("nothing due, nothing posted") << 0u << 0u << s << h12 << qint64(60) << QStringList{};
}

void SchedulerTest::cycle() {
    QFETCH(quint32, checkPeriod);
    QFETCH(quint32, reportPeriod);
    QFETCH(qint64, start);
    QFETCH(qint64, end);
    QFETCH(qint64, step);
    QFETCH(QStringList, expected);

    Recorder recorder;
    Scheduler scheduler(&recorder);
    scheduler.setPeriods(checkPeriod, reportPeriod);
    SimulatedRun{start, end, step}.run(scheduler);
    QCoreApplication::sendPostedEvents(&recorder);
    QCOMPARE(recorder.seen, expected);
}

void SchedulerTest::missedMoment_firesOnceAfterWaking() {
    // Asleep from 09:59:59 to 13:17: the three full hours in between come as one check at waking.
    const qint64 s = utcSeconds(2026, 12, 7, 9, 30);
    const qint64 asleep = utcSeconds(2026, 12, 7, 9, 59, 59);
    const qint64 awake = utcSeconds(2026, 12, 7, 13, 17);
    Recorder recorder;
    Scheduler scheduler(&recorder);
    scheduler.setPeriods(3600, 3600);
    SimulatedRun{s, utcSeconds(2026, 12, 7, 14, 0, 5), 1, asleep + 1, awake}.run(scheduler);
    QCoreApplication::sendPostedEvents(&recorder);
    QCOMPARE(recorder.seen,
             (QStringList{check(true, s, awake), check(true, awake, utcSeconds(2026, 12, 7, 14))}));
}

void SchedulerTest::firstReportMoment_goesOnFromThePreviousRun_data() {
    QTest::addColumn<quint32>("reportPeriod");
    QTest::addColumn<qint64>("saved");
    QTest::addColumn<qint64>("end");
    QTest::addColumn<QStringList>("expected");

    const qint64 s = utcSeconds(2026, 12, 7, 9, 30);
    const qint64 h9 = utcSeconds(2026, 12, 7, 9), h10 = utcSeconds(2026, 12, 7, 10);
    const qint64 midnight = utcSeconds(2026, 12, 7);
    QTest::newRow("a moment missed while stopped comes at once")
        << 86400u << utcSeconds(2026, 12, 6) << s + 30 << QStringList{report(utcSeconds(2026, 12, 6), s)};
    QTest::newRow("the next moment covers the time before the start")
        << 3600u << h9 << h10 + 30 << QStringList{report(h9, h10)};
    QTest::newRow("further back than a start brings events back: from the start")
        << 86400u << midnight - 40 * 86400 << s + 30 << QStringList{};
    QTest::newRow("ahead of the clock: from the start")
        << 3600u << s + 600 << h10 + 30 << QStringList{report(s, h10)};
}

void SchedulerTest::firstReportMoment_goesOnFromThePreviousRun() {
    QFETCH(quint32, reportPeriod);
    QFETCH(qint64, saved);
    QFETCH(qint64, end);
    QFETCH(QStringList, expected);

    Recorder recorder;
    Scheduler scheduler(&recorder);
    scheduler.setPeriods(0, reportPeriod);
    scheduler.setFirstReportMoment(saved);
    SimulatedRun{utcSeconds(2026, 12, 7, 9, 30), end, 1}.run(scheduler);
    QCoreApplication::sendPostedEvents(&recorder);
    QCOMPARE(recorder.seen, expected);
}

void SchedulerTest::stop_endsDefaultSleepAtOnce() {
    Recorder recorder;
    Scheduler scheduler(&recorder);
    scheduler.start();
    QTest::qWait(50);
    QElapsedTimer stopping;
    stopping.start();
    scheduler.stop();
    scheduler.join();
    // Well inside the one-second sleep: the stop wakes the loop instead of waiting for the next pass.
    QVERIFY2(stopping.elapsed() < 900, QByteArray::number(stopping.elapsed()).constData());
}

void SchedulerTest::checkDuringRunningCheck_oneSkipLine() {
    Test::ScopedWorkDir dir;
    Business::Application app;
    app.controllers.emplace_back("rack1", 0, "10.0.0.5", 0, "admin", "pw");
    CheckCycle cycle(app);
    Recorder queried; // the querying object, which never answers
    cycle.setQueryTarget(&queried);
    Scheduler scheduler(&cycle);
    scheduler.setPeriods(300, 0);
    const qint64 s = utcSeconds(2026, 12, 7, 9, 58);
    SimulatedRun{s, utcSeconds(2026, 12, 7, 10, 5, 10), 1}.run(scheduler);
    QCoreApplication::sendPostedEvents(&cycle);
    QCoreApplication::sendPostedEvents(&queried);
    QVERIFY(cycle.querying());
    QCOMPARE(queried.seen, QStringList{check(false, s, utcSeconds(2026, 12, 7, 10))});
    QCOMPARE(Test::appLog().count("event(): received, but previous event is not processed yet, skip:\n"), 1);
}

QTEST_GUILESS_MAIN(SchedulerTest)
#include "tst_Scheduler.moc"
