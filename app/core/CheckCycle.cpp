#include "CheckCycle.h"

#include "Application.h"
#include "CycleEvents.h"
#include "DiagnosticLog.h"
#include "StateFile.h"
#include "ThreadHandoff.h"

#include <QCoreApplication>
#include <QPointer>

namespace Warden {

CheckCycle::CheckCycle(Business::Application& app, QObject* parent)
    : QObject(parent)
    , app_(app) {
}

void CheckCycle::setReportRun(ReportRun run) {
    if (!run) {
        reportRun_ = {};
        return;
    }
    reportRun_ = [run = std::move(run)](Business::Time from, Business::Time till,
                                        std::function<void()> finished) {
        run(from, till);
        finished();
    };
}

bool CheckCycle::event(QEvent* event) {
    // Check and report moments come from the scheduler thread.
    takeOver(event);
    if (event->type() == CycleEvents::check()) {
        const auto& check = static_cast<const CheckEvent&>(*event);
        if (reporting_)
            held_.push_back({true, check.shouldEmail, check.from, check.till});
        else
            onCheck(check.shouldEmail, check.from, check.till);
        return true;
    }
    if (event->type() == CycleEvents::clientDone() || event->type() == CycleEvents::clientFailed()) {
        onQueryDone();
        return true;
    }
    if (event->type() == CycleEvents::report()) {
        const auto& report = static_cast<const ReportEvent&>(*event);
        if (reporting_)
            held_.push_back({false, false, report.from, report.till});
        else
            reportDue(static_cast<Business::Time>(report.from), static_cast<Business::Time>(report.till));
        return true;
    }
    return QObject::event(event);
}

void CheckCycle::onCheck(bool shouldEmail, quint64 checkFrom, quint64 checkTill) {
    // Copied as 32-bit values like the cycle always kept them.
    const Business::Time from = static_cast<quint32>(checkFrom);
    const Business::Time till = static_cast<quint32>(checkTill);
    if (editing_ || querying_ || app_.controllers.empty()) {
        if (querying_ && !editing_)
            DiagnosticLog::write("event(): received, but previous event is not processed yet, skip:\n");
        // The check is dropped, its report is not: the scheduler has already moved on from it.
        if (shouldEmail)
            reportDue(from, till);
        return;
    }
    querying_ = true;
    emit queryingStarted();
    if (shouldEmail)
        dueReports_.emplace_back(from, till);
    if (queryTarget_)
        QCoreApplication::postEvent(queryTarget_, new CheckEvent(shouldEmail, checkFrom, checkTill));
}

void CheckCycle::onQueryDone() {
    emit queryingFinished();
    querying_ = false;
    runDueReports();
}

void CheckCycle::reportDue(Business::Time from, Business::Time till) {
    dueReports_.emplace_back(from, till);
    // A report that comes while a check runs waits for it, so that it includes what the check reads
    // and the periods go out in their order.
    runDueReports();
}

void CheckCycle::runDueReports() {
    // A run that ends before it returns comes back here through reportFinished(); this loop goes on.
    if (runningDue_)
        return;
    runningDue_ = true;
    for (;;) {
        // Taken off the list before it runs: a report run may spin the event loop and come back here.
        if (!querying_ && !reporting_ && !dueReports_.empty()) {
            const auto [from, till] = dueReports_.front();
            dueReports_.pop_front();
            runReport(from, till);
            continue;
        }
        // The due reports are older than anything held: only now the held moments are met, each as it
        // would have been when it came (a check while querying is skipped, its report waits).
        if (!reporting_ && !held_.empty()) {
            const HeldMoment moment = held_.front();
            held_.pop_front();
            if (moment.check)
                onCheck(moment.shouldEmail, moment.from, moment.till);
            else
                dueReports_.emplace_back(static_cast<Business::Time>(moment.from),
                                         static_cast<Business::Time>(moment.till));
            continue;
        }
        break;
    }
    runningDue_ = false;
}

void CheckCycle::runReport(Business::Time from, Business::Time till) {
    if (!reportRun_)
        return;
    reporting_ = true;
    // The state outlives the cycle: it is made first and goes last.
    reportRun_(from, till, [cycle = QPointer<CheckCycle>(this), state = &app_.stateFile, till] {
        // Only a finished run moves the moment on: one cut off by the end of the program is run again
        // from the same moment at the next start.
        state->setLastReportMoment(till);
        if (cycle)
            cycle->reportFinished();
    });
}

void CheckCycle::reportFinished() {
    reporting_ = false;
    runDueReports();
}

} // namespace Warden
