#include "CheckCycle.h"

#include "Application.h"
#include "CycleEvents.h"
#include "DiagnosticLog.h"

#include <QCoreApplication>

namespace Warden {

CheckCycle::CheckCycle(QObject* parent) : QObject(parent) {}

bool CheckCycle::event(QEvent* event) {
    if (event->type() == CycleEvents::check()) {
        onCheck(static_cast<const CheckEvent&>(*event));
        return true;
    }
    if (event->type() == CycleEvents::clientDone() || event->type() == CycleEvents::clientFailed()) {
        onQueryDone();
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
        if (reportRun_)
            reportRun_(reportFrom_, reportTill_);
    }
}

} // namespace Warden
