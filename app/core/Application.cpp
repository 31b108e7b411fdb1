#include "Application.h"

#include "ClockText.h"
#include "DiagnosticLog.h"
#include "EventFiles.h"
#include "LogText.h"
#include "MetricsRegistry.h"
#include "StateFile.h"

#include <QDebug>

#include <algorithm>
#include <unordered_map>

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

// False once a write falls short: a file limit or a full disk can take part of a write without an
// error.
bool writeSnapshot(QIODevice& device) {
    QByteArray chunk;
    chunk.reserve(1 << 17);
    for (const auto& [key, event] : Application::events.events()) {
        Application::appendEventLine(chunk, event);
        chunk += '\n';
        if (chunk.size() > (1 << 16)) {
            if (device.write(chunk) != chunk.size())
                return false;
            chunk.truncate(0);
        }
    }
    return device.write(chunk) == chunk.size();
}

Application::EventListener& eventListener() {
    static Application::EventListener listener;
    return listener;
}

SnapshotWriter& snapshot() {
    static SnapshotWriter writer(&writeSnapshot);
    return writer;
}

QByteArray quoted(const QByteArray& text) {
    return '"' + text + '"';
}

// Every event line names its controller; building the name anew each time was a large share of the
// cost of a line. The fields are compared on every use, so a changed controller (or a new one at the
// address of a removed one) gets its own name.
QByteArray cachedDisplayName(const Controller& c) {
    struct Entry {
        QByteArray name;
        QByteArray host;
        qint32 type = 0;
        quint16 port = 0;
        QByteArray display;
    };
    thread_local std::unordered_map<const Controller*, Entry> cache;
    Entry& e = cache[&c];
    if (e.display.isEmpty() || e.type != c.type || e.port != c.port || e.name != c.name || e.host != c.host) {
        if (cache.size() > 4096) { // removed controllers: start over rather than grow
            cache.clear();
            return cachedDisplayName(c);
        }
        e = Entry{c.name, c.host, c.type, c.port, c.displayName()};
    }
    return e.display;
}

} // namespace

const std::map<qint32, QByteArray>& Application::modelNames() {
    static const std::map<qint32, QByteArray> table{
        {0, "Kestrel 2"}, {1, "Kestrel 2 Display"}, {2, "Heron"},
        {3, "Osprey 2"},  {4, "Osprey 3"},          {5, "Plover"},
        {6, "Wren"},
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

bool Application::hasTwoBuses(qint32 type) {
    return modelName(type).startsWith("Kestrel");
}

Controller* Application::controllerAt(int position) {
    if (position < 0 || position >= controllerCount())
        return nullptr;
    return &*std::next(controllers.begin(), position);
}

bool Application::isConfigured(const Controller* controller) {
    // A controller that owns events is in the list: removal drops its owner index.
    if (!events.ownedBy(controller).empty())
        return true;
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
    MetricsRegistry::instance().countEvent(kind, transport);
    // Every event reaches the daily log once: log rows are taken only past the last check, so none
    // comes twice, while readings and syslog datagrams carry this host's time. Measured against the
    // controller's clock (lastLog), they were left out whenever that clock ran ahead of ours.
    dailyLog().append(time, eventLine(it->second).append('\n'));
    // The prune may take the new event itself (an old row of a reported period).
    const Event added = eventListener() ? it->second : Event{};
    events.pruneAfterAdd(it->first);
    snapshot().markDirty();
    if (eventListener())
        eventListener()(added);
}

Application::EventBatch::EventBatch() {
    dailyLog().hold();
}

Application::EventBatch::~EventBatch() {
    dailyLog().release();
}

void Application::setEventListener(EventListener listener) {
    eventListener() = std::move(listener);
}

void Application::restoreEvents(std::deque<Event> restored) {
    if (restored.empty())
        return;
    for (Event& event : restored) {
        if (isConfigured(event.owner))
            events.insert(std::move(event));
    }
    prune();
}

void Application::prune() {
    events.prune();
    snapshot().markDirty();
}

QByteArray Application::getControllerName(const Event& event) {
    if (event.owner)
        return cachedDisplayName(*event.owner);
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
    DiagnosticLog::writeAndDebug(
        "Application::getControllerLastLog(): error: there are no controller for event\n");
    return 0;
}

void Application::removeControllerRecord(Controller* controller) {
    events.dropOwner(controller);
    controllers.remove_if([controller](const Controller& c) { return &c == controller; });
    snapshot().markDirty();
}

QByteArray Application::eventDescription(const Event& event) {
    QByteArray out;
    appendLogText(out, event.messageId);
    out.append(' ').append(quoted(clockText(event.time))).append(' ').append(eventKindName(event.kind));
    out.append(' ').append(transportName(event.transport)).append(" \"");
    appendLogText(out, event.reason);
    out.append("\" ");
    appendLogText(out, event.raw);
    return out;
}

void Application::appendEventLine(QByteArray& out, const Event& event) {
    // Written straight into the caller's buffer: every new event and every snapshot line goes through
    // here. The texts a controller sent are escaped so that each event stays one line of the files;
    // the store keeps them as they came.
    const QByteArray when = clockText(event.time);
    const QByteArray owner = getControllerName(event);
    out.reserve(out.size() + event.messageId.size() + when.size() + owner.size() + event.reason.size() +
                event.raw.size() + 40);
    appendLogText(out, event.messageId);
    out.append(" \"").append(when).append("\" \"").append(owner).append("\" ");
    out.append(eventKindName(event.kind)).append(' ').append(transportName(event.transport)).append(" \"");
    appendLogText(out, event.reason);
    out.append("\" ");
    appendLogText(out, event.raw);
}

QByteArray Application::eventLine(const Event& event) {
    QByteArray line;
    appendEventLine(line, event);
    return line;
}

QList<QByteArray> Application::eventRow(const Event& event) {
    return {event.messageId,
            clockText(event.time),
            getControllerName(event),
            eventKindName(event.kind),
            event.reason,
            event.raw,
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
    return "log/" + year + '/' + month + '/' + year + '_' + month + '_' + QByteArray::number(tm->tm_mday) +
           ".log";
}

void Application::flushSnapshot() {
    snapshot().flush();
}

void Application::setSnapshotDelay(int milliseconds) {
    snapshot().setDelay(milliseconds);
}

void Application::shutdown() {
    snapshot().flush();
    StateFile::flush();
    dailyLog().close();
}

void Application::reset() {
    eventListener() = nullptr;
    StateFile::reset();
    events.clear();
    mailAccounts.clear();
    mailServers.clear();
    controllers.clear();
    report = ReportSettings{};
    configFileName = "Ampwarden.xml";
    snapshot().flush();
    snapshot().reset();
    dailyLog().close();
}

} // namespace Warden::Business
