#pragma once

#include "Sweep.h"

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

private:
    template <typename Iterator, typename Read>
    void select(Iterator begin, Iterator inWindow, Iterator end, Time from, Read read);

    std::vector<Reading> readings_;
};

} // namespace Warden::Business
