#pragma once

#include "core/Event.h"

#include <QByteArray>

#include <map>

namespace Warden::Business {

class EventStore;

// The load readings of one channel: time -> watts, oldest first. Readings of the same second are all
// kept.
using Transitions = std::multimap<Time, double>;

// kWh of the two power buses of one controller, channel A first.
struct ChannelEnergies {
    double a = 0;
    double b = 0;

    double total() const { return a + b; }
};

// Channel of a load reading: 0 when its text names "channel A" anywhere, otherwise 1 (B).
int readingChannel(const Event& reading);
// Watts of a load reading: the number after the last ",", 0 when there is none.
double readingWatts(const Event& reading);

// Energy of both channels of `controller` over [from, till], with each reading's power held until the
// next newer reading of its channel and the oldest reading carried back to `from`. Reads only the
// controller's own readings near the window, so the cost follows the window, not the store.
ChannelEnergies getEnergy(const EventStore& store, const Controller& controller, Time from, Time till);

// The second way to the same energy, kept to hold getEnergy() against: the readings of `controller`
// on `channel` (0 = A, 1 = B) that the load over [from, till] depends on, every reading from the
// newest down to the one in force at `from`. (The name is the one it has always had.)
Transitions isUnderOverCurrent(const Controller& controller, Time from, Time till, const EventStore& store,
                               int channel);

// Integrates `transitions` over [from, till] into `kWh` (0 when the map is empty) and returns the
// one-line trace of the calculation.
QByteArray getTransitions(const Transitions& transitions, Time from, Time till, double& kWh);

// Two energy computations round differently; they agree when |value - reference| / reference stays
// within 1e-12 (reference 0 counts as 1).
bool energiesDiffer(double value, double reference);

} // namespace Warden::Business
