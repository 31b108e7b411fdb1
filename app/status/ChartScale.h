#pragma once

#include "core/Records.h"

#include <QString>

#include <vector>

namespace Warden {

// The spans the Status tab's chart offers, each drawn from buckets of its own width: a bucket is about
// a pixel and a half at the usual window width, so a range costs the same few hundred points however
// often the controllers are checked.
enum class ChartRange { hour, day, week };

struct RangeShape {
    Business::Time span = 0;
    Business::Time bucket = 0;
};
RangeShape rangeShape(ChartRange range);

// The step of 1, 2 or 5 times a power of ten nearest above `rough`.
double niceStep(double rough);

// An axis from 0 that holds `highest`: at most `maxIntervals` steps of a nice size, the top on a step.
struct ValueScale {
    double top = 1;
    double step = 0.2;
    int decimals = 1; // enough for every tick to differ from its neighbours
};
ValueScale valueScale(double highest, int maxIntervals = 5);

struct TimeTick {
    Business::Time at = 0;
    QString label;
};

// Ticks within (from, till] on the local clock's round values: every 10 minutes labelled "14:20" for
// the hour, every 3 hours for the day (midnight by its weekday and date), every midnight for the week
// ("Tue 8 Dec"). No two labels are alike: the repeated hour of autumn and the ends of a day with a
// daylight saving change name the zone or the day where the short form would repeat.
std::vector<TimeTick> timeTicks(Business::Time from, Business::Time till, ChartRange range);

// A moment as the read-out names it: "Tue 8 Dec 14:32".
QString momentLabel(Business::Time t);

} // namespace Warden
