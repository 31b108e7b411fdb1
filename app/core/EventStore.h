#pragma once

#include "Event.h"

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
    std::size_t pruneOwner(const Controller* controller, Time reportedBefore, std::size_t limit);
    // Same result as prune() when only `added` is new since the last prune (an add cannot make any
    // other event prunable except the one it pushes out of the newest `keep`).
    std::size_t pruneAfterAdd(const EventKey& added);
    // A controller's lastReport moved: the next prune has to look at all its events again.
    void reportTimeChanged() { fullPruneNeeded_ = true; }

    void dropOwner(const Controller* controller);
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
    const OwnerIndex& ownedBy(const Controller* controller) const;
    // Iterators over `controller`'s events with from <= time <= till, newest first.
    std::pair<OwnerIndex::const_iterator, OwnerIndex::const_iterator> between(const Controller* controller,
                                                                              Time from, Time till) const;

    // 0-based position in the newest-first list, or -1. Walks the list: for diagnostics only.
    qint64 position(const Event* event) const;

private:
    static bool isReported(const Event& event) { return event.owner && event.time < event.owner->lastReport; }
    void erase(List::iterator it);
    // Adds up to `limit` events of one controller's index from before `reportedBefore` that lie beyond
    // `first`, the oldest of the newest `keep`, to `doomed`, oldest first.
    static void collectPrunable(const OwnerIndex& index, Time reportedBefore, const EventKey& first,
                                std::size_t limit, std::vector<List::iterator>& doomed);
    List::iterator boundary(); // the first event beyond the newest `keep`, or end()

    List events_;
    std::unordered_map<const Controller*, OwnerIndex> owners_;
    quint64 nextSequence_ = 0;
    bool fullPruneNeeded_ = false;
    quint64 changes_ = 0;
    mutable std::vector<Watcher*> watchers_;
};

} // namespace Warden::Business
