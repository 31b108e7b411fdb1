#pragma once

#include "core/Records.h"

#include <QByteArray>

#include <vector>

namespace Warden::Business {

class EventStore;

class ReadingWindow;

// The bars of a report's histogram. They cover the report period [from, till] and nothing else, so
// that they add up to the bill: one bar per hour for a daily report, per day for weekly ones, per local
// calendar day for monthly ones, a thirtieth of the report interval for hourly and minute reports, and a
// tenth of the period for any other unit. A period that is not a whole number of bars ends with a
// shorter bar; one too long to be drawn at that width (a report held back for hours) gets wider bars.
struct HistogramLayout {
    std::vector<Time> edges; // bar i covers [edges[i], edges[i + 1]]

    int bars() const { return edges.size() < 2 ? 1 : static_cast<int>(edges.size()) - 1; }
};
HistogramLayout histogramLayout(const ReportSettings& settings, Time from, Time till);

// Where the bars of a histogram with `bars` bars sit: bar i covers x0 + i * slot up to width - 1
// pixels to the right.
struct BarGeometry {
    int slot = 0;
    int width = 0;
    int x0 = 0;
};
BarGeometry barGeometry(int bars);

// Picture size and plot area of every histogram.
inline constexpr int histogramWidth = 800;
inline constexpr int histogramHeight = 500;
inline constexpr int plotLeft = 120;
inline constexpr int plotTop = 105;
inline constexpr int plotRight = 760;
inline constexpr int plotAxis = 325; // y of the horizontal axis

// The base64 text (one line) of an 800 x 500 PNG: energy per bar of `layout`, for channel "A", "B" or,
// with an empty `channel`, both together. All three histograms of a report share the total's vertical
// scale. `energy` is the report period's kWh as the power bill found it; a bar sum that disagrees is
// logged, never drawn. The bars come from `readings` alone, a window over the whole layout: it reads
// neither the store nor the application state, so it may run on any thread.
QByteArray createPngImage(const Controller& controller, const QByteArray& channel,
                          const HistogramLayout& layout, double energy, const ReadingWindow& readings);

} // namespace Warden::Business
