#include "ChartScale.h"

#include "core/ClockText.h"

#include <algorithm>
#include <cmath>
#include <set>

namespace Warden {

using Business::Time;

namespace {

const char* const weekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

Time offsetAt(Time t) {
    const auto tm = localTime(t);
    return tm ? Time(tm->tm_gmtoff) : 0;
}

// The first instant from `start` on whose local time is a whole multiple of `step` under `offset`.
Time alignedFrom(Time start, Time offset, Time step) {
    const Time local = start + offset;
    return local + (step - local % step) % step - offset;
}

// The first instant after `t` whose local clock shows a whole multiple of `step`: both runs of a
// repeated hour have one, a skipped hour has none. A step of at most a day meets at most one change of
// the offset.
Time nextAligned(Time t, Time step) {
    const Time start = t + 1;
    const Time first = offsetAt(start);
    const Time guess = alignedFrom(start, first, step);
    if (offsetAt(guess) == first)
        return guess;
    const Time later = offsetAt(guess);
    Time aligned = alignedFrom(start, later, step);
    for (int round = 0; round < 4 && offsetAt(aligned) != later; ++round)
        aligned = alignedFrom(aligned + 1, later, step);
    return aligned;
}

QString hourMinute(const std::tm& tm) {
    return QString::asprintf("%02d:%02d", tm.tm_hour, tm.tm_min);
}

QString dayAndMonth(const std::tm& tm) {
    return QString::asprintf("%s %d %s", weekdays[tm.tm_wday % 7], tm.tm_mday, months[tm.tm_mon % 12]);
}

QString shortLabel(const std::tm& tm, ChartRange range) {
    switch (range) {
    case ChartRange::hour:
        return hourMinute(tm);
    case ChartRange::day:
        return tm.tm_hour == 0 && tm.tm_min == 0 ? dayAndMonth(tm) : hourMinute(tm);
    case ChartRange::week:
        return dayAndMonth(tm);
    }
    return {};
}

// Only a daylight saving change makes a short label repeat.
QString longLabel(const std::tm& tm, ChartRange range) {
    if (range == ChartRange::hour)
        return hourMinute(tm) + QLatin1Char(' ') + QString::fromLatin1(tm.tm_zone ? tm.tm_zone : "");
    return QString::fromLatin1(weekdays[tm.tm_wday % 7]) + QLatin1Char(' ') + hourMinute(tm);
}

} // namespace

RangeShape rangeShape(ChartRange range) {
    switch (range) {
    case ChartRange::hour:
        return {3600, 10};
    case ChartRange::day:
        return {86400, 300};
    case ChartRange::week:
        return {7 * 86400, 1800};
    }
    return {3600, 10};
}

double niceStep(double rough) {
    if (!(rough > 0) || !std::isfinite(rough))
        return 1;
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    const double fraction = rough / power;
    // A little slack: 2.0000000001 from a division is still 2.
    for (const double nice : {1.0, 2.0, 5.0}) {
        if (fraction <= nice * (1 + 1e-9))
            return nice * power;
    }
    return 10 * power;
}

ValueScale valueScale(double highest, int maxIntervals) {
    if (!(highest > 0) || !std::isfinite(highest))
        highest = 1;
    ValueScale scale;
    scale.step = niceStep(highest / std::max(maxIntervals, 1));
    scale.top = std::ceil(highest / scale.step * (1 - 1e-9)) * scale.step;
    scale.decimals = std::max(0, int(-std::floor(std::log10(scale.step) + 1e-9)));
    return scale;
}

std::vector<TimeTick> timeTicks(Time from, Time till, ChartRange range) {
    std::vector<TimeTick> ticks;
    const Time step = range == ChartRange::hour ? 600 : range == ChartRange::day ? 3 * 3600 : 86400;
    std::set<QString> used;
    for (Time t = nextAligned(from, step); t <= till; t = nextAligned(t, step)) {
        const auto tm = localTime(t);
        if (!tm)
            continue;
        QString label = shortLabel(*tm, range);
        if (used.count(label))
            label = longLabel(*tm, range);
        used.insert(label);
        ticks.push_back({t, label});
    }
    return ticks;
}

QString momentLabel(Time t) {
    const auto tm = localTime(t);
    return tm ? dayAndMonth(*tm) + QLatin1Char(' ') + hourMinute(*tm) : QString();
}

} // namespace Warden
