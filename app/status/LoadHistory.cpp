#include "LoadHistory.h"

#include "BusLoad.h"

#include "core/Application.h"
#include "core/Clock.h"
#include "core/ClockText.h"
#include "core/EventLine.h"
#include "core/LogFileLines.h"
#include "core/LogText.h"

#include <QDir>

#include <algorithm>
#include <cmath>
#include <map>

namespace Warden {

using Business::Event;
using Business::EventKind;
using Business::Time;

namespace {

constexpr ChartRange ranges[] = {ChartRange::hour, ChartRange::day, ChartRange::week};

Time floorTo(Time t, Time width) {
    return t - ((t % width) + width) % width;
}

// Noon of t's local day: stepping by 24 hours from there meets every day once, whatever daylight
// saving does to the day's length.
Time localNoon(Time t) {
    auto tm = localTime(t);
    if (!tm)
        return t;
    tm->tm_hour = 12;
    tm->tm_min = tm->tm_sec = 0;
    tm->tm_isdst = -1;
    return static_cast<Time>(std::mktime(&*tm));
}

} // namespace

void LoadHistory::setSources(const std::vector<Source>& sources) {
    std::unordered_map<quint64, Entry> kept;
    for (const Source& source : sources) {
        Entry entry;
        const auto known = entries_.find(source.id);
        if (known != entries_.end() && known->second.buses == source.buses)
            entry = std::move(known->second);
        entry.displayName = source.displayName;
        entry.buses = source.buses;
        kept[source.id] = std::move(entry);
    }
    entries_ = std::move(kept);
}

bool LoadHistory::add(quint64 id, int bus, Time time, double amps) {
    const auto it = entries_.find(id);
    // A reading far ahead of the clock (a controller's clock gone wrong) would push the history out of
    // every range.
    if (it == entries_.end() || bus < 0 || bus >= it->second.buses || !std::isfinite(amps) ||
        time > Clock::now() + 86400)
        return false;
    for (const ChartRange range : ranges) {
        const RangeShape shape = rangeShape(range);
        addTo(it->second.series[bus][int(range)], shape.bucket, shape.span, time, amps);
    }
    return true;
}

void LoadHistory::addTo(Series& series, Time width, Time span, Time time, double amps) {
    const Time start = floorTo(time, width);
    if (!series.empty() && start < series.back().start - span)
        return; // older than anything the range shows
    const auto offset = quint16(time - start);
    // Readings mostly come in order: the newest bucket, or one after it.
    auto it = series.empty() || series.back().start < start ? series.end()
              : series.back().start == start
                  ? series.end() - 1
                  : std::lower_bound(series.begin(), series.end(), start,
                                     [](const Bucket& b, Time s) { return b.start < s; });
    const auto value = float(amps);
    if (it == series.end() || it->start != start) {
        series.insert(it, Bucket{start, value, value, value, value, offset, offset, offset, offset});
    } else {
        Bucket& b = *it;
        if (offset < b.first) {
            b.first = offset;
            b.firstAmps = value;
        }
        // Of readings in one second, the one taken last holds on.
        if (offset >= b.last) {
            b.last = offset;
            b.lastAmps = value;
        }
        if (value < b.low) {
            b.low = value;
            b.lowAt = offset;
        }
        if (value > b.high) {
            b.high = value;
            b.highAt = offset;
        }
    }
    while (series.front().start < series.back().start - span)
        series.pop_front();
}

bool LoadHistory::eventAdded(quint64 id, const Event& event) {
    if (event.kind != EventKind::values)
        return false;
    const auto it = entries_.find(id);
    if (it == entries_.end())
        return false;
    const std::optional<int> bus = readingBus(it->second.buses, event);
    const std::optional<BusLoad> load = BusLoad::of(event);
    return bus && load && add(id, *bus, event.time, load->amps);
}

LoadHistory::LoadResult LoadHistory::readLogs(const QString& directory, Time now) {
    LoadResult result;
    std::map<QByteArray, quint64> byName;
    for (const auto& [id, entry] : entries_)
        byName.emplace(entry.displayName, id);
    if (byName.empty())
        return result;
    const Time from = now - rangeShape(ChartRange::week).span - rangeShape(ChartRange::week).bucket;
    Business::LogClock clock;
    const auto line = [&](QByteArrayView text) {
        if (text.endsWith('\r'))
            text.chop(1);
        // Most lines are no readings (the polling logins, log rows): a reading's line holds its kind
        // between quotes and spaces, so the others are passed over without taking them apart.
        if (!text.contains(QByteArrayView("\" values ")))
            return;
        const std::optional<Business::EventLineFields> fields = Business::parseEventLine(text);
        if (!fields || fields->kind != EventKind::values)
            return;
        const auto owner = byName.find(fields->owner.toByteArray());
        if (owner == byName.end())
            return;
        const std::optional<Time> time = clock.resolve(fields->clock);
        if (!time || *time < from || *time > now)
            return;
        Event reading;
        reading.kind = EventKind::values;
        reading.time = *time;
        reading.reason = fromLogText(fields->reason);
        result.readings += eventAdded(owner->second, reading);
    };
    for (Time day = localNoon(from); day <= localNoon(now); day += 86400) {
        const QString path =
            QDir(directory).filePath(QString::fromUtf8(Business::Application::dailyLogPath(day)));
        clock.newFile();
        const Business::LogFileRead read = Business::readLogLines(path, line);
        if (read.problem)
            result.unreadableFiles << path + QStringLiteral(": ") + *read.problem;
    }
    return result;
}

const LoadHistory::Series* LoadHistory::seriesOf(quint64 id, int bus, ChartRange range) const {
    const auto it = entries_.find(id);
    if (it == entries_.end() || bus < 0 || bus >= it->second.buses)
        return nullptr;
    return &it->second.series[bus][int(range)];
}

std::vector<LoadHistory::Segment> LoadHistory::segments(quint64 id, int bus, ChartRange range, Time now,
                                                        Time bridge) const {
    std::vector<Segment> segments;
    const Series* series = seriesOf(id, bus, range);
    if (!series)
        return segments;
    const RangeShape shape = rangeShape(range);
    const Time from = now - shape.span;
    std::optional<Time> lastReading;
    for (const Bucket& b : *series) {
        if (b.start + shape.bucket <= from || b.start > now)
            continue;
        if (!lastReading || b.start + b.first - *lastReading > bridge)
            segments.emplace_back();
        Segment& segment = segments.back();
        Point points[] = {{b.start + b.first, b.firstAmps},
                          {b.start + b.lowAt, b.low},
                          {b.start + b.highAt, b.high},
                          {b.start + b.last, b.lastAmps}};
        std::stable_sort(std::begin(points), std::end(points),
                         [](const Point& x, const Point& y) { return x.time < y.time; });
        for (const Point& p : points) {
            if (segment.empty() || segment.back().time != p.time)
                segment.push_back(p);
        }
        lastReading = b.start + b.last;
    }
    return segments;
}

std::optional<LoadHistory::Span> LoadHistory::at(quint64 id, int bus, ChartRange range, Time t,
                                                 Time bridge) const {
    const Series* series = seriesOf(id, bus, range);
    if (!series)
        return std::nullopt;
    auto it = std::upper_bound(series->begin(), series->end(), t,
                               [](Time s, const Bucket& b) { return s < b.start; });
    if (it == series->begin())
        return std::nullopt;
    const Bucket& b = *--it;
    if (t - (b.start + b.last) > bridge && t >= b.start + rangeShape(range).bucket)
        return std::nullopt;
    return Span{b.start + b.first, b.start + b.last, b.low, b.high};
}

std::size_t LoadHistory::bucketCount() const {
    std::size_t count = 0;
    for (const auto& [id, entry] : entries_)
        for (const auto& bus : entry.series)
            for (const Series& series : bus)
                count += series.size();
    return count;
}

} // namespace Warden
