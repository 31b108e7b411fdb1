// Runs under TZ=Europe/Berlin: the days and hours of the export are local ones.
#include "TestSupport.h"

#include "core/Application.h"
#include "core/ClockText.h"
#include "energy/Energy.h"
#include "energy/EnergyHistory.h"
#include "energy/EnergyMeter.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QtTest>

using namespace Warden::Business;
using Warden::Test::localSeconds;
using Warden::Test::ScopedWorkDir;

namespace {

// Readings of one bus every `step` seconds over [start, end), written by the program's own event store
// into the daily logs.
struct Run {
    int controller; // 0: a two-bus Kestrel 2, 1: a one-bus Heron with a name CSV has to quote, 2 and 3:
                    // one-bus Herons with names a spreadsheet would take for formulas
    QByteArray channel;
    Time start;
    Time end;
    Time step;
    double watts;
};
using Runs = QList<Run>;

std::vector<Controller*> addControllers(Application& app) {
    Controller& pdu = app.controllers.emplace_back("pdu", 0, "10.0.0.9", 0, "admin", "pw");
    Controller& rack = app.controllers.emplace_back("rack \"7\", east", 2, "10.0.0.7", 0, "admin", "pw");
    Controller& formula =
        app.controllers.emplace_back("=HYPERLINK(\"x.test\")", 2, "10.0.0.8", 0, "admin", "pw");
    Controller& minus = app.controllers.emplace_back("-1+2", 2, "10.0.0.6", 0, "admin", "pw");
    return {&pdu, &rack, &formula, &minus};
}

void addReading(Application& app, const Controller* controller, Time t, const QByteArray& channel,
                double watts) {
    app.addEvent({}, t, controller->id, EventKind::values, Transport::http,
                 "Current loads on channel " + channel + ": 230 V, 1 A, " + Warden::formatG(watts) + " W",
                 "VAH=230 CAH=1");
}

void writeRuns(Application& app, const Runs& runs) {
    const std::vector<Controller*> controllers = addControllers(app);
    for (const Run& run : runs) {
        for (Time t = run.start; t < run.end; t += run.step)
            addReading(app, controllers[run.controller], t, run.channel, run.watts);
    }
    app.shutdown();
}

QByteArray csv(std::initializer_list<const char*> rows) {
    QByteArray text = "controller,bus,period start,period end,kWh,readings,coverage %\n";
    for (const char* row : rows)
        text += QByteArray(row) + '\n';
    return text;
}

Time local(int month, int day, int hour, int minute = 0) {
    return localSeconds(2026, month, day, hour, minute);
}

} // namespace

Q_DECLARE_METATYPE(Run)

class TestEnergyHistory : public QObject {
    Q_OBJECT

private slots:
    void exportEnergy_handComputed_data();
    void exportEnergy_handComputed();
    void exportEnergy_withoutGaps_sameAsBill();
    void exportEnergy_eachBusStartsAtItsFirstReading_data();
    void exportEnergy_eachBusStartsAtItsFirstReading();
    void exportEnergy_midnightTwice_repeatedHourOnItsDate_data();
    void exportEnergy_midnightTwice_repeatedHourOnItsDate();
};

void TestEnergyHistory::exportEnergy_handComputed_data() {
    QTest::addColumn<Runs>("runs");
    QTest::addColumn<quint32>("checkPeriod");
    QTest::addColumn<QByteArrayList>("extraLines"); // appended to the log of 10 June
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("till");
    QTest::addColumn<QString>("by");
    QTest::addColumn<QByteArray>("controller");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<qint64>("skipped");

    // Every 60 s: a reading holds at most 2 * 60 + 25 s.
    const Runs gap{{0, "A", local(6, 10, 10), local(6, 10, 11), 60, 1000},
                   {0, "A", local(6, 10, 12), local(6, 10, 13), 60, 2000}};
    QTest::newRow("an hour without readings: 85 s of the last power, then nothing")
        << gap << 60u << QByteArrayList() << "2026-06-10T10:00"
        << "2026-06-10T13:00"
        << "hour" << QByteArray()
        << csv({"pdu : Kestrel 2 @ "
                "10.0.0.9,A,2026-06-10T10:00:00+02:00,2026-06-10T11:00:00+02:00,1.000000,60,100.00",
                "pdu : Kestrel 2 @ "
                "10.0.0.9,A,2026-06-10T11:00:00+02:00,2026-06-10T12:00:00+02:00,0.023611,0,2.36",
                "pdu : Kestrel 2 @ "
                "10.0.0.9,A,2026-06-10T12:00:00+02:00,2026-06-10T13:00:00+02:00,2.000000,60,100.00"})
        << qint64(0);

    const Runs autumn{{0, "A", local(10, 24, 22), local(10, 27, 2), 600, 1000}};
    QTest::newRow("end of daylight saving: a day of 25 h, the repeated hour read in file order")
        << autumn << 600u << QByteArrayList() << "2026-10-25"
        << "2026-10-26"
        << "day" << QByteArray()
        << csv({"pdu : Kestrel 2 @ "
                "10.0.0.9,A,2026-10-25T00:00:00+02:00,2026-10-26T00:00:00+01:00,25.000000,150,100.00",
                "pdu : Kestrel 2 @ "
                "10.0.0.9,A,2026-10-26T00:00:00+01:00,2026-10-27T00:00:00+01:00,24.000000,144,100.00"})
        << qint64(0);
    QTest::newRow("end of daylight saving by hour: the repeated hour is two periods")
        << autumn << 600u << QByteArrayList() << "2026-10-25T01:00"
        << "2026-10-25T04:00"
        << "hour" << QByteArray()
        << csv({"pdu : Kestrel 2 @ "
                "10.0.0.9,A,2026-10-25T01:00:00+02:00,2026-10-25T02:00:00+02:00,1.000000,6,100.00",
                "pdu : Kestrel 2 @ "
                "10.0.0.9,A,2026-10-25T02:00:00+02:00,2026-10-25T02:00:00+01:00,1.000000,6,100.00",
                "pdu : Kestrel 2 @ "
                "10.0.0.9,A,2026-10-25T02:00:00+01:00,2026-10-25T03:00:00+01:00,1.000000,6,100.00",
                "pdu : Kestrel 2 @ "
                "10.0.0.9,A,2026-10-25T03:00:00+01:00,2026-10-25T04:00:00+01:00,1.000000,6,100.00"})
        << qint64(0);

    const Runs march{{0, "B", local(2, 28, 23), local(4, 1, 1), 600, 1000}};
    QTest::newRow("March by month: 743 h")
        << march << 600u << QByteArrayList() << "2026-03-01"
        << "2026-03-31"
        << "month" << QByteArray()
        << csv({"pdu : Kestrel 2 @ "
                "10.0.0.9,B,2026-03-01T00:00:00+01:00,2026-04-01T00:00:00+02:00,743.000000,4458,100.00"})
        << qint64(0);
    QTest::newRow("start of daylight saving: a day of 23 h")
        << march << 600u << QByteArrayList() << "2026-03-29"
        << "2026-03-29"
        << "day" << QByteArray()
        << csv({"pdu : Kestrel 2 @ "
                "10.0.0.9,B,2026-03-29T00:00:00+01:00,2026-03-30T00:00:00+02:00,23.000000,138,100.00"})
        << qint64(0);

    const Runs three{{0, "A", local(6, 10, 10), local(6, 10, 11), 60, 1000},
                     {0, "B", local(6, 10, 10), local(6, 10, 11), 60, 500},
                     {1, "", local(6, 10, 10), local(6, 10, 11), 60, 300}};
    const char* rackRow =
        "\"rack \"\"7\"\", east : Heron @ "
        "10.0.0.7\",A,2026-06-10T10:00:00+02:00,2026-06-10T11:00:00+02:00,0.300000,60,100.00";
    QTest::newRow("every controller; a one-bus model's bus is A")
        << three << 60u << QByteArrayList() << "2026-06-10T10:00"
        << "2026-06-10T11:00"
        << "day" << QByteArray()
        << csv({"pdu : Kestrel 2 @ "
                "10.0.0.9,A,2026-06-10T10:00:00+02:00,2026-06-10T11:00:00+02:00,1.000000,60,100.00",
                "pdu : Kestrel 2 @ "
                "10.0.0.9,B,2026-06-10T10:00:00+02:00,2026-06-10T11:00:00+02:00,0.500000,60,100.00",
                rackRow})
        << qint64(0);
    QTest::newRow("one controller by its name")
        << three << 60u << QByteArrayList() << "2026-06-10T10:00"
        << "2026-06-10T11:00"
        << "day" << QByteArray("rack \"7\", east") << csv({rackRow}) << qint64(0);

    QTest::newRow("names that start like formulas: quoted with an apostrophe, numbers as they are")
        << Runs{{2, "", local(6, 10, 10), local(6, 10, 11), 60, 300},
                {3, "", local(6, 10, 10), local(6, 10, 11), 60, 300}}
        << 60u << QByteArrayList() << "2026-06-10T10:00"
        << "2026-06-10T11:00"
        << "day" << QByteArray()
        << csv({"\"'-1+2 : Heron @ "
                "10.0.0.6\",A,2026-06-10T10:00:00+02:00,2026-06-10T11:00:00+02:00,0.300000,60,100.00",
                "\"'=HYPERLINK(\"\"x.test\"\") : Heron @ "
                "10.0.0.8\",A,2026-06-10T10:00:00+02:00,2026-06-10T11:00:00+02:00,0.300000,60,100.00"})
        << qint64(0);

    const QByteArrayList junk{
        "garbage",
        " \"Wed Jun 10 10:30:00 2026\" \"pdu : Kestrel 2 @ 10.0.0.9\" values http \"Current loads on channel "
        "A: 230 "
        "V, 1 A, -5 W\" VAH=230",
        " \"Wed Jun 10 25:30:00 2026\" \"pdu : Kestrel 2 @ 10.0.0.9\" values http \"Current loads on channel "
        "A: 230 "
        "V, 1 A, 9000 W\" VAH=230",
        " \"Wed Jun 10 10:30:00 2026\" \"pdu : Kestrel 2 @ 10.0.0.9\" login_success syslog \"\" login ok"};
    QTest::newRow("lines that are no readings: three skipped and counted, a login passed over")
        << Runs{gap.front()} << 60u << junk << "2026-06-10T10:00"
        << "2026-06-10T11:00"
        << "hour" << QByteArray()
        << csv({"pdu : Kestrel 2 @ "
                "10.0.0.9,A,2026-06-10T10:00:00+02:00,2026-06-10T11:00:00+02:00,1.000000,60,100.00"})
        << qint64(3);
}

void TestEnergyHistory::exportEnergy_handComputed() {
    QFETCH(Runs, runs);
    QFETCH(quint32, checkPeriod);
    QFETCH(QByteArrayList, extraLines);
    QFETCH(QString, from);
    QFETCH(QString, till);
    QFETCH(QString, by);
    QFETCH(QByteArray, controller);
    QFETCH(QByteArray, expected);
    QFETCH(qint64, skipped);

    ScopedWorkDir dir;
    Application app;
    writeRuns(app, runs);
    if (!extraLines.isEmpty()) {
        QFile log(QString::fromUtf8(Application::dailyLogPath(local(6, 10, 12))));
        QVERIFY(log.open(QIODevice::Append));
        log.write(extraLines.join('\n') + '\n');
    }
    QBuffer out;
    QVERIFY(out.open(QIODevice::WriteOnly));
    const EnergyExport result =
        exportEnergy(out, dir.path(), *parseLocalTime(from, false), *parseLocalTime(till, true),
                     *parseGrouping(by), controller, EnergyMeter::bridge(checkPeriod));
    QCOMPARE(out.data(), expected);
    QCOMPARE(result.skippedLines, skipped);
    QVERIFY(result.unreadableFiles.isEmpty());
}

// Readings never further apart than the limit, several in one second among them: every period has the
// energy the bill finds for it in the event store that wrote the logs.
void TestEnergyHistory::exportEnergy_withoutGaps_sameAsBill() {
    ScopedWorkDir dir;
    Application app;
    Controller* pdu = addControllers(app).front();
    QRandomGenerator random(16);
    const Time limit = EnergyMeter::bridge(60);
    const Time start = local(6, 10, 0);
    int n = 0;
    for (const QByteArray channel : {"A", "B"}) {
        for (Time t = start; t < local(6, 11, 6); t += random.bounded(static_cast<int>(limit) + 1)) {
            addReading(app, pdu, t, channel, random.bounded(5000.0));
            if (++n % 50 == 0) // the one written last holds on
                addReading(app, pdu, t, channel, random.bounded(5000.0));
        }
    }
    app.flushSnapshot();

    for (int i = 0; i < 20; ++i) {
        // Far enough inside the readings that each bus has one in force at `from`.
        const Time from = start + 3600 + random.bounded(72000);
        const Time till = from + 1 + random.bounded(6 * 3600);
        EnergyHistory history(limit);
        history.readLogs(dir.path(), from, till);
        QCOMPARE(history.skippedLines(), qint64(0));
        std::vector<EnergyPeriod> rows;
        history.periods(from, till, EnergyGrouping::month,
                        [&rows](const EnergyPeriod& row) { rows.push_back(row); });
        QCOMPARE(rows.size(), std::size_t{2});
        const ChannelEnergies bill = getEnergy(app.events, *pdu, from, till);
        for (const EnergyPeriod& row : rows) {
            QCOMPARE(row.coverage, 100.0);
            const double billed = row.bus == "A" ? bill.a : bill.b;
            QVERIFY2(!energiesDiffer(row.kWh, billed), qPrintable(QStringLiteral("%1 %2: %3 kWh, bill %4")
                                                                      .arg(QString::fromUtf8(row.bus))
                                                                      .arg(from)
                                                                      .arg(row.kWh, 0, 'g', 17)
                                                                      .arg(billed, 0, 'g', 17)));
        }
    }
}

void TestEnergyHistory::exportEnergy_eachBusStartsAtItsFirstReading_data() {
    QTest::addColumn<Runs>("runs");
    QTest::addColumn<bool>("allPeriods");
    QTest::addColumn<QByteArray>("expected");

    // Exported by hour from 10:00 to 13:00, a reading every minute holding at most 145 s.
    const Runs lateA{{0, "A", local(6, 10, 11, 30), local(6, 10, 12), 60, 1000},
                     {0, "B", local(6, 10, 10), local(6, 10, 11), 60, 1000}};
    const char* a11 =
        "pdu : Kestrel 2 @ 10.0.0.9,A,2026-06-10T11:00:00+02:00,2026-06-10T12:00:00+02:00,0.500000,30,50.00";
    const char* a12 =
        "pdu : Kestrel 2 @ 10.0.0.9,A,2026-06-10T12:00:00+02:00,2026-06-10T13:00:00+02:00,0.023611,0,2.36";
    const char* b10 = "pdu : Kestrel 2 @ "
                      "10.0.0.9,B,2026-06-10T10:00:00+02:00,2026-06-10T11:00:00+02:00,1.000000,60,100.00";
    const char* b11 =
        "pdu : Kestrel 2 @ 10.0.0.9,B,2026-06-10T11:00:00+02:00,2026-06-10T12:00:00+02:00,0.023611,0,2.36";
    const char* b12 =
        "pdu : Kestrel 2 @ 10.0.0.9,B,2026-06-10T12:00:00+02:00,2026-06-10T13:00:00+02:00,0.000000,0,0.00";
    QTest::newRow("a bus begun within the range starts there, one that fell silent goes on")
        << lateA << false << csv({a11, a12, b10, b11, b12});
    const char* a10 =
        "pdu : Kestrel 2 @ 10.0.0.9,A,2026-06-10T10:00:00+02:00,2026-06-10T11:00:00+02:00,0.000000,0,0.00";
    QTest::newRow("asked for all periods: the hour before the first reading too")
        << lateA << true << csv({a10, a11, a12, b10, b11, b12});
    QTest::newRow("a reading from before the range that still holds starts at the range")
        << Runs{{0, "A", local(6, 10, 9), local(6, 10, 10), 60, 1000}} << false
        << csv({"pdu : Kestrel 2 @ "
                "10.0.0.9,A,2026-06-10T10:00:00+02:00,2026-06-10T11:00:00+02:00,0.023611,0,2.36",
                "pdu : Kestrel 2 @ "
                "10.0.0.9,A,2026-06-10T11:00:00+02:00,2026-06-10T12:00:00+02:00,0.000000,0,0.00",
                "pdu : Kestrel 2 @ "
                "10.0.0.9,A,2026-06-10T12:00:00+02:00,2026-06-10T13:00:00+02:00,0.000000,0,0.00"});
    QTest::newRow("a bus with no reading in force in the range has no rows")
        << Runs{{0, "A", local(6, 10, 8), local(6, 10, 9), 60, 1000}} << false << csv({});
}

void TestEnergyHistory::exportEnergy_eachBusStartsAtItsFirstReading() {
    QFETCH(Runs, runs);
    QFETCH(bool, allPeriods);
    QFETCH(QByteArray, expected);
    ScopedWorkDir dir;
    Application app;
    writeRuns(app, runs);
    QBuffer out;
    QVERIFY(out.open(QIODevice::WriteOnly));
    exportEnergy(out, dir.path(), local(6, 10, 10), local(6, 10, 13), EnergyGrouping::hour, {},
                 EnergyMeter::bridge(60), allPeriods);
    QCOMPARE(out.data(), expected);
}

void TestEnergyHistory::exportEnergy_midnightTwice_repeatedHourOnItsDate_data() {
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<Time>("firstMidnight"); // of the day whose midnight comes twice
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("till");
    QTest::addColumn<QByteArray>("expected");

    // Readings every minute from an hour before the first midnight to two hours after the second: the
    // day before has one hour of them, the long day three (180 readings, the last one holding 145 s).
    const Time azores = Warden::Test::utcSeconds(2026, 10, 25);
    const QByteArray azoresDay =
        "pdu : Kestrel 2 @ "
        "10.0.0.9,A,2026-10-25T00:00:00+00:00,2026-10-26T00:00:00-01:00,3.023611,180,12.09";
    QTest::newRow("Atlantic/Azores from the day before")
        << QByteArray("Atlantic/Azores") << azores << "2026-10-24"
        << "2026-10-25"
        << csv({"pdu : Kestrel 2 @ "
                "10.0.0.9,A,2026-10-24T00:00:00+00:00,2026-10-25T00:00:00+00:00,1.000000,60,4.17",
                azoresDay.constData()});
    QTest::newRow("Atlantic/Azores from the day itself")
        << QByteArray("Atlantic/Azores") << azores << "2026-10-25"
        << "2026-10-25" << csv({azoresDay.constData()});
    const Time havana = Warden::Test::utcSeconds(2026, 11, 1, 4);
    const QByteArray havanaDay =
        "pdu : Kestrel 2 @ "
        "10.0.0.9,A,2026-11-01T00:00:00-04:00,2026-11-02T00:00:00-05:00,3.023611,180,12.09";
    QTest::newRow("America/Havana from noon the day before")
        << QByteArray("America/Havana") << havana << "2026-10-31T12:00"
        << "2026-11-01"
        << csv({"pdu : Kestrel 2 @ "
                "10.0.0.9,A,2026-10-31T12:00:00-04:00,2026-11-01T00:00:00-04:00,1.000000,60,8.33",
                havanaDay.constData()});
    QTest::newRow("America/Havana from the day itself")
        << QByteArray("America/Havana") << havana << "2026-11-01"
        << "2026-11-01" << csv({havanaDay.constData()});
}

// Where daylight saving ends at midnight, the first of the two midnights starts the day: the repeated
// hour is on the date its clock shows, whatever the first day of the export.
void TestEnergyHistory::exportEnergy_midnightTwice_repeatedHourOnItsDate() {
    QFETCH(QByteArray, zone);
    QFETCH(Time, firstMidnight);
    QFETCH(QString, from);
    QFETCH(QString, till);
    QFETCH(QByteArray, expected);

    const QByteArray berlin = qgetenv("TZ");
    qputenv("TZ", zone);
    tzset();
    const auto restore = qScopeGuard([&berlin] {
        qputenv("TZ", berlin);
        tzset();
    });
    ScopedWorkDir dir;
    Application app;
    writeRuns(app, {{0, "A", firstMidnight - 3600, firstMidnight + 3 * 3600, 60, 1000}});
    QBuffer out;
    QVERIFY(out.open(QIODevice::WriteOnly));
    exportEnergy(out, dir.path(), *parseLocalTime(from, false), *parseLocalTime(till, true),
                 EnergyGrouping::day, {}, EnergyMeter::bridge(60));
    QCOMPARE(out.data(), expected);
}

QTEST_GUILESS_MAIN(TestEnergyHistory)
#include "tst_EnergyHistory.moc"
