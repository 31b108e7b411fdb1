#include "Transitions.h"

#include "Energy.h"
#include "EnergyLog.h"
#include "core/Application.h"
#include "core/ClockText.h"

#include <limits>

namespace Warden::Business {

namespace {

bool isReadingOf(const Event& event, int channel) {
    return event.kind == EventKind::values && readingChannel(event) == channel;
}

// The newest of `controller`'s events not after `till`.
EventStore::OwnerIndex::const_iterator notAfter(const EventStore::OwnerIndex& index, Time till) {
    return index.lower_bound(EventKey{till, std::numeric_limits<quint64>::max()});
}

// Walks down from `it`, adding the channel's readings until the one in force at `from`.
void addDownTo(Transitions& transitions, EventStore::OwnerIndex::const_iterator it,
               EventStore::OwnerIndex::const_iterator end, Time from, int channel) {
    for (; it != end; ++it) {
        const Event& event = *it->second;
        if (!isReadingOf(event, channel))
            continue;
        addOlderReading(transitions, event.time, readingWatts(event));
        if (event.time < from)
            break;
    }
}

} // namespace

Transitions Event::isUnderOverCurrent(const Controller& controller, Time from, Time till,
                                      const EventStore& store, int channel) {
    const EventStore::OwnerIndex& index = store.ownedBy(&controller);
    Transitions transitions;
    addDownTo(transitions, index.begin(), index.end(), from, channel);
    if (!transitions.empty())
        return transitions;

    qCDebug(lcEnergy).noquote() << "Event::isUnderOverCurrent(): there are no sufficient events from " +
                                       QString::fromUtf8(clockText(from)) + " till " +
                                       QString::fromUtf8(clockText(till)) + " of:";
    // Lists every reading of every controller: only worth the walk when someone reads it.
    if (lcEnergyTrace().isDebugEnabled()) {
        for (const auto& [key, event] : store.events()) {
            if (event.kind == EventKind::values)
                qCDebug(lcEnergyTrace).noquote() << QString::fromUtf8(Application::eventLine(event));
        }
    }
    return transitions;
}

Transitions windowTransitions(const Controller& controller, Time from, Time till, const EventStore& store,
                              int channel) {
    const EventStore::OwnerIndex& index = store.ownedBy(&controller);
    Transitions transitions;
    const auto inWindow = notAfter(index, till);
    // The first reading after `till` only matters when none lies at or before it, but it is found in
    // a step or two while the walk down can be long, so it is always taken.
    for (auto it = inWindow; it != index.begin();) {
        --it;
        if (isReadingOf(*it->second, channel)) {
            addOlderReading(transitions, it->second->time, readingWatts(*it->second));
            break;
        }
    }
    addDownTo(transitions, inWindow, index.end(), from, channel);
    return transitions;
}

} // namespace Warden::Business
