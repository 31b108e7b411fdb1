#pragma once

#include "core/Records.h"

#include <QByteArray>

namespace Warden::Business {

// Start of the histogram period and bar count for a report over [from, till]: one bar per hour for a
// daily report, per day for weekly and monthly ones, 30 bars for hourly and minute reports and 10 over
// the report period itself for any other unit.
struct HistogramLayout {
    Time start = 0;
    int bars = 1;
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

// The base64 text (one line) of an 800 x 500 PNG: energy per bar of [start, till] split into `bars`
// bars, for channel "A", "B" or, with an empty `channel`, both together. Energy before `from` does not
// count. All three histograms of a report share the total's vertical scale. `energy` is the report
// period's kWh as the power bill found it; a bar sum that disagrees is logged, never drawn.
QByteArray createPngImage(const Controller& controller, const QByteArray& channel, Time start, Time till,
                          int bars, Time from, double energy);

} // namespace Warden::Business
