#pragma once

// The energy of both channels computed the plain way: one walk over every event of the store, newest
// first. Slow on a large store; the indexed getEnergy() has to give exactly the same doubles.
#include "core/EventStore.h"
#include "energy/Energy.h"

#include <algorithm>

namespace Warden::Test {

inline Business::ChannelEnergies fullWalkEnergy(const Business::EventStore& store,
                                                const Business::Controller& controller, Business::Time from,
                                                Business::Time till) {
    using namespace Business;
    constexpr Time noReading = 2147483647;
    double joules[2] = {0, 0};
    double last[2] = {0, 0};
    Time previous[2] = {noReading, noReading};
    for (const auto& [key, event] : store.events()) {
        if (event.kind != EventKind::values || event.owner != controller.id)
            continue;
        const int c = readingChannel(event);
        const double watts = readingWatts(event);
        if (event.time <= till && previous[c] >= from)
            joules[c] +=
                watts * static_cast<double>(std::min(previous[c], till) - std::max(event.time, from));
        last[c] = watts;
        previous[c] = event.time;
    }
    for (int c = 0; c < 2; ++c) {
        if (previous[c] < noReading && previous[c] > from)
            joules[c] += last[c] * static_cast<double>(std::min(previous[c], till) - from);
    }
    return {joules[0] / 3600000, joules[1] / 3600000};
}

// A load reading as the log page parser stores it.
inline void addReading(Business::EventStore& store, const Business::Controller& controller,
                       Business::Time time, const QByteArray& channel, double watts) {
    using namespace Business;
    store.insert(
        Event{"", time, EventKind::values, Transport::http,
              "Current loads on channel " + channel + ": 230 V, 1 A, " + QByteArray::number(watts) + " W", "",
              controller.id});
}

} // namespace Warden::Test
