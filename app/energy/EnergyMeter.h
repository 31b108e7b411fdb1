#pragma once

#include "core/Records.h"

#include <limits>
#include <optional>

namespace Warden::Business {

// The energy of one bus as its readings come in, oldest first: a reading's power holds from its own
// time until the bus's next reading, but for at most the bridge. A longer gap (the program stopped, the
// controller unreachable) adds nothing and shows as time not covered, and nothing counts before the
// bus's first reading: no power that nobody measured is filled in. The Status tab's energy of today,
// the metrics' counters and the energy export all count with it, so that they agree to the bit.
class EnergyMeter final {
public:
    // Readings are due every check period and may come up to the querying's 25 s answer deadline
    // late: one missed check is bridged, two in a row are a gap. Checks switched off say nothing about
    // when readings were due; a minute stands in.
    static Time bridge(quint32 checkPeriod);

    // Counts from `from` on; readings before it only say what holds at `from`.
    explicit EnergyMeter(Time bridge, Time from = std::numeric_limits<Time>::min());

    // A reading of the bus. One older than the newest so far is refused (false): the time it would
    // change has been counted already. Of readings in one second, the one taken last holds on.
    bool add(Time time, double watts);
    // Counts anew from `from` on, carrying over the reading in force there. No reading taken may be
    // newer than `from`.
    void restart(Time from);
    // Applies to the reading in force and those after it: the check period may change while it runs.
    void setBridge(Time bridge) { bridge_ = bridge; }

    // Energy and covered seconds of [from, till), `till` not before the newest reading.
    double joules(Time till) const;
    double kWh(Time till) const;
    Time covered(Time till) const;
    std::optional<Time> newest() const { return held_ ? std::optional<Time>(since_) : std::nullopt; }

private:
    // The seconds of [from, till) for which the reading in force holds.
    Time heldSeconds(Time till) const;

    Time bridge_;
    Time from_;
    double joules_ = 0; // of the readings before the one in force
    Time covered_ = 0;
    bool held_ = false;
    Time since_ = 0;
    double watts_ = 0;
};

} // namespace Warden::Business
