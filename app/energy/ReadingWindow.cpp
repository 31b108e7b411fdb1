#include "ReadingWindow.h"

#include "core/EventStore.h"

#include <limits>
#include <optional>
#include <utility>

namespace Warden::Business {

namespace {

// The first reading not after `till` in a newest-first list.
std::vector<Reading>::const_iterator notAfter(const std::vector<Reading>& readings, Time till) {
    return std::partition_point(readings.begin(), readings.end(),
                                [till](const Reading& reading) { return reading.time > till; });
}

} // namespace

template <typename Iterator, typename Read>
void ReadingWindow::select(Iterator begin, Iterator inWindow, Iterator end, Time from, Read read) {
    std::optional<Reading> after[2];
    for (auto it = inWindow; it != begin && !(after[0] && after[1]);) {
        --it;
        const std::optional<Reading> reading = read(it);
        if (reading && !after[reading->channel])
            after[reading->channel] = reading;
    }
    if (after[0] && after[1] && after[0]->time < after[1]->time)
        std::swap(after[0], after[1]);
    for (const std::optional<Reading>& reading : after) {
        if (reading)
            readings_.push_back(*reading);
    }

    bool settled[2] = {false, false};
    int open = 2;
    for (auto it = inWindow; it != end && open > 0; ++it) {
        const std::optional<Reading> reading = read(it);
        if (!reading || settled[reading->channel])
            continue;
        readings_.push_back(*reading);
        if (reading->time < from) {
            settled[reading->channel] = true;
            --open;
        }
    }
}

ReadingWindow::ReadingWindow(const Controller& controller, Time from, Time till, const EventStore& store) {
    const EventStore::OwnerIndex& index = store.ownedBy(controller.id);
    select(index.begin(), index.lower_bound(EventKey{till, std::numeric_limits<quint64>::max()}), index.end(),
           from, [](EventStore::OwnerIndex::const_iterator it) { return readingOf(*it->second); });
}

ReadingWindow::ReadingWindow(const std::vector<Reading>& newestFirst, Time from, Time till) {
    select(newestFirst.begin(), notAfter(newestFirst, till), newestFirst.end(), from,
           [](std::vector<Reading>::const_iterator it) { return std::optional<Reading>(*it); });
}

ChannelEnergies ReadingWindow::energy(Time from, Time till) const {
    if (from > till)
        return {};
    return sweepEnergy(readings_.begin(), notAfter(readings_, till), readings_.end(), from, till,
                       [](std::vector<Reading>::const_iterator it) { return std::optional<Reading>(*it); });
}

} // namespace Warden::Business
