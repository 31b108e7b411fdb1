#include "EventStore.h"

#include <iterator>
#include <limits>
#include <vector>

namespace Warden::Business {

EventStore::List::iterator EventStore::insert(Event event) {
    const EventKey key{event.time, nextSequence_++};
    ++changes_;
    const ControllerId owner = event.owner;
    auto it = events_.emplace_hint(events_.begin(), key, std::move(event));
    if (owner) {
        // New events are nearly always the owner's newest too.
        OwnerIndex& index = owners_[owner];
        index.emplace_hint(index.begin(), key, Ref(it));
    }
    for (Watcher* watcher : watchers_)
        watcher->eventInserted(key);
    return it;
}

EventStore::List::iterator EventStore::boundary() {
    if (events_.size() <= keep)
        return events_.end();
    return std::next(events_.begin(), keep);
}

void EventStore::erase(List::iterator it) {
    ++changes_;
    for (Watcher* watcher : watchers_)
        watcher->eventErasing(it->first);
    if (const ControllerId owner = it->second.owner) {
        auto index = owners_.find(owner);
        if (index != owners_.end()) {
            index->second.erase(it->first);
            if (index->second.empty())
                owners_.erase(index);
        }
    }
    events_.erase(it);
}

void EventStore::collectPrunable(const OwnerIndex& index, Time reportedBefore, const EventKey& first,
                                 std::size_t limit, std::vector<List::iterator>& doomed) {
    const NewestFirst newer;
    std::size_t found = 0;
    // Oldest first, and only while the events are older than the controller's last report.
    for (auto it = index.rbegin(); it != index.rend() && it->second->time < reportedBefore && found < limit;
         ++it) {
        if (!newer(it->first, first)) {
            doomed.push_back(it->second.position());
            ++found;
        }
    }
}

std::size_t EventStore::prune() {
    fullPruneNeeded_ = false;
    auto limit = boundary();
    if (limit == events_.end())
        return 0;
    std::vector<List::iterator> doomed;
    for (const auto& [controller, index] : owners_)
        collectPrunable(index, reportTime(controller), limit->first, std::numeric_limits<std::size_t>::max(),
                        doomed);
    for (const List::iterator& it : doomed)
        erase(it);
    return doomed.size();
}

std::size_t EventStore::pruneOwner(ControllerId controller, Time reportedBefore, std::size_t limit) {
    const auto first = boundary();
    const auto index = owners_.find(controller);
    if (first == events_.end() || index == owners_.end())
        return 0;
    std::vector<List::iterator> doomed;
    collectPrunable(index->second, reportedBefore, first->first, limit, doomed);
    for (const List::iterator& it : doomed)
        erase(it);
    return doomed.size();
}

std::size_t EventStore::pruneAfterAdd(const EventKey& added) {
    if (fullPruneNeeded_)
        return prune();
    auto limit = boundary();
    if (limit == events_.end())
        return 0;
    // Either the new event itself lies beyond the newest `keep`, or it pushed one out to there.
    auto candidate = NewestFirst{}(limit->first, added) ? events_.find(added) : limit;
    if (candidate != events_.end() && isReported(candidate->second)) {
        erase(candidate);
        return 1;
    }
    return 0;
}

void EventStore::setReportTime(ControllerId controller, Time lastReport) {
    reportTimes_[controller] = lastReport;
    fullPruneNeeded_ = true;
}

Time EventStore::reportTime(ControllerId controller) const {
    const auto it = reportTimes_.find(controller);
    return it == reportTimes_.end() ? 0 : it->second;
}

bool EventStore::isReported(const Event& event) const {
    return event.owner != 0 && event.time < reportTime(event.owner);
}

void EventStore::dropOwner(ControllerId controller) {
    ++changes_;
    reportTimes_.erase(controller);
    auto index = owners_.find(controller);
    if (index == owners_.end())
        return;
    for (auto& [key, event] : index->second)
        event->owner = 0;
    owners_.erase(index);
    for (Watcher* watcher : watchers_)
        watcher->ownersDropped();
}

void EventStore::clear() {
    ++changes_;
    events_.clear();
    owners_.clear();
    reportTimes_.clear();
    fullPruneNeeded_ = false;
    for (Watcher* watcher : watchers_)
        watcher->cleared();
}

void EventStore::addWatcher(Watcher* watcher) const {
    watchers_.push_back(watcher);
}

void EventStore::removeWatcher(Watcher* watcher) const {
    std::erase(watchers_, watcher);
}

const EventStore::OwnerIndex& EventStore::ownedBy(ControllerId controller) const {
    static const OwnerIndex none;
    auto index = owners_.find(controller);
    return index == owners_.end() ? none : index->second;
}

std::pair<EventStore::OwnerIndex::const_iterator, EventStore::OwnerIndex::const_iterator>
EventStore::between(ControllerId controller, Time from, Time till) const {
    const OwnerIndex& index = ownedBy(controller);
    if (from > till)
        return {index.end(), index.end()};
    // Newest first: the range starts at the newest event not after `till` and ends before the
    // first event earlier than `from`.
    auto begin = index.lower_bound(EventKey{till, std::numeric_limits<quint64>::max()});
    auto end = index.lower_bound(EventKey{from - 1, std::numeric_limits<quint64>::max()});
    return {begin, end};
}

qint64 EventStore::position(const Event* event) const {
    qint64 n = 0;
    for (const auto& [key, stored] : events_) {
        if (&stored == event)
            return n;
        ++n;
    }
    return -1;
}

} // namespace Warden::Business
