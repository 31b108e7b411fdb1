#pragma once

#include "Event.h"
#include "EventStore.h"
#include "Records.h"

#include <QByteArray>
#include <QList>

#include <deque>
#include <functional>
#include <list>
#include <map>

namespace Warden::Business {

// The process-wide state: controllers, mail servers, recipients, report settings and the event store.
// Static members only; it lives until the process ends. Records sit in std::list so their addresses
// stay valid while other records and events point at them.
//
// Thread confinement: every change of this state and every read of the store happens on the main
// thread. The scheduler thread only computes moments and posts them there; mail sends run on a worker
// with copies of what they need. That is why nothing here takes a lock.
class Application {
public:
    static std::list<Controller> controllers;
    static std::list<MailServer> mailServers;
    static std::list<MailAccount> mailAccounts;
    static ReportSettings report;
    static EventStore events;
    static QByteArray configFileName;

    // Fixed tables.
    static const std::map<qint32, QByteArray>& modelNames();
    static const std::map<quint32, QByteArray>& unitNames();
    static QByteArray modelName(qint32 type); // empty outside the table
    static bool hasTwoBuses(qint32 type);     // the "Kestrel" models

    // Controllers by their 0-based position in list order; null outside the list.
    static int controllerCount() { return static_cast<int>(controllers.size()); }
    static Controller* controllerAt(int position);
    static bool isConfigured(const Controller* controller);

    // The event store.
    static void addEvent(const QByteArray& messageId, Time time, Controller* controller, EventKind kind,
                         Transport transport, const QByteArray& reason, const QByteArray& raw);
    static void prune();
    // Puts events that were stored before, by an earlier run, back into the store, in the order they
    // were added then: they reach neither the daily log nor the event listener again.
    static void restoreEvents(std::deque<Event> events);
    // Hears every event that addEvent() takes, once it is stored; one listener, empty for none.
    using EventListener = std::function<void(const Event&)>;
    static void setEventListener(EventListener listener);
    // While one lives, the daily log's lines of the events added go out together when it ends, not
    // one write each: for many events added in one go, such as a batch of syslog datagrams.
    class EventBatch {
    public:
        EventBatch();
        ~EventBatch();
        Q_DISABLE_COPY_MOVE(EventBatch)
    };
    static int getEventCount() { return static_cast<int>(events.size()); }
    static QByteArray getControllerName(const Event& event);
    static Time getControllerLastReport(const Event& event);
    static Time getControllerLastLog(const Event& event);
    // Removes the controller from the list; its events stay without an owner.
    static void removeControllerRecord(Controller* controller);

    static QByteArray eventLine(const Event& event);
    static void appendEventLine(QByteArray& out, const Event& event);
    static QByteArray eventDescription(const Event& event);
    static QList<QByteArray> eventRow(const Event& event);
    // log/YYYY/Mon/YYYY_Mon_D.log of the event's local date.
    static QByteArray dailyLogPath(Time time);

    // "AMW.log" follows the store within half a second of the last change; this writes it now.
    static void flushSnapshot();
    // Milliseconds between a change and the rewrite of "AMW.log" (tests shorten it).
    static void setSnapshotDelay(int milliseconds);
    // Flushes the files; called once at shutdown.
    static void shutdown();

    // Back to the initial state (tests): lists emptied, settings and store reset, files closed.
    static void reset();
};

} // namespace Warden::Business
