#pragma once

#include "ChartScale.h"

#include "core/Event.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <array>
#include <deque>
#include <optional>
#include <unordered_map>
#include <vector>

namespace Warden {

// The bus currents behind the Status tab's chart, for every configured controller and for each chart
// range at that range's resolution: a bucket keeps its first and last reading and the lowest and the
// highest one with their times (so an over-current peak of one reading still shows a week later, and
// gaps stay gaps). What a series holds is bounded by its range, whatever the check period.
// It is filled at start from the daily logs, which outlive the event store, and then from the events
// as they are stored.
class LoadHistory final {
public:
    // A configured controller: the daily logs name it by its display name.
    struct Source {
        quint64 id = 0;
        QByteArray displayName;
        int buses = 1;
    };
    struct Point {
        Business::Time time = 0;
        double amps = 0;
        bool operator==(const Point&) const = default;
    };
    using Segment = std::vector<Point>;
    // What a read-out shows at a moment: the readings of the bucket in force then.
    struct Span {
        Business::Time from = 0;
        Business::Time till = 0;
        double low = 0;
        double high = 0;
    };
    struct LoadResult {
        qint64 readings = 0;
        QStringList unreadableFiles;
    };

    // The controllers to keep; the series of one that stays with its buses are kept, those of a
    // removed one go.
    void setSources(const std::vector<Source>& sources);
    // A reading of a configured controller's bus; others are passed over.
    // False when it was passed over.
    bool add(quint64 id, int bus, Business::Time time, double amps);
    // A stored event of the controller `id`: its reading, when it is one.
    bool eventAdded(quint64 id, const Business::Event& event);
    // The readings of the sources within the longest range before `now`, from the daily logs under
    // `directory` (the one holding "log").
    LoadResult readLogs(const QString& directory, Business::Time now);

    // The bus's readings within the range that ends at `now`, oldest first, one segment for each run
    // of readings that follow each other within `bridge` seconds: a longer silence is drawn as a gap.
    std::vector<Segment> segments(quint64 id, int bus, ChartRange range, Business::Time now,
                                  Business::Time bridge) const;
    // The readings in force at `t`: those of the bucket holding it or of the last bucket before it, as
    // long as its newest reading is at most `bridge` old; nothing in a gap.
    std::optional<Span> at(quint64 id, int bus, ChartRange range, Business::Time t,
                           Business::Time bridge) const;

    // Buckets held over all series: what the memory taken grows with.
    std::size_t bucketCount() const;

private:
    static constexpr int rangeCount = 3;
    // Times within the bucket in seconds from its start: a bucket is at most half an hour wide. The
    // first, lowest, highest and last reading drawn in their order look like all of them drawn; a
    // float holds more digits than a reading has.
    struct Bucket {
        Business::Time start = 0;
        float firstAmps = 0;
        float lastAmps = 0;
        float low = 0;
        float high = 0;
        quint16 first = 0;
        quint16 last = 0;
        quint16 lowAt = 0;
        quint16 highAt = 0;
    };
    using Series = std::deque<Bucket>;
    struct Entry {
        QByteArray displayName;
        int buses = 1;
        std::array<std::array<Series, rangeCount>, 2> series;
    };

    static void addTo(Series& series, Business::Time width, Business::Time span, Business::Time time,
                      double amps);
    const Series* seriesOf(quint64 id, int bus, ChartRange range) const;

    std::unordered_map<quint64, Entry> entries_;
};

} // namespace Warden
