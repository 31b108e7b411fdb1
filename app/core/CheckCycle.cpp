#include "CheckCycle.h"

#include "Application.h"
#include "CycleEvents.h"
#include "DiagnosticLog.h"
#include "ThreadHandoff.h"

#include <QCoreApplication>

#include <algorithm>

namespace Warden {

CheckCycle::CheckCycle(QObject* parent)
    : QObject(parent) {
}

bool CheckCycle::event(QEvent* event) {
    // Check and report moments come from the scheduler thread.
    takeOver(event);
    if (event->type() == CycleEvents::check()) {
        onCheck(static_cast<const CheckEvent&>(*event));
        return true;
    }
    if (event->type() == CycleEvents::clientDone() || event->type() == CycleEvents::clientFailed()) {
        onQueryDone();
        return true;
    }
    if (event->type() == CycleEvents::report()) {
        const auto& report = static_cast<const ReportEvent&>(*event);
        reportDue(static_cast<Business::Time>(report.from), static_cast<Business::Time>(report.till));
        return true;
    }
    return QObject::event(event);
}

void CheckCycle::onCheck(const CheckEvent& check) {
    // Copied as 32-bit values like the cycle always kept them.
    const Business::Time from = static_cast<quint32>(check.from);
    const Business::Time till = static_cast<quint32>(check.till);
    if (editing_ || querying_ || Business::Application::controllers.empty()) {
        if (querying_ && !editing_)
            DiagnosticLog::write("event(): received, but previous event is not processed yet, skip:\n");
        // The check is dropped, its report is not: the scheduler has already moved on from it.
        if (check.shouldEmail)
            reportDue(from, till);
        return;
    }
    querying_ = true;
    emit queryingStarted();
    if (check.shouldEmail)
        dueReports_.emplace_back(from, till);
    if (queryTarget_)
        QCoreApplication::postEvent(queryTarget_, new CheckEvent(check.shouldEmail, check.from, check.till));
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
    if (!querying_)
        runDueReports();
}

void CheckCycle::runDueReports() {
    // Taken off the list before it runs: a report run may spin the event loop and come back here.
    while (!querying_ && !dueReports_.empty()) {
        const auto [from, till] = dueReports_.front();
        dueReports_.pop_front();
        runReport(from, till);
    }
}

void CheckCycle::runReport(Business::Time from, Business::Time till) {
    if (reportRun_)
        reportRun_(from, till);
}

Business::Time CheckCycle::latestCheck() {
    Business::Time latest = 0;
    for (const Business::Controller& controller : Business::Application::controllers)
        latest = std::max(latest, controller.lastCheck);
    return latest;
}

} // namespace Warden
