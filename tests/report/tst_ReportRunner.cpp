#include "report/ReportRunner.h"

#include "ComposedReport.h"
#include "TestSupport.h"

#include "core/Application.h"

#include <QTest>
#include <QTimer>

#include <memory>
#include <set>
#include <vector>

using namespace Warden;
using namespace Warden::Business;

namespace {

const Time from = Test::utcSeconds(2026, 12, 6);
const Time till = from + 86400;

// A metering controller with a reading a minute on both buses over the day and a log-in every hour,
// or, when not `metering`, a one-bus model with its log-ins only. Every second one reads 1 kW more,
// so that no two bodies are alike.
Controller& addController(Application& app, int number, bool metering) {
    Controller& c = app.controllers.emplace_back("rack" + QByteArray::number(number), metering ? 0 : 2,
                                                 "10.0.0." + QByteArray::number(number), 80, "admin", "pw");
    app.setReportTime(c, from);
    c.lastCheck = till;
    for (Time t = from - 60; t <= till + 60; t += 60) {
        if (metering) {
            const QByteArray watts = QByteArray::number(1000 * (number % 2 + 1) + t % 3600 / 60);
            app.events.insert(
                Event{"", t, EventKind::values, Transport::http, "channel A, " + watts, "", c.id});
            app.events.insert(
                Event{"", t, EventKind::values, Transport::http, "channel B, " + watts, "", c.id});
        }
        if (t % 3600 == 0)
            app.events.insert(Event{"id-" + QByteArray::number(t), t, EventKind::login_success,
                                    Transport::syslog, "ok", "", c.id});
    }
    return c;
}

void addRecipients(Application& app, int count) {
    MailServer& server = app.mailServers.emplace_back("127.0.0.1", 25, "", "", false);
    for (int i = 0; i < count; ++i)
        app.mailAccounts.push_back(
            {"r" + QByteArray::number(i) + "@example.test", "warden@example.test", &server});
}

void reportSettings(Application& app) {
    ReportSettings& r = app.report;
    r.sendOnLogin = true;
    r.sendPowerBill = true;
    r.sendHistogram = true;
    r.reportEveryUnit = 86400;
    r.reportEveryUnits = 1;
    r.kWHPriceUSD = 0.25;
    r.currency = "EUR";
}

// Runs the reports of the day through `runner` and waits until the run is over.
bool runToEnd(ReportRunner& runner) {
    bool finished = false;
    runner.run(from, till, [&finished] { finished = true; });
    return QTest::qWaitFor([&finished] { return finished; }, 120000);
}

} // namespace

class tst_ReportRunner : public QObject {
    Q_OBJECT

private slots:
    void run_sameMailsInOrderAsOnThisThread_data();
    void run_sameMailsInOrderAsOnThisThread();
    void run_eventLoopTurnsBetweenControllers();
    void run_controllerChangedDuringRun_data();
    void run_controllerChangedDuringRun();
    void destroyedDuringRun_composedMailsGoOut();
};

void tst_ReportRunner::run_sameMailsInOrderAsOnThisThread_data() {
    QTest::addColumn<int>("threads");
    QTest::newRow("one thread") << 1;
    QTest::newRow("four threads") << 4;
}

void tst_ReportRunner::run_sameMailsInOrderAsOnThisThread() {
    QFETCH(int, threads);
    Test::ScopedWorkDir work;
    Application app;
    reportSettings(app);
    addRecipients(app, 2);
    // The metering ones take far longer to compose than the others, so that later controllers are
    // done first and have to wait for their turn.
    for (int i = 0; i < 6; ++i)
        addController(app, i, i % 3 == 0);
    std::vector<QByteArray> bodies;
    for (const Controller& c : app.controllers)
        bodies.push_back(Test::composedReport(app.events, c, from, till, app.report));
    const int eventsBefore = app.getEventCount();

    std::vector<OutboxMail> mails;
    ReportRunner runner(app, [&mails](OutboxMail mail) { mails.push_back(std::move(mail)); });
    runner.setMaxThreads(threads);
    QVERIFY(runToEnd(runner));

    QCOMPARE(mails.size(), std::size_t(12));
    auto controller = app.controllers.begin();
    for (std::size_t i = 0; i < mails.size(); ++i) {
        if (i > 0 && i % 2 == 0)
            ++controller;
        const OutboxMail& mail = mails[i];
        QCOMPARE(mail.to, "r" + QByteArray::number(static_cast<int>(i % 2)) + "@example.test");
        QCOMPARE(mail.controller, controller->displayName());
        QCOMPARE(mail.subject, reportSubject(*controller));
        QVERIFY2(mail.body == bodies[i / 2], qPrintable(QStringLiteral("mail %1").arg(i)));
    }
    for (const Controller& c : app.controllers)
        QCOMPARE(c.lastReport, till);
    // Pruned as the reports went out: a prune now finds nothing more.
    QVERIFY(app.getEventCount() < eventsBefore);
    QCOMPARE(app.events.prune(), std::size_t(0));
}

void tst_ReportRunner::run_eventLoopTurnsBetweenControllers() {
    Test::ScopedWorkDir work;
    Application app;
    reportSettings(app);
    addRecipients(app, 1);
    for (int i = 0; i < 4; ++i)
        addController(app, i, true);

    std::vector<OutboxMail> mails;
    ReportRunner runner(app, [&mails](OutboxMail mail) { mails.push_back(std::move(mail)); });
    runner.setMaxThreads(1);
    // How many mails had been handed on each time a timer of this thread fired during the run.
    std::set<std::size_t> seen;
    QTimer timer;
    connect(&timer, &QTimer::timeout, this, [&] {
        if (runner.running())
            seen.insert(mails.size());
    });
    timer.start(0);
    QVERIFY(runToEnd(runner));
    QCOMPARE(mails.size(), std::size_t(4));
    // The timer fired between the mails of two controllers, not only before the first or after the last.
    QVERIFY2(std::any_of(seen.begin(), seen.end(), [](std::size_t n) { return n > 0 && n < 4; }),
             qPrintable(QStringLiteral("%1 distinct counts").arg(seen.size())));
}

void tst_ReportRunner::run_controllerChangedDuringRun_data() {
    QTest::addColumn<int>("target");
    QTest::addColumn<bool>("remove");
    QTest::addColumn<bool>("sent");
    // The first controller changes while its first mail is handed on: after its copy, before it
    // counts as reported. The last one is far beyond the few copies taken ahead at that moment.
    QTest::newRow("removed after its copy: sent from the copy") << 0 << true << true;
    QTest::newRow("edited after its copy: sent under the old name, not reported") << 0 << false << true;
    QTest::newRow("removed before its copy: left out") << 11 << true << false;
}

void tst_ReportRunner::run_controllerChangedDuringRun() {
    QFETCH(int, target);
    QFETCH(bool, remove);
    QFETCH(bool, sent);
    Test::ScopedWorkDir work;
    Application app;
    reportSettings(app);
    addRecipients(app, 1);
    for (int i = 0; i < 12; ++i)
        addController(app, i, i == 0);
    Controller* changed = app.controllerAt(target);
    QByteArrayList expected;
    for (const Controller& c : app.controllers) {
        if (sent || &c != changed)
            expected << c.displayName();
    }

    QByteArrayList names;
    ReportRunner runner(app, [&](OutboxMail mail) {
        names << mail.controller;
        if (names.size() > 1)
            return;
        if (remove) {
            app.removeControllerRecord(changed->id);
            changed = nullptr;
            return;
        }
        // What an edit in the controller dialog does to the record.
        changed->name = "renamed";
        changed->lastReport = 0;
        changed->lastLog = 0;
        changed->lastCheck = 0;
        app.controllerEdited(*changed);
    });
    runner.setMaxThreads(1);
    QVERIFY(runToEnd(runner));

    QCOMPARE(names, expected);
    QCOMPARE(app.controllerCount(), remove ? 11 : 12);
    if (changed)
        QCOMPARE(changed->lastReport, Time(0));
    for (const Controller& c : app.controllers) {
        if (&c != changed)
            QCOMPARE(c.lastReport, till);
    }
}

void tst_ReportRunner::destroyedDuringRun_composedMailsGoOut() {
    Test::ScopedWorkDir work;
    Application app;
    reportSettings(app);
    addRecipients(app, 1);
    for (int i = 0; i < 12; ++i)
        addController(app, i, true);

    QByteArrayList names;
    auto runner =
        std::make_unique<ReportRunner>(app, [&names](OutboxMail mail) { names << mail.controller; });
    runner->setMaxThreads(1);
    bool finished = false;
    runner->run(from, till, [&finished] { finished = true; });
    QTRY_VERIFY_WITH_TIMEOUT(!names.isEmpty(), 120000);
    // The end of the program: what was composed still goes out, in order, and counts as reported.
    runner.reset();
    QVERIFY(!finished);
    QVERIFY2(names.size() < 12, "the run was over before the runner went");
    QVERIFY(Test::appLog().contains("the program ends during the report run"));
    int reported = 0;
    for (const Controller& c : app.controllers) {
        if (reported < names.size()) {
            QCOMPARE(names.at(reported), c.displayName());
            QCOMPARE(c.lastReport, till);
            ++reported;
        } else {
            QCOMPARE(c.lastReport, from);
        }
    }
}

// The histograms draw text: they need the GUI application (offscreen in the tests).
QTEST_MAIN(tst_ReportRunner)
#include "tst_ReportRunner.moc"
