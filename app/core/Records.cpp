#include "Records.h"

#include "Application.h"
#include "Clock.h"
#include "ClockText.h"
#include "DiagnosticLog.h"

#include <algorithm>
#include <atomic>

namespace Warden::Business {

Controller::Controller(QByteArray controllerName, qint32 model, QByteArray address, quint16 httpPort,
                       QByteArray adminName, QByteArray adminPassword)
    : name(std::move(controllerName))
    , type(model)
    , host(std::move(address))
    , port(httpPort)
    , admin(std::move(adminName))
    , password(std::move(adminPassword)) {
}

ControllerId Controller::newId() {
    static std::atomic<ControllerId> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

QByteArray Controller::displayName() const {
    const QByteArray model = Application::modelName(type);
    QByteArray text;
    text.reserve(name.size() + model.size() + host.size() + 12);
    text.append(name).append(" : ").append(model).append(" @ ").append(host);
    if (port != 0)
        text.append(':').append(QByteArray::number(port));
    return text;
}

void Controller::check(Time t) {
    if (lastCheck >= t)
        DiagnosticLog::write("Controller::check() error: new check time " + clockText(t) +
                             " is earlier than previous checking " + clockText(lastCheck) + "\n");
    lastCheck = t;
}

void Controller::log() {
    if (lastLog >= lastCheck)
        DiagnosticLog::write("Controller::log() error: new log time " + clockText(lastCheck) +
                             " is earlier than previous logging " + clockText(lastLog) + "\n");
    lastLog = lastCheck;
}

void Controller::report() {
    if (lastReport >= lastCheck)
        DiagnosticLog::write("Controller::report() error: new report time " + clockText(lastCheck) +
                             " is earlier than previous logging " + clockText(lastReport) + "\n");
    // No check since the start or the last edit: the report listed every event the controller has,
    // so they count as reported up to now. Taking 0 would keep a controller whose clock never reads
    // from ever giving up an event.
    lastReport = lastCheck == 0 ? std::max(lastReport, Clock::now()) : lastCheck;
}

quint32 ReportSettings::checkPeriod() const {
    const quint32 period = checkEveryUnit * checkEveryUnits;
    return period > maxCheckPeriod ? maxCheckPeriod : period;
}

quint32 ReportSettings::reportPeriod() const {
    const quint32 period = reportEveryUnit * reportEveryUnits;
    return period > monthPeriod ? monthPeriod : period;
}

} // namespace Warden::Business
