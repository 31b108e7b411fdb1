#pragma once

#include "Event.h"

#include <functional>
#include <map>
#include <unordered_map>
#include <vector>

namespace Warden::Business {

// Orders events newest first; among events of the same second the one added last comes first.
struct EventKey {
    Time time;
    quint64 sequence;
};

struct NewestFirst {
    bool operator()(const EventKey& a, const EventKey& b) const {
        return a.time != b.time ? a.time > b.time : a.sequence > b.sequence;
    }
};

// The in-memory events, newest first, with a time index per owning controller. Node-based maps keep
// every event at a stable address until it is pruned.
//
// Thread confinement: the store is only ever touched on the main thread (syslog receiver, page
// parsers, report runs, the user interface), so it has no lock.
class EventStore {
public:
    using List = std::map<EventKey, Event, NewestFirst>;
    // An indexed event, read like an Event*; it keeps the event's place in the list, so that pruning
    // a month of events does not search the whole list once for each of them.
    class Ref {
    public:
        explicit Ref(List::iterator position)
            : position_(position) {}
        Event* operator->() const { return &position_->second; }
        Event& operator*() const { return position_->second; }
        operator Event*() const { return &position_->second; } // NOLINT(google-explicit-constructor)
        List::iterator position() const { return position_; }

    private:
        List::iterator position_;
    };
    using OwnerIndex = std::map<EventKey, Ref, NewestFirst>;

    // Hears of every change of the list at once, on the thread that makes it: a view of the store
    // learns which events came and went without walking the whole list again.
    class Watcher {
    public:
        virtual void eventInserted(const EventKey& key) = 0;
        // The event is still in the list while this runs.
        virtual void eventErasing(const EventKey& key) = 0;
        // Events lost their owner (a controller was removed).
        virtual void ownersDropped() = 0;
        virtual void cleared() = 0;

    protected:
        ~Watcher() = default;
    };

    static constexpr std::size_t keep = 20;

    EventStore() = default;
    EventStore(const EventStore&) = delete;
    EventStore& operator=(const EventStore&) = delete;

    List::iterator insert(Event event);

    // Drops the reported events beyond the newest `keep`; returns how many went.
    std::size_t prune();
    // What prune() drops of `controller`'s events once its lastReport is `reportedBefore`, the oldest
    // first and at most `limit` of them. A report run drops them this way, a slice at a time, before it
    // moves lastReport, so that neither the run nor an event added meanwhile has to prune a month of
    // every controller at once.
    std::size_t pruneOwner(ControllerId controller, Time reportedBefore, std::size_t limit);
    // Same result as prune() when only `added` is new since the last prune (an add cannot make any
    // other event prunable except the one it pushes out of the newest `keep`).
    std::size_t pruneAfterAdd(const EventKey& added);
    // `controller`'s lastReport, which decides which of its events count as reported, moved: the next
    // prune looks at all its events again. The store keeps the time, so it needs no records.
    void setReportTime(ControllerId controller, Time lastReport);
    // The controller's events stay, without an owner; its report time goes.
    void dropOwner(ControllerId controller);
    void clear();

    // Watching changes nothing of the store, so a reader with a const store may watch it.
    void addWatcher(Watcher* watcher) const;
    void removeWatcher(Watcher* watcher) const;

    const List& events() const { return events_; }
    // Goes up with every insert, removal and owner change: lets readers keep what they derived from
    // the store for as long as it is the same.
    quint64 changeCount() const { return changes_; }
    std::size_t size() const { return events_.size(); }

    // The events of one controller, newest first; empty when it owns none.
    const OwnerIndex& ownedBy(ControllerId controller) const;
    // Iterators over `controller`'s events with from <= time <= till, newest first.
    std::pair<OwnerIndex::const_iterator, OwnerIndex::const_iterator> between(ControllerId controller,
                                                                              Time from, Time till) const;

    // 0-based position in the newest-first list, or -1. Walks the list: for diagnostics only.
    qint64 position(const Event* event) const;

    // An event's line as the logs have it names its controller, which only the state that holds the
    // store knows: that state sets the writer, and diagnostics that list events use it when set.
    using LineWriter = std::function<QByteArray(const Event&)>;
    void setLineWriter(LineWriter writer) { lineWriter_ = std::move(writer); }
    const LineWriter& lineWriter() const { return lineWriter_; }

private:
    bool isReported(const Event& event) const;
    Time reportTime(ControllerId controller) const;
    void erase(List::iterator it);
    // Adds up to `limit` events of one controller's index from before `reportedBefore` that lie beyond
    // `first`, the oldest of the newest `keep`, to `doomed`, oldest first.
    static void collectPrunable(const OwnerIndex& index, Time reportedBefore, const EventKey& first,
                                std::size_t limit, std::vector<List::iterator>& doomed);
    List::iterator boundary(); // the first event beyond the newest `keep`, or end()

    List events_;
    std::unordered_map<ControllerId, OwnerIndex> owners_;
    std::unordered_map<ControllerId, Time> reportTimes_;
    quint64 nextSequence_ = 0;
    bool fullPruneNeeded_ = false;
    quint64 changes_ = 0;
    LineWriter lineWriter_;
    mutable std::vector<Watcher*> watchers_;
};

} // namespace Warden::Business
