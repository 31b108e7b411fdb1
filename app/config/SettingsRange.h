#pragma once

#include <QByteArray>

#include <optional>

namespace Warden::Business {

// The values a current limit, power factor or price can sensibly take. A number beyond them is a
// typing error (a stray exponent, a lost decimal point, a minus) that would raise an alarm at every
// reading, scale a chart to nothing or bill an amount of sixty digits: the file's reader takes the
// default instead and says so in app.log, the dialogs refuse it.
struct SettingsRange {
    const char* what; // "Overcurrent"
    double low;
    double high;
    const char* unit; // " A", or empty
    // A current limit beyond the range still says "never" (above it) or "always" (below it): the
    // file's reader takes the nearest end, which keeps that meaning, rather than a default that
    // would raise an alarm at every reading.
    bool toNearestEnd = false;

    static const SettingsRange overcurrent;
    static const SettingsRange undercurrent;
    static const SettingsRange powerFactor;
    static const SettingsRange price;

    // When `text` reads as a number outside the range: "Overcurrent 2000 A is outside 0 to 1000 A".
    // A text that is no number is no range problem: it takes its default as always.
    std::optional<QByteArray> problem(const QByteArray& text) const;
};

// The number a settings text begins with, read the way a formatted stream extraction reads it:
// leading white space, then the longest number ("13A" is 13, "1e-1" is 0.1). None when the text does
// not begin with one, or with one beyond a double.
std::optional<double> leadingNumber(const QByteArray& text);

} // namespace Warden::Business
