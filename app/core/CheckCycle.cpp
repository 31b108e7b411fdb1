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
        runReport(static_cast<Business::Time>(report.from), static_cast<Business::Time>(report.till));
        return true;
    }
    return QObject::event(event);
}

void CheckCycle::onCheck(const CheckEvent& check) {
    if (editing_)
        return;
    if (querying_) {
        DiagnosticLog::write("event(): received, but previous event is not processed yet, skip:\n");
        return;
    }
    if (Business::Application::controllers.empty())
        return;
    querying_ = true;
    emit queryingStarted();
    // Copied as 32-bit values like the cycle always kept them.
    reportFrom_ = static_cast<quint32>(check.from);
    reportTill_ = static_cast<quint32>(check.till);
    reportPending_ = check.shouldEmail;
    if (queryTarget_)
        QCoreApplication::postEvent(queryTarget_, new CheckEvent(check.shouldEmail, check.from, check.till));
}

void CheckCycle::onQueryDone() {
    emit queryingFinished();
    querying_ = false;
    if (reportPending_) {
        reportPending_ = false;
        runReport(reportFrom_, reportTill_);
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
