#include "Application.h"

#include "ClockText.h"
#include "DiagnosticLog.h"
#include "EventFiles.h"

#include <QDebug>

#include <algorithm>

namespace Warden::Business {

std::list<Controller> Application::controllers;
std::list<MailServer> Application::mailServers;
std::list<MailAccount> Application::mailAccounts;
ReportSettings Application::report;
EventStore Application::events;
QByteArray Application::configFileName = "Ampwarden.xml";

namespace {

DailyLog& dailyLog() {
    static DailyLog log;
    return log;
}

void writeSnapshot(QIODevice& device) {
    QByteArray chunk;
    for (const auto& [key, event] : Application::events.events()) {
        chunk += Application::eventLine(event);
        chunk += '\n';
        if (chunk.size() > (1 << 16)) {
            device.write(chunk);
            chunk.clear();
        }
    }
    device.write(chunk);
}

SnapshotWriter& snapshot() {
    static SnapshotWriter writer(&writeSnapshot);
    return writer;
}

QByteArray quoted(const QByteArray& text) { return '"' + text + '"'; }

} // namespace

const std::map<qint32, QByteArray>& Application::modelNames() {
    static const std::map<qint32, QByteArray> table{
        {0, "Kestrel 2"}, {1, "Kestrel 2 Display"}, {2, "Heron"}, {3, "Osprey 2"},
        {4, "Osprey 3"},  {5, "Plover"},            {6, "Wren"},
    };
    return table;
}

const std::map<quint32, QByteArray>& Application::unitNames() {
    static const std::map<quint32, QByteArray> table{
        {1, "Second"}, {60, "Minute"}, {3600, "Hour"}, {86400, "Day"}, {604800, "Week"}, {2592000, "Month"},
    };
    return table;
}

QByteArray Application::modelName(qint32 type) {
    const auto& table = modelNames();
    auto it = table.find(type);
    return it == table.end() ? QByteArray() : it->second;
}

bool Application::hasTwoBuses(qint32 type) { return modelName(type).startsWith("Kestrel"); }

Controller* Application::controllerAt(int position) {
    if (position < 0 || position >= controllerCount())
        return nullptr;
    return &*std::next(controllers.begin(), position);
}

bool Application::isConfigured(const Controller* controller) {
    return std::any_of(controllers.begin(), controllers.end(),
                       [controller](const Controller& c) { return &c == controller; });
}

void Application::addEvent(const QByteArray& messageId, Time time, Controller* controller, EventKind kind,
                           Transport transport, const QByteArray& reason, const QByteArray& raw) {
    if (!controller || !isConfigured(controller)) {
        DiagnosticLog::write("Application::addEvent(): error: controller " +
                             (controller ? controller->displayName() : QByteArray()) + " not found\n");
        return;
    }
    auto it = events.insert(Event{messageId, time, kind, transport, reason, raw, controller});
    if (time >= controller->lastLog)
        dailyLog().append(time, eventLine(it->second).append('\n'));
    events.pruneAfterAdd(it->first);
    snapshot().markDirty();
}

void Application::prune() {
    events.prune();
    snapshot().markDirty();
}

QByteArray Application::getControllerName(const Event& event) {
    if (event.owner)
        return event.owner->displayName();
    const qint64 position = events.position(&event);
    DiagnosticLog::write("Application::getControllerName(): error: there are no controller for event #" +
                         (position < 0 ? QByteArray("(no number)") : QByteArray::number(position)) + " " +
                         eventDescription(event) + "\n");
    return "(no controller)";
}

Time Application::getControllerLastReport(const Event& event) {
    if (event.owner)
        return event.owner->lastReport;
    DiagnosticLog::writeAndDebug(
        "Application::getControllerLastReport(): error: there are no controller for event\n");
    return 0;
}

Time Application::getControllerLastLog(const Event& event) {
    if (event.owner)
        return event.owner->lastLog;
    DiagnosticLog::writeAndDebug("Application::getControllerLastLog(): error: there are no controller for event\n");
    return 0;
}

void Application::removeControllerRecord(Controller* controller) {
    events.dropOwner(controller);
    controllers.remove_if([controller](const Controller& c) { return &c == controller; });
    snapshot().markDirty();
}

QByteArray Application::eventDescription(const Event& event) {
    return event.messageId + ' ' + quoted(clockText(event.time)) + ' ' + eventKindName(event.kind) + ' ' +
           transportName(event.transport) + ' ' + quoted(event.reason) + ' ' + event.raw;
}

QByteArray Application::eventLine(const Event& event) {
    // Built in one buffer: every new event and every snapshot line goes through here.
    const QByteArray when = clockText(event.time);
    const QByteArray owner = getControllerName(event);
    QByteArray line;
    line.reserve(event.messageId.size() + when.size() + owner.size() + event.reason.size() + event.raw.size() + 40);
    line.append(event.messageId).append(" \"").append(when).append("\" \"").append(owner).append("\" ");
    line.append(eventKindName(event.kind)).append(' ').append(transportName(event.transport));
    line.append(" \"").append(event.reason).append("\" ").append(event.raw);
    return line;
}

QList<QByteArray> Application::eventRow(const Event& event) {
    return {event.messageId,         clockText(event.time), getControllerName(event),
            eventKindName(event.kind), event.reason,        event.raw,
            transportName(event.transport)};
}

QByteArray Application::dailyLogPath(Time time) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const auto tm = localTime(time);
    if (!tm)
        return {};
    const QByteArray year = QByteArray::number(tm->tm_year + 1900);
    const QByteArray month = months[tm->tm_mon];
    return "log/" + year + '/' + month + '/' + year + '_' + month + '_' + QByteArray::number(tm->tm_mday) + ".log";
}

void Application::flushSnapshot() { snapshot().flush(); }

void Application::setSnapshotDelay(int milliseconds) { snapshot().setDelay(milliseconds); }

void Application::shutdown() {
    snapshot().flush();
    dailyLog().close();
}

void Application::reset() {
    events.clear();
    mailAccounts.clear();
    mailServers.clear();
    controllers.clear();
    report = ReportSettings{};
    configFileName = "Ampwarden.xml";
    snapshot().flush();
    dailyLog().close();
}

} // namespace Warden::Business
