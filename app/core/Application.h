#pragma once

#include "Event.h"
#include "EventStore.h"
#include "Records.h"
#include "StateFile.h"

#include <QByteArray>
#include <QList>
#include <QObject>

#include <deque>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>

namespace Warden::Business {

class DailyLog;
class SnapshotWriter;

// The state of one running program: controllers, mail servers, recipients, report settings and the
// event store, with the files that follow them ("AMW.log", the daily logs, "Ampwarden.state"). Whoever
// needs it is given it; whoever follows it listens to its signals. Records sit in std::list so their
// addresses stay valid while a turn of the event loop works on them; work that outlives a turn
// refers to a controller by its id.
//
// Thread confinement: every change of this state and every read of the store happens on the thread
// that owns it (the main thread). The scheduler thread only computes moments and posts them there;
// mail sends and report composition run with copies of what they need. That is why nothing here takes
// a lock.
class Application final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Application)

public:
    explicit Application(QObject* parent = nullptr);
    // Writes what is pending ("AMW.log", "Ampwarden.state") and closes the daily log.
    ~Application() override;

    // Added to directly or through addControllerRecord; removed only through removeControllerRecord,
    // which tells the event store and the listeners.
    std::list<Controller> controllers;
    std::list<MailServer> mailServers;
    std::list<MailAccount> mailAccounts;
    ReportSettings report;
    EventStore events;
    QByteArray configFileName = "Ampwarden.xml";
    // What the settings operations keep between calls: whether the file may be written, the file as
    // it was read when it was not read to its end, and the mail server record of each MTA id read.
    struct SettingsBook {
        bool savingEnabled = false;
        bool keepOriginalDue = false;
        std::optional<QByteArray> original; // empty: the file existed but could not be read
        std::map<QByteArray, MailServer*> serverKeys;
    } settingsBook;
    StateFile stateFile{*this};

    // Fixed tables.
    static const std::map<qint32, QByteArray>& modelNames();
    static const std::map<quint32, QByteArray>& unitNames();
    static QByteArray modelName(qint32 type); // empty outside the table
    static bool hasTwoBuses(qint32 type);     // the "Kestrel" models

    // Controllers by their 0-based position in list order; null outside the list.
    int controllerCount() const { return static_cast<int>(controllers.size()); }
    Controller* controllerAt(int position);
    // Null once it has been removed.
    Controller* controller(ControllerId id);
    const Controller* controller(ControllerId id) const;

    // The event store.
    void addEvent(const QByteArray& messageId, Time time, ControllerId owner, EventKind kind,
                  Transport transport, const QByteArray& reason, const QByteArray& raw);
    void prune();
    // Puts events that were stored before, by an earlier run, back into the store, in the order they
    // were added then: they reach neither the daily log nor eventAdded again.
    void restoreEvents(std::deque<Event> events);
    // While one lives, the daily log's lines of the events added go out together when it ends, not
    // one write each: for many events added in one go, such as a batch of syslog datagrams.
    class EventBatch {
    public:
        explicit EventBatch(Application& app);
        ~EventBatch();
        Q_DISABLE_COPY_MOVE(EventBatch)

    private:
        Application& app_;
    };
    int getEventCount() const { return static_cast<int>(events.size()); }
    QByteArray getControllerName(const Event& event) const;

    // The report times: the controller's lastReport moves (Controller::report) and the store's pruning
    // and the state file follow.
    void markReported(Controller& controller);
    void setReportTime(Controller& controller, Time lastReport);

    // Changes of the records, made by the settings operations; each tells the listeners.
    Controller& addControllerRecord(Controller record);
    void controllerEdited(Controller& controller);
    // Removes the controller from the list; its events stay without an owner.
    void removeControllerRecord(ControllerId id);
    void reportSettingsChanged() { emit settingsChanged(); }
    void mailAccountsEdited() { emit mailAccountsChanged(); }

    QByteArray eventLine(const Event& event) const;
    void appendEventLine(QByteArray& out, const Event& event) const;
    static QByteArray eventDescription(const Event& event);
    QList<QByteArray> eventRow(const Event& event) const;
    // log/YYYY/Mon/YYYY_Mon_D.log of the event's local date.
    static QByteArray dailyLogPath(Time time);

    // "AMW.log" follows the store within half a second of the last change; this writes it now.
    void flushSnapshot();
    // Milliseconds between a change and the rewrite of "AMW.log" (tests shorten it).
    void setSnapshotDelay(int milliseconds);
    // Writes what is pending now and closes the daily log; the destructor does it too.
    void shutdown();

signals:
    void controllerAdded(Warden::Business::ControllerId id);
    // Any field of the record: name, model, address, credentials, channels.
    void controllerChanged(Warden::Business::ControllerId id);
    void controllerRemoved(Warden::Business::ControllerId id);
    // The report settings (periods, flags, price, alerts, metrics address).
    void settingsChanged();
    void mailAccountsChanged();
    // Every event that addEvent() takes, once it is stored.
    void eventAdded(const Warden::Business::Event& event);

private:
    bool writeSnapshot(QIODevice& device) const;

    std::unique_ptr<DailyLog> dailyLog_;
    std::unique_ptr<SnapshotWriter> snapshot_;
    std::unordered_map<ControllerId, Controller*> index_;
};

} // namespace Warden::Business
