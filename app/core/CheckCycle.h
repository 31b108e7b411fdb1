#pragma once

#include "Records.h"

#include <QObject>

#include <deque>
#include <functional>
#include <utility>

namespace Warden {

namespace Business {
class Application;
}

// The main window's side of the check/report cycle, without widgets: it receives the check moments
// the scheduler posts, passes accepted ones to the querying object, hears when every controller has
// been queried and then runs the reports that fell due meanwhile. Report moments that come without a
// check, or with a check that is not made (a dialog open, no controllers), run here at once unless a
// check is running. Lives on the main thread, which owns the state and the event store.
class CheckCycle final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CheckCycle)

public:
    // A report run that is over when it returns.
    using ReportRun = std::function<void(Business::Time from, Business::Time till)>;
    // A report run that goes on after it returns (its composing runs on other threads) and calls
    // `finished` on the main thread when it is over. Until then the cycle holds the check and report
    // moments that come, and takes them up in their order afterwards, as it would have met them had
    // the run kept the thread busy.
    using AsyncReportRun =
        std::function<void(Business::Time from, Business::Time till, std::function<void()> finished)>;

    explicit CheckCycle(Business::Application& app, QObject* parent = nullptr);

    // The querying object that gets a CheckEvent for every accepted check moment.
    void setQueryTarget(QObject* target) { queryTarget_ = target; }
    void setReportRun(ReportRun run);
    void setReportRun(AsyncReportRun run) { reportRun_ = std::move(run); }

    // True while a controller dialog is open: check moments pass without a query.
    void setEditing(bool editing) { editing_ = editing; }
    bool editing() const { return editing_; }
    bool querying() const { return querying_; }
    bool reporting() const { return reporting_; }

    bool event(QEvent* event) override;

signals:
    // A check was accepted: show the "Querying controllers ..." label, disable adding and removing.
    void queryingStarted();
    // Every controller has been queried: hide the label, enable the buttons, refresh the event log
    // and the last-check text. Emitted before a pending report runs.
    void queryingFinished();

private:
    // A check (or, without `check`, a report) moment that came during a report run.
    struct HeldMoment {
        bool check = false;
        bool shouldEmail = false;
        quint64 from = 0;
        quint64 till = 0;
    };

    void onCheck(bool shouldEmail, quint64 checkFrom, quint64 checkTill);
    void onQueryDone();
    // Runs the report now, or after the running check or report when there is one.
    void reportDue(Business::Time from, Business::Time till);
    // Runs the due reports and takes up the held moments, in order, as far as the cycle is free.
    void runDueReports();
    void runReport(Business::Time from, Business::Time till);
    void reportFinished();

    Business::Application& app_;
    QObject* queryTarget_ = nullptr;
    AsyncReportRun reportRun_;
    bool editing_ = false;
    bool querying_ = false;
    bool reporting_ = false;
    bool runningDue_ = false;
    // Report periods waiting for the running check to end, oldest first. A report moment is never
    // dropped with the check it came with: it runs at the next moment the cycle is free, once.
    std::deque<std::pair<Business::Time, Business::Time>> dueReports_;
    // Moments that came while a report run was going on, oldest first.
    std::deque<HeldMoment> held_;
};

} // namespace Warden
