#include "TestSupport.h"

#include "core/Application.h"
#include "core/CheckCycle.h"
#include "core/CycleEvents.h"

#include <QtTest>

using namespace Warden;
using Business::Application;
using Test::appLog;

namespace {

// Stands in for the querying object: counts the checks it is asked to run.
class QueryTarget final : public QObject {
public:
    int checks = 0;
    bool event(QEvent* e) override {
        if (e->type() != CycleEvents::check())
            return QObject::event(e);
        ++checks;
        return true;
    }
};

using Reports = QList<QPair<Business::Time, Business::Time>>;

const QByteArray skipLine = "event(): received, but previous event is not processed yet, skip:\n";

} // namespace

class CheckCycleTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void check_data();
    void check();
    void queryDone_runsPendingReportAfterRefresh_data();
    void queryDone_runsPendingReportAfterRefresh();
    void reportWithoutCheck_runsAtOnceEvenWhileEditing();
    void droppedCheck_reportRunsOnceAtNextChance_data();
    void droppedCheck_reportRunsOnceAtNextChance();
    void asyncRun_momentsDuringItFollowInOrder_data();
    void asyncRun_momentsDuringItFollowInOrder();
    void controllerAddedLater_isQueriedAtNextCheck();

private:
    // Steps: "check <shouldEmail> <from> <till>", "report <from> <till>" (a report moment without a
    // check), "done" (the last client of the running check ended), "edit <0|1>", "finish" (the
    // running report run ends).
    void play(const QStringList& steps) {
        for (const QString& step : steps) {
            const QStringList w = step.split(QLatin1Char(' '));
            if (w[0] == QLatin1String("check"))
                deliver(new CheckEvent(w[1] == QLatin1String("1"), w[2].toULongLong(), w[3].toULongLong()));
            else if (w[0] == QLatin1String("report"))
                deliver(new ReportEvent(w[1].toULongLong(), w[2].toULongLong()));
            else if (w[0] == QLatin1String("done"))
                deliver(new ClientEvent(CycleEvents::clientDone(), 1));
            else if (w[0] == QLatin1String("finish"))
                std::exchange(finishRun_, {})();
            else
                cycle_->setEditing(w[1] == QLatin1String("1"));
        }
    }

    void deliver(QEvent* event) {
        QCoreApplication::postEvent(cycle_.get(), event);
        QCoreApplication::sendPostedEvents(cycle_.get());
        QCoreApplication::sendPostedEvents(&target_);
    }

    std::unique_ptr<Test::ScopedWorkDir> dir_;
    std::unique_ptr<Application> app_;
    std::unique_ptr<CheckCycle> cycle_;
    QueryTarget target_;
    QList<QPair<Business::Time, Business::Time>> reports_;
    QStringList signals_;
    std::function<void()> finishRun_;
};

void CheckCycleTest::init() {
    dir_ = std::make_unique<Test::ScopedWorkDir>();
    app_ = std::make_unique<Application>();
    cycle_ = std::make_unique<CheckCycle>(*app_);
    target_.checks = 0;
    reports_.clear();
    signals_.clear();
    cycle_->setQueryTarget(&target_);
    cycle_->setReportRun([this](Business::Time from, Business::Time till) {
        reports_.append({from, till});
        signals_ << QStringLiteral("report");
    });
    connect(cycle_.get(), &CheckCycle::queryingStarted, this,
            [this] { signals_ << QStringLiteral("started"); });
    connect(cycle_.get(), &CheckCycle::queryingFinished, this,
            [this] { signals_ << QStringLiteral("finished"); });
}

void CheckCycleTest::cleanup() {
    finishRun_ = {};
    cycle_.reset();
    app_.reset();
    dir_.reset();
}

void CheckCycleTest::check_data() {
    QTest::addColumn<bool>("withController");
    QTest::addColumn<bool>("editing");
    QTest::addColumn<int>("checks");
    QTest::addColumn<int>("queried");
    QTest::addColumn<int>("skipLines");
    QTest::addColumn<bool>("querying");
    QTest::newRow("accepted check is passed on") << true << false << 1 << 1 << 0 << true;
    QTest::newRow("second check while querying: one skip line") << true << false << 2 << 1 << 1 << true;
    QTest::newRow("three checks while querying: two skip lines") << true << false << 3 << 1 << 2 << true;
    QTest::newRow("editing: no query, no line") << true << true << 2 << 0 << 0 << false;
    QTest::newRow("no controllers: nothing happens") << false << false << 2 << 0 << 0 << false;
}

void CheckCycleTest::check() {
    QFETCH(bool, withController);
    QFETCH(bool, editing);
    QFETCH(int, checks);
    QFETCH(int, queried);
    QFETCH(int, skipLines);
    QFETCH(bool, querying);
    if (withController)
        app_->controllers.emplace_back("rack1", 0, "10.0.0.5", 0, "admin", "pw");
    cycle_->setEditing(editing);
    for (int i = 0; i < checks; ++i)
        deliver(new CheckEvent(false, 100, 200));
    QCOMPARE(target_.checks, queried);
    QCOMPARE(appLog().count(skipLine), skipLines);
    QCOMPARE(cycle_->querying(), querying);
    QCOMPARE(signals_.count(QStringLiteral("started")), queried);
}

void CheckCycleTest::queryDone_runsPendingReportAfterRefresh_data() {
    QTest::addColumn<bool>("shouldEmail");
    QTest::addColumn<bool>("failed");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("report due, last client done")
        << true << false << QStringList{"started", "finished", "report"};
    QTest::newRow("report due, last client failed")
        << true << true << QStringList{"started", "finished", "report"};
    QTest::newRow("no report due") << false << false << QStringList{"started", "finished"};
}

void CheckCycleTest::queryDone_runsPendingReportAfterRefresh() {
    QFETCH(bool, shouldEmail);
    QFETCH(bool, failed);
    QFETCH(QStringList, expected);
    app_->controllers.emplace_back("rack1", 0, "10.0.0.5", 0, "admin", "pw");
    deliver(new CheckEvent(shouldEmail, 1765098000, 1765101600));
    deliver(new ClientEvent(failed ? CycleEvents::clientFailed() : CycleEvents::clientDone(), 7));
    QCOMPARE(signals_, expected);
    QVERIFY(!cycle_->querying());
    if (shouldEmail)
        QCOMPARE(reports_, (QList<QPair<Business::Time, Business::Time>>{{1765098000, 1765101600}}));
    // The report is not pending any more: the next finished check runs none.
    deliver(new CheckEvent(false, 1, 2));
    deliver(new ClientEvent(CycleEvents::clientDone(), 8));
    QCOMPARE(reports_.size(), shouldEmail ? 1 : 0);
}

void CheckCycleTest::reportWithoutCheck_runsAtOnceEvenWhileEditing() {
    cycle_->setEditing(true);
    deliver(new ReportEvent(1000, 4600));
    QCOMPARE(reports_, (QList<QPair<Business::Time, Business::Time>>{{1000, 4600}}));
    QCOMPARE(target_.checks, 0);
}

void CheckCycleTest::droppedCheck_reportRunsOnceAtNextChance_data() {
    // Steps: "check <shouldEmail> <from> <till>", "report <from> <till>" (a report moment without a
    // check), "done" (the last client of the running check ended), "edit <0|1>".
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<Reports>("expected");
    QTest::newRow("checks dropped while one runs: their reports follow it in order")
        << QStringList{"check 1 0 100", "check 1 100 200", "check 1 200 300", "done"}
        << Reports{{0, 100}, {100, 200}, {200, 300}};
    QTest::newRow("dropped check without a report adds none")
        << QStringList{"check 1 0 100", "check 0 100 150", "done"} << Reports{{0, 100}};
    QTest::newRow("check dropped while a dialog is open: report at once")
        << QStringList{"edit 1", "check 1 100 200"} << Reports{{100, 200}};
    QTest::newRow("report moment during a check waits for its end")
        << QStringList{"check 1 0 100", "report 100 150", "done"} << Reports{{0, 100}, {100, 150}};
}

void CheckCycleTest::droppedCheck_reportRunsOnceAtNextChance() {
    QFETCH(QStringList, steps);
    QFETCH(Reports, expected);
    app_->controllers.emplace_back("rack1", 0, "10.0.0.5", 0, "admin", "pw");
    play(steps);
    QCOMPARE(reports_, expected);
    // Each runs once: a later check brings none of them back.
    cycle_->setEditing(false);
    deliver(new CheckEvent(false, 1000, 1100));
    deliver(new ClientEvent(CycleEvents::clientDone(), 2));
    QCOMPARE(reports_, expected);
}

void CheckCycleTest::asyncRun_momentsDuringItFollowInOrder_data() {
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<Reports>("expected");
    QTest::addColumn<int>("queried");
    QTest::addColumn<int>("skipLines");
    QTest::newRow("nothing starts before the run ends")
        << QStringList{"report 0 100", "check 1 100 200", "report 200 300"} << Reports{{0, 100}} << 0 << 0;
    QTest::newRow("a check during a run is queried after it, reports follow in order")
        << QStringList{"report 0 100", "check 1 100 200", "report 200 300", "finish", "done", "finish"}
        << Reports{{0, 100}, {100, 200}, {200, 300}} << 1 << 0;
    QTest::newRow("the second check held is skipped as if it came during the first")
        << QStringList{"report 0 100", "check 1 100 200", "check 1 200 300", "finish", "done", "finish"}
        << Reports{{0, 100}, {100, 200}, {200, 300}} << 1 << 1;
    QTest::newRow("a due report waits for the run before it")
        << QStringList{"check 1 0 100", "report 100 200", "done", "finish"} << Reports{{0, 100}, {100, 200}}
        << 1 << 0;
}

void CheckCycleTest::asyncRun_momentsDuringItFollowInOrder() {
    QFETCH(QStringList, steps);
    QFETCH(Reports, expected);
    QFETCH(int, queried);
    QFETCH(int, skipLines);
    cycle_->setReportRun([this](Business::Time from, Business::Time till, std::function<void()> finished) {
        QVERIFY(!finishRun_);
        reports_.append({from, till});
        finishRun_ = std::move(finished);
    });
    app_->controllers.emplace_back("rack1", 0, "10.0.0.5", 0, "admin", "pw");
    play(steps);
    QCOMPARE(reports_, expected);
    QCOMPARE(target_.checks, queried);
    QCOMPARE(appLog().count(skipLine), skipLines);
}

void CheckCycleTest::controllerAddedLater_isQueriedAtNextCheck() {
    deliver(new CheckEvent(true, 1, 2));
    QCOMPARE(target_.checks, 0);
    // Nothing to check, but the report moment is not lost: it runs at once.
    QCOMPARE(reports_, (QList<QPair<Business::Time, Business::Time>>{{1, 2}}));
    app_->controllers.emplace_back("rack1", 0, "10.0.0.5", 0, "admin", "pw");
    deliver(new CheckEvent(false, 1, 3));
    QCOMPARE(target_.checks, 1);
    // The report of the dropped check does not come back with a later one.
    deliver(new ClientEvent(CycleEvents::clientDone(), 1));
    QCOMPARE(reports_.size(), 1);
}

QTEST_GUILESS_MAIN(CheckCycleTest)
#include "tst_CheckCycle.moc"
