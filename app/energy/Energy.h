#pragma once

#include "core/Event.h"

#include <QByteArray>

namespace Warden::Business {

class EventStore;

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

// Integrates `transitions` over [from, till] into `kWh` (0 when the map is empty) and returns the
// one-line trace of the calculation.
QByteArray getTransitions(const Transitions& transitions, Time from, Time till, double& kWh);

// The kWh that getTransitions() yields, without building the trace.
double transitionsEnergy(const Transitions& transitions, Time from, Time till);

// The two energy computations round differently; they agree when |value - reference| / reference
// stays within 1e-12 (reference 0 counts as 1).
bool energiesDiffer(double value, double reference);

} // namespace Warden::Business
