#include "ModalDriver.h"
#include "ProgramProcess.h"
#include "TestSupport.h"
#include "WindowService.h"

#include "ui/Ampwarden.h"
#include "ui/Controller.h"
#include "ui/StatusChart.h"

#include "config/Settings.h"
#include "core/Application.h"
#include "core/CheckCycle.h"
#include "core/Clock.h"
#include "core/CycleEvents.h"
#include "core/EventLine.h"
#include "query/WebThread.h"
#include "report/AlertMonitor.h"
#include "service/Service.h"
#include "status/StatusModel.h"
#include "syslog/SyslogReceiver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QInputDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTableWidget>
#include <QTest>
#include <QtCharts/QChart>
#include <QtCharts/QLineSeries>

using namespace Warden::Test;
using Warden::StatusModel;
using Warden::Business::Application;

namespace {

int busA(int quantity) {
    return StatusModel::busColumn(quantity, 0);
}
int busB(int quantity) {
    return StatusModel::busColumn(quantity, 1);
}

// One simulated two-bus controller; its port is read from its output.
struct Simulator {
    explicit Simulator(const QStringList& arguments)
        : process(QStringLiteral(CTLSIM_BINARY)) {
        process.start(arguments);
        port = process.waitForLine("controller 0 ").split(' ').value(2).toUShort();
        process.waitForLine("ready");
    }
    void command(const QByteArray& line) {
        process.process().write(line + '\n');
        process.waitForLine("ok");
    }
    ProgramProcess process;
    quint16 port = 0;
};

// Runs one check of every controller through the window's own querying object.
void runCheck(Ampwarden& window) {
    Warden::CheckEvent check;
    QCoreApplication::sendEvent(window.cycle(), &check);
    QTRY_VERIFY_WITH_TIMEOUT(!window.cycle()->querying(), 15000);
    QCoreApplication::processEvents(); // the rows' updates go out on the next pass
}

QString cell(const QTableView* view, int row, int column, int role = Qt::DisplayRole) {
    return view->model()->index(row, column).data(role).toString();
}

bool marked(const QTableView* view, int row, int column) {
    return view->model()->index(row, column).data(Qt::BackgroundRole).canConvert<QBrush>();
}

} // namespace

class tst_StatusTab : public QObject {
    Q_OBJECT

private slots:
    void check_showsStateReadingsAndMarks_data();
    void check_showsStateReadingsAndMarks();
    void chart_followsReadingsWithLimitLines();
    void slowCheck_controllerEditedOrRemovedMeanwhile_data();
    void slowCheck_controllerEditedOrRemovedMeanwhile();
    void chart_startsWithTheLastWeekOfTheDailyLogs();
    void conditions_countedAndWorstFirst_data();
    void conditions_countedAndWorstFirst();
    void acknowledge_keepsTheNoteInTheDailyLog();
};

void tst_StatusTab::check_showsStateReadingsAndMarks_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("currentA");
    QTest::addColumn<QString>("currentB");
    QTest::addColumn<QString>("reason"); // in the State cell's tooltip; empty: none

    QTest::newRow("within limits") << QStringList{} << "answering"
                                   << "2.5 A"
                                   << "1.5 A"
                                   << "";
    QTest::newRow("bus B over") << QStringList{"--amps-b", "10.4"} << "alarm"
                                << "2.5 A"
                                << "10.4 A (over 10 A)"
                                << "";
    QTest::newRow("bus A under") << QStringList{"--amps-a", "0.2"} << "alarm"
                                 << "0.2 A (under 0.5 A)"
                                 << "1.5 A"
                                 << "";
    QTest::newRow("silent") << QStringList{"--fault", "silent"} << "no answer"
                            << ""
                            << ""
                            << "no answer: no answer within 1.5 s.";
    QTest::newRow("wrong login") << QStringList{"--fault", "401"} << "login refused"
                                 << ""
                                 << ""
                                 << "login refused: login refused (401).";
    QTest::newRow("no clock on the page") << QStringList{"--fault", "noclock"} << "page unreadable"
                                          << "2.5 A"
                                          << "1.5 A"
                                          << "page unreadable: page without its clock.";
}

void tst_StatusTab::check_showsStateReadingsAndMarks() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, state);
    QFETCH(QString, currentA);
    QFETCH(QString, currentB);
    QFETCH(QString, reason);
    ScopedWorkDir dir;
    const qint64 start = localSeconds(2026, 12, 7, 1);
    ManualClock clock(start);
    Simulator sim(arguments);
    Warden::Service service(windowTestService());
    Ampwarden window(service);
    service.web().setClientTimeout(1500);
    Warden::Business::storeController(service.app(), -1,
                                      {"rack1", "Kestrel 2", "127.0.0.1", QByteArray::number(sim.port),
                                       "admin", "secret", "A", "10", "0.5", "0.9", "B", "10", "0", "1"});
    service.status().reload();
    auto* view = window.findChild<QTableView*>(QStringLiteral("tableStatus"));
    QCOMPARE(cell(view, 0, StatusModel::state), QStringLiteral("not checked yet"));

    runCheck(window);
    clock.advance(90);

    QCOMPARE(cell(view, 0, StatusModel::name), QStringLiteral("rack1"));
    QCOMPARE(cell(view, 0, StatusModel::state), state);
    QCOMPARE(marked(view, 0, StatusModel::state), true);
    const QString tip = cell(view, 0, StatusModel::state, Qt::ToolTipRole);
    QVERIFY2(reason.isEmpty() ? !tip.contains(QLatin1String("Failing since")) : tip.startsWith(reason),
             qPrintable(tip));
    QCOMPARE(cell(view, 0, busA(StatusModel::current)), currentA);
    QCOMPARE(cell(view, 0, busB(StatusModel::current)), currentB);
    QCOMPARE(marked(view, 0, busA(StatusModel::current)), currentA.contains(QLatin1String("under")));
    QCOMPARE(marked(view, 0, busB(StatusModel::current)), currentB.contains(QLatin1String("over")));
    QCOMPARE(cell(view, 0, StatusModel::lastGoodCheck),
             state == QLatin1String("answering") || state == QLatin1String("alarm") ? "1 min ago" : "never");
    QCOMPARE(cell(view, 0, busA(StatusModel::limits)), QStringLiteral("0.5 - 10 A"));
    if (!currentA.isEmpty()) {
        QCOMPARE(cell(view, 0, busA(StatusModel::volts)), QStringLiteral("230 V"));
        const double ampsA = currentA.section(QLatin1Char(' '), 0, 0).toDouble();
        QCOMPARE(cell(view, 0, busA(StatusModel::power)),
                 QStringLiteral("%1 W (pf 0.9)").arg(StatusModel::number(230 * ampsA * 0.9)));
        // The first reading of the day, an hour after midnight, is not carried back to midnight.
        QCOMPARE(cell(view, 0, busA(StatusModel::today)), QStringLiteral("0.000 kWh"));
    }
}

void tst_StatusTab::chart_followsReadingsWithLimitLines() {
    ScopedWorkDir dir;
    const qint64 start = localSeconds(2026, 12, 7, 9);
    ManualClock clock(start);
    Simulator sim({});
    Warden::Service service(windowTestService());
    Ampwarden window(service);
    Warden::Business::storeController(service.app(), -1,
                                      {"rack1", "Kestrel 2", "127.0.0.1", QByteArray::number(sim.port),
                                       "admin", "secret", "A", "10", "0.5", "1", "B", "10", "0", "1"});
    Warden::Business::storeController(
        service.app(), -1, {"other", "Heron", "127.0.0.9", "", "admin", "secret", "", "8", "1", "1"});
    service.status().reload();
    auto* view = window.findChild<QTableView*>(QStringLiteral("tableStatus"));
    auto* chart = window.findChild<StatusChart*>(QStringLiteral("chartStatus"));
    view->selectRow(0);
    runCheck(window);
    clock.advance(120);
    sim.command("load 0 B 230 12");
    QSignalSpy changes(view->model(), &QAbstractItemModel::dataChanged);
    QSignalSpy resets(view->model(), &QAbstractItemModel::modelReset);
    runCheck(window);

    // A check updates rows in place; the view is never rebuilt for it.
    QVERIFY(!changes.isEmpty());
    QCOMPARE(resets.count(), 0);
    QCOMPARE(chart->shownRow(), 0);
    QMap<QString, QList<QPointF>> series;
    for (QAbstractSeries* s : chart->chart()->series())
        series[s->name()] = static_cast<QLineSeries*>(s)->points();
    const double t0 = double(start);
    const double t1 = double(start + 120);
    const double from = t1 - 86400; // the day up to now
    const QMap<QString, QList<QPointF>> expected{
        {"Bus A", {{t0, 2.5}, {t1, 2.5}}},       {"Bus B", {{t0, 1.5}, {t1, 12}}},
        {"A over 10 A", {{from, 10}, {t1, 10}}}, {"A under 0.5 A", {{from, 0.5}, {t1, 0.5}}},
        {"B over 10 A", {{from, 10}, {t1, 10}}},
    };
    QCOMPARE(series, expected);

    // A syslog event shows at once, without a check.
    service.syslog().handleDatagram("127.0.0.1", "<38>Failed authentication of user admin");
    QTRY_COMPARE(cell(view, 0, StatusModel::lastEvent), QStringLiteral("login_failure (syslog)"));

    view->selectRow(1);
    QCOMPARE(chart->shownRow(), 1);
    // Its limits, and no line of readings it never sent.
    for (QAbstractSeries* s : chart->chart()->series())
        QVERIFY2(!s->name().startsWith(QLatin1String("Bus")), qPrintable(s->name()));
    QCOMPARE(chart->chart()->series().size(), 2);
}

void tst_StatusTab::chart_startsWithTheLastWeekOfTheDailyLogs() {
    ScopedWorkDir dir;
    const qint64 now = localSeconds(2026, 12, 8, 12);
    ManualClock clock(now);
    Warden::Business::Application earlier;
    Warden::Business::loadSettings(earlier);
    Warden::Business::storeController(earlier, -1,
                                      {"rack1", "Kestrel 2", "127.0.0.9", "", "admin", "secret", "A", "10",
                                       "0.5", "1", "B", "10", "0", "1"});
    // What an earlier run wrote to its daily logs.
    for (const qint64 t : {now - 8 * 86400, now - 2 * 86400}) {
        const Warden::Business::Event reading{{},
                                              t,
                                              Warden::Business::EventKind::values,
                                              Warden::Business::Transport::http,
                                              "Current loads on channel A: 230 V, 3.5 A, 805 W",
                                              {},
                                              earlier.controllerAt(0)->id};
        const QString path = QString::fromUtf8(earlier.dailyLogPath(t));
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        QVERIFY(file.open(QIODevice::Append));
        file.write(earlier.eventLine(reading) + '\n');
    }
    earlier.shutdown();

    Warden::Service service(windowTestService());
    Ampwarden window(service);
    QTRY_COMPARE(service.status().rowCount(), 1);
    window.findChild<QTableView*>(QStringLiteral("tableStatus"))->selectRow(0);
    auto* chart = window.findChild<StatusChart*>(QStringLiteral("chartStatus"));
    const auto busA = [chart] {
        QList<QPointF> points;
        for (QAbstractSeries* s : chart->chart()->series())
            if (s->name() == QLatin1String("Bus A"))
                points << static_cast<QLineSeries*>(s)->points();
        return points;
    };
    chart->setRange(Warden::ChartRange::week);
    QCOMPARE(busA(), (QList<QPointF>{{double(now - 2 * 86400), 3.5}}));
    chart->setRange(Warden::ChartRange::day);
    QCOMPARE(busA(), QList<QPointF>());
}

void tst_StatusTab::slowCheck_controllerEditedOrRemovedMeanwhile_data() {
    QTest::addColumn<bool>("remove");
    QTest::newRow("edited: the check's result goes to it") << false;
    QTest::newRow("removed: the check's result is dropped") << true;
}

// A controller that takes ten seconds to answer holds nobody's settings hostage: the user edits or
// removes it in the window while its check runs.
void tst_StatusTab::slowCheck_controllerEditedOrRemovedMeanwhile() {
    QFETCH(bool, remove);
    ScopedWorkDir dir;
    Simulator sim({"--answer-delay-ms", "5000"}); // two pages: ten seconds
    Warden::Service service(windowTestService());
    Ampwarden window(service);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    Warden::Business::Application& app = service.app();
    Warden::Business::storeController(app, -1,
                                      {"rack1", "Kestrel 2", "127.0.0.1", QByteArray::number(sim.port),
                                       "admin", "secret", "A", "10", "0.5", "1", "B", "10", "0", "1"});
    const Warden::Business::ControllerId id = app.controllers.front().id;
    Warden::CheckEvent check;
    QCoreApplication::sendEvent(window.cycle(), &check);
    QVERIFY(window.cycle()->querying());

    auto* table = window.findChild<QTableWidget*>(QStringLiteral("tableControllers"));
    QTRY_COMPARE(table->rowCount(), 1);
    table->setCurrentCell(0, 0);
    if (remove) {
        SeenBox question;
        auto box = answerBox(&question, QMessageBox::Yes);
        window.rmvController();
        QVERIFY(box.fired());
        QVERIFY(app.controllers.empty());
    } else {
        WhenModal<Controller> edit([](Controller* d) {
            d->findChild<QLineEdit*>(QStringLiteral("lineEditControllerName"))
                ->setText(QStringLiteral("rack1 left"));
            d->findChild<QPushButton*>(QStringLiteral("pushButton"))->click();
        });
        window.dlgController(0);
        QVERIFY(edit.fired());
        QCOMPARE(app.controllers.front().name, QByteArray("rack1 left"));
    }
    QVERIFY(window.cycle()->querying());
    QTRY_VERIFY_WITH_TIMEOUT(!window.cycle()->querying(), 30000);

    const QByteArray dailyLog =
        readFile(QDir(dir.path()).filePath(QString::fromUtf8(app.dailyLogPath(Warden::Clock::now()))));
    if (remove) {
        QCOMPARE(app.getEventCount(), 0);
        QCOMPARE(appLog().count("removed during the check"), 1);
    } else {
        QVERIFY(!app.events.ownedBy(id).empty());
        QVERIFY2(dailyLog.contains("\"rack1 left : Kestrel 2 @ 127.0.0.1:"), dailyLog.constData());
        service.status().flush();
        auto* view = window.findChild<QTableView*>(QStringLiteral("tableStatus"));
        QCOMPARE(cell(view, 0, StatusModel::state), QStringLiteral("answering"));
    }
}

void tst_StatusTab::conditions_countedAndWorstFirst_data() {
    // One letter per controller c0, c1, ... (one bus, limits 1 to 10 A): o over, u under, n within,
    // f a failed check, - not checked; F and S read an over-current, then F failed and S went stale.
    QTest::addColumn<QByteArray>("conditions");
    QTest::addColumn<QStringList>("order"); // the table's rows, top down
    QTest::addColumn<QList<int>>("counts"); // in alarm, no answer, stale

    QTest::newRow("all well: configuration order")
        << QByteArray("nn") << QStringList{"c0", "c1"} << QList<int>{0, 0, 0};
    QTest::newRow("worst first") << QByteArray("nsf-uo") << QStringList{"c5", "c4", "c2", "c1", "c3", "c0"}
                                 << QList<int>{2, 1, 1};
    QTest::newRow("old values raise no alarm")
        << QByteArray("nFSu") << QStringList{"c3", "c1", "c2", "c0"} << QList<int>{1, 1, 1};
}

void tst_StatusTab::conditions_countedAndWorstFirst() {
    QFETCH(QByteArray, conditions);
    QFETCH(QStringList, order);
    QFETCH(QList<int>, counts);
    ScopedWorkDir dir;
    ManualClock clock(localSeconds(2026, 12, 7, 9));
    Warden::Service service(windowTestService());
    Ampwarden window(service);
    Warden::Business::Application& app = service.app();
    for (int i = 0; i < conditions.size(); ++i)
        Warden::Business::storeController(
            app, -1,
            {"c" + QByteArray::number(i), "Heron", "127.0.0.1", "", "admin", "secret", "", "10", "1", "1"});
    StatusModel* model = &service.status();
    model->reload();
    model->setStaleAfter(600);

    // The stale ones are checked first, the others fifteen minutes later.
    for (const bool stale : {true, false}) {
        for (int i = 0; i < conditions.size(); ++i) {
            const char c = conditions[i];
            if (c == '-' || (c == 's' || c == 'S') != stale)
                continue;
            const double amps = c == 'u' ? 0.5 : QByteArray("oFS").contains(c) ? 12 : 5;
            using namespace Warden::Business;
            app.addEvent({}, clock.now(), app.controllerAt(i)->id, EventKind::values, Transport::http,
                         "Current loads on channel : 230 V, " + QByteArray::number(amps) + " A, " +
                             QByteArray::number(230 * amps) + " W",
                         {});
            model->setOutcome(app.controllerAt(i)->id, {c != 'f' && c != 'F', 200, {}, {}});
        }
        if (stale)
            clock.advance(900);
    }
    model->flush();

    auto* view = window.findChild<QTableView*>(QStringLiteral("tableStatus"));
    QStringList shown;
    for (int row = 0; row < view->model()->rowCount(); ++row)
        shown << cell(view, row, StatusModel::name);
    QVERIFY2(shown == order, qPrintable(shown.join(QLatin1Char(' '))));
    const StatusModel::Counts total = model->counts();
    QCOMPARE(total.controllers, int(conditions.size()));
    QCOMPARE((QList<int>{total.inAlarm, total.noAnswer, total.stale}), counts);
}

void tst_StatusTab::acknowledge_keepsTheNoteInTheDailyLog() {
    ScopedWorkDir dir;
    ManualClock clock(localSeconds(2026, 12, 7, 9));
    Warden::Service service(windowTestService());
    Ampwarden window(service);
    Warden::Business::Application& app = service.app();
    Warden::Business::storeController(
        app, -1, {"c0", "Heron", "127.0.0.1", "", "admin", "secret", "", "10", "1", "1"});
    service.status().reload();
    const auto* controller = app.controllerAt(0);
    Warden::AlertMonitor* monitor = &service.alerts();
    monitor->checked(controller->id, {true, 200, {{"A", 12, 1, 10}}, {}});
    window.findChild<QTableView*>(QStringLiteral("tableStatus"))->selectRow(0);
    auto* acknowledge = child<QPushButton>(&window, "btnAcknowledge");
    QVERIFY(acknowledge->isEnabled());

    WhenModal<QInputDialog> note([](QInputDialog* dialog) {
        dialog->setTextValue(QStringLiteral("fan swap"));
        dialog->accept();
    });
    acknowledge->click();

    QVERIFY(note.fired());
    QVERIFY(monitor->unacknowledged().isEmpty());
    QVERIFY(!acknowledge->isEnabled());
    const QByteArray log = readFile(QString::fromLatin1(app.dailyLogPath(clock.now())));
    // The parsed line views into its text, which must outlive it.
    const QByteArray lastLine = log.trimmed().split('\n').last();
    const auto line = Warden::Business::parseEventLine(lastLine);
    QVERIFY2(line, log.constData());
    QCOMPARE(line->kind, Warden::Business::EventKind::unknown);
    QCOMPARE(line->owner.toByteArray(), controller->displayName());
    QCOMPARE(line->reason.toByteArray(), QByteArray("Acknowledged: bus A over-current; note: fan swap"));
}

QTEST_MAIN(tst_StatusTab)
#include "tst_StatusTab.moc"
