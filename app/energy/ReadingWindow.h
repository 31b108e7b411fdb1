#pragma once

#include "Sweep.h"

#include <optional>
#include <vector>

namespace Warden::Business {

// A controller's readings that decide its loads over [from, till], copied out of the store newest
// first: per channel the first reading after `till`, every reading in between and the one in force at
// `from`. A histogram asks for many bars of one period; they then cost one walk of the store together
// instead of one walk each.
class ReadingWindow {
public:
    ReadingWindow(const Controller& controller, Time from, Time till, const EventStore& store);
    // The same window from the controller's readings newest first, as the store lists them, from the
    // newest down to at least the one in force at `from` on each channel.
    ReadingWindow(const std::vector<Reading>& newestFirst, Time from, Time till);

    // getEnergy() of [from, till] inside the window, to the last bit.
    ChannelEnergies energy(Time from, Time till) const;
    // The kWh that getTransitions() gives for Event::isUnderOverCurrent() of [from, till] inside the
    // window; nothing when the channel has no reading at all.
    std::optional<double> transitionsEnergy(Time from, Time till, int channel) const;
    // Event::isUnderOverCurrent() of a period from `from` inside the window: the same kWh through
    // getTransitions(), though its trace names only the newer readings that the window holds.
    Transitions transitions(Time from, int channel) const;

private:
    template <typename Iterator, typename Read>
    void select(Iterator begin, Iterator inWindow, Iterator end, Time from, Read read);

    std::vector<Reading> readings_;
};

} // namespace Warden::Business
