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

namespace {

QByteArray quoted(const QByteArray& text) {
    return '"' + text + '"';
}

// Every event line names its controller; building the name anew each time was a large share of the
// cost of a line. The fields are compared on every use, so an edited controller gets its new name.
QByteArray cachedDisplayName(const Controller& c) {
    struct Entry {
        QByteArray name;
        QByteArray host;
        qint32 type = 0;
        quint16 port = 0;
        QByteArray display;
    };
    thread_local std::unordered_map<ControllerId, Entry> cache;
    Entry& e = cache[c.id];
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

Application::Application(QObject* parent)
    : QObject(parent)
    , dailyLog_(std::make_unique<DailyLog>())
    , snapshot_(std::make_unique<SnapshotWriter>([this](QIODevice& device) { return writeSnapshot(device); })) {
    events.setLineWriter([this](const Event& event) { return eventLine(event); });
}

Application::~Application() {
    shutdown();
}

// False once a write falls short: a file limit or a full disk can take part of a write without an
// error.
bool Application::writeSnapshot(QIODevice& device) const {
    QByteArray chunk;
    chunk.reserve(1 << 17);
    for (const auto& [key, event] : events.events()) {
        appendEventLine(chunk, event);
        chunk += '\n';
        if (chunk.size() > (1 << 16)) {
            if (device.write(chunk) != chunk.size())
                return false;
            chunk.truncate(0);
        }
    }
    return device.write(chunk) == chunk.size();
}

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

Controller* Application::controller(ControllerId id) {
    // Every event added looks its owner up: an index, rebuilt when the list has changed size (records
    // are added to the list directly too), keeps that from walking ten thousand controllers each time.
    if (index_.size() != controllers.size()) {
        index_.clear();
        for (Controller& c : controllers)
            index_.emplace(c.id, &c);
    }
    const auto it = index_.find(id);
    return it == index_.end() ? nullptr : it->second;
}

const Controller* Application::controller(ControllerId id) const {
    return const_cast<Application*>(this)->controller(id);
}

void Application::addEvent(const QByteArray& messageId, Time time, ControllerId owner, EventKind kind,
                           Transport transport, const QByteArray& reason, const QByteArray& raw) {
    if (!controller(owner)) {
        DiagnosticLog::write("Application::addEvent(): error: controller " +
                             (owner ? QByteArray::number(owner) : QByteArray()) + " not found\n");
        return;
    }
    auto it = events.insert(Event{messageId, time, kind, transport, reason, raw, owner});
    MetricsRegistry::instance().countEvent(kind, transport);
    // Every event reaches the daily log once: log rows are taken only past the last check, so none
    // comes twice, while readings and syslog datagrams carry this host's time. Measured against the
    // controller's clock (lastLog), they were left out whenever that clock ran ahead of ours.
    dailyLog_->append(time, eventLine(it->second).append('\n'));
    // The prune may take the new event itself (an old row of a reported period).
    const Event added = it->second;
    events.pruneAfterAdd(it->first);
    snapshot_->markDirty();
    emit eventAdded(added);
}

Application::EventBatch::EventBatch(Application& app)
    : app_(app) {
    app_.dailyLog_->hold();
}

Application::EventBatch::~EventBatch() {
    app_.dailyLog_->release();
}

void Application::restoreEvents(std::deque<Event> restored) {
    if (restored.empty())
        return;
    for (Event& event : restored) {
        if (controller(event.owner))
            events.insert(std::move(event));
    }
    prune();
}

void Application::prune() {
    events.prune();
    snapshot_->markDirty();
}

QByteArray Application::getControllerName(const Event& event) const {
    if (const Controller* owner = event.owner ? controller(event.owner) : nullptr)
        return cachedDisplayName(*owner);
    const qint64 position = events.position(&event);
    DiagnosticLog::write("Application::getControllerName(): error: there are no controller for event #" +
                         (position < 0 ? QByteArray("(no number)") : QByteArray::number(position)) + " " +
                         eventDescription(event) + "\n");
    return "(no controller)";
}

void Application::markReported(Controller& c) {
    c.report();
    events.setReportTime(c.id, c.lastReport);
    stateFile.marksChanged();
}

void Application::setReportTime(Controller& c, Time lastReport) {
    c.lastReport = lastReport;
    events.setReportTime(c.id, lastReport);
}

Controller& Application::addControllerRecord(Controller record) {
    Controller& added = controllers.emplace_back(std::move(record));
    events.setReportTime(added.id, added.lastReport);
    emit controllerAdded(added.id);
    return added;
}

void Application::controllerEdited(Controller& c) {
    events.setReportTime(c.id, c.lastReport);
    stateFile.marksChanged();
    emit controllerChanged(c.id);
}

void Application::removeControllerRecord(ControllerId id) {
    events.dropOwner(id);
    controllers.remove_if([id](const Controller& c) { return c.id == id; });
    index_.clear();
    snapshot_->markDirty();
    stateFile.marksChanged();
    emit controllerRemoved(id);
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

void Application::appendEventLine(QByteArray& out, const Event& event) const {
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

QByteArray Application::eventLine(const Event& event) const {
    QByteArray line;
    appendEventLine(line, event);
    return line;
}

QList<QByteArray> Application::eventRow(const Event& event) const {
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
    snapshot_->flush();
}

void Application::setSnapshotDelay(int milliseconds) {
    snapshot_->setDelay(milliseconds);
}

void Application::shutdown() {
    snapshot_->flush();
    stateFile.flush();
    dailyLog_->close();
}

} // namespace Warden::Business
