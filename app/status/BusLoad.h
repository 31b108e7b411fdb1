#pragma once

#include "core/Event.h"
#include "core/Records.h"

#include <optional>

namespace Warden {

// How the live views (the Status tab, the metrics endpoint) read a controller's buses: which bus a
// load reading belongs to, what it says, and how it stands against the bus's limits. Bus 0 is A; a
// one-bus model has only bus 0, whatever its readings name.
struct BusLoad {
    double volts = 0;
    double amps = 0;
    double watts = 0;

    // The values of a load reading ("Current loads on channel X: v V, a A, w W"), or nothing when the
    // event is none or its text cannot be read.
    static std::optional<BusLoad> of(const Business::Event& reading);
};

enum class BusLimit { within, over, under };

int busCount(const Business::Controller& controller);
// The bus a reading belongs to, or nothing when the event is no reading.
std::optional<int> readingBus(const Business::Controller& controller, const Business::Event& reading);
// The same for a controller of `buses` buses.
std::optional<int> readingBus(int buses, const Business::Event& reading);
// The limits of a bus, or null when the controller has no settings for it.
const Business::ChannelSettings* busLimits(const Business::Controller& controller, int bus);
// The same comparisons as the alarms the page parser stores; no limits, no alarm.
BusLimit limitState(double amps, const Business::ChannelSettings* limits);

} // namespace Warden
