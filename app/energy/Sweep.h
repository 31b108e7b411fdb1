#pragma once

// The energy calculation as a template over the sequence it reads, so that the store's index and a
// copied window of readings give the same doubles, term by term.
#include "Energy.h"

#include <algorithm>
#include <optional>

namespace Warden::Business {

constexpr double joulesPerKWh = 3600000;
// "No reading yet" in a time variable.
constexpr Time noReading = 2147483647;

struct Reading {
    Time time = 0;
    int channel = 0;
    double watts = 0;
};

inline std::optional<Reading> readingOf(const Event& event) {
    if (event.kind != EventKind::values)
        return std::nullopt;
    return Reading{event.time, readingChannel(event), readingWatts(event)};
}

// Energy over [from, till] from readings newest first. `inWindow` is the first one not after `till`;
// [begin, inWindow) are the newer ones. `read` gives the reading at an iterator, if it is one.
template <typename Iterator, typename Read>
ChannelEnergies sweepEnergy(Iterator begin, Iterator inWindow, Iterator end, Time from, Time till,
                            Read read) {
    struct ChannelSweep {
        double joules = 0;
        double lastWatts = 0;
        Time previous = noReading;
    };
    ChannelSweep sweeps[2];

    // Readings after `till` only end the interval of the next older one at `till`, which an open
    // interval does as well; the walk therefore starts at `till`. It ends once both channels have met
    // the reading in force at `from`: older ones add nothing.
    int open = 2;
    for (auto it = inWindow; it != end && open > 0; ++it) {
        const std::optional<Reading> reading = read(it);
        if (!reading)
            continue;
        ChannelSweep& sweep = sweeps[reading->channel];
        if (sweep.previous < from)
            continue;
        sweep.joules += reading->watts *
                        static_cast<double>(std::min(sweep.previous, till) - std::max(reading->time, from));
        sweep.lastWatts = reading->watts;
        sweep.previous = reading->time;
        if (reading->time < from)
            --open;
    }

    for (int channel = 0; channel < 2; ++channel) {
        ChannelSweep& sweep = sweeps[channel];
        if (sweep.previous != noReading) {
            // The oldest reading's power goes back to `from`.
            if (sweep.previous > from)
                sweep.joules += sweep.lastWatts * static_cast<double>(std::min(sweep.previous, till) - from);
            continue;
        }
        // Nothing at or before `till`: the first reading after it holds over the whole window.
        for (auto it = inWindow; it != begin;) {
            --it;
            const std::optional<Reading> reading = read(it);
            if (reading && reading->channel == channel) {
                sweep.joules += reading->watts * static_cast<double>(till - from);
                break;
            }
        }
    }
    return {sweeps[0].joules / joulesPerKWh, sweeps[1].joules / joulesPerKWh};
}

} // namespace Warden::Business
