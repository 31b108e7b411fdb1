#pragma once

#include "core/Event.h"

namespace Warden::Business {

// The readings of one channel that decide the load over [from, till]: the one in force at `from`,
// those inside, and the first one after `till`. Integrates to the same kWh as the full
// Event::isUnderOverCurrent() map, which also holds every newer reading, and costs only the window.
Transitions windowTransitions(const Controller& controller, Time from, Time till, const EventStore& store,
                              int channel);

// Adds a reading met while walking the store newest first. Among readings of one second the one added
// to the store last has to sort last, so that it holds on after that second as it does for
// getEnergy().
inline void addOlderReading(Transitions& transitions, Time time, double watts) {
    transitions.emplace_hint(transitions.begin(), time, watts);
}

} // namespace Warden::Business
