#include "Energy.h"

#include "EnergyLog.h"
#include "core/Application.h"
#include "core/ClockText.h"
#include "core/DiagnosticLog.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

namespace Warden::Business {

namespace {

constexpr double joulesPerKWh = 3600000;
// "No reading yet" in a time variable.
constexpr Time noReading = 2147483647;

// Joules of one channel while the store is walked newest first.
struct ChannelSweep {
    double joules = 0;
    double lastWatts = 0;
    Time previous = noReading;
};

// The joules of `transitions` over [from, till], and its trace when `trace` is given. One loop for
// both, so that the trace always shows the number that was returned.
double integrate(const Transitions& transitions, Time from, Time till, QByteArray* trace) {
    auto it = transitions.begin();
    const double firstWatts = it->second;
    if (trace) {
        *trace = "(" + formatG(firstWatts) + " watts before and since " + clockText(it->first);
        for (auto later = std::next(it); later != transitions.end(); ++later)
            *trace += ", then " + formatG(later->second) + " watts since " + clockText(later->first);
        *trace += ") --> (" + formatG(firstWatts) + " watts since " + clockText(from);
    }
    double joules = 0;
    double watts = firstWatts;
    Time since = from;
    for (++it; it != transitions.end() && it->first < till; ++it) {
        joules += watts * static_cast<double>(it->first - since);
        watts = it->second;
        since = it->first;
        if (trace)
            *trace += ", then " + formatG(watts) + " watts since " + clockText(since);
    }
    joules += watts * static_cast<double>(till - since);
    return joules;
}

} // namespace

int readingChannel(const Event& reading) {
    return reading.reason.contains("channel A") ? 0 : 1;
}

double readingWatts(const Event& reading) {
    // Read like a stream extracts a double: blanks skipped, an optional sign, then as much of a
    // decimal number as there is. Anything else reads as 0 W.
    const QByteArray& text = reading.reason;
    const char* p = text.constData() + text.lastIndexOf(',') + 1;
    const char* end = text.constData() + text.size();
    while (p != end && std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    if (p == end || !(std::isdigit(static_cast<unsigned char>(*p)) || *p == '.'))
        return 0;
    double watts = 0;
    if (std::from_chars(p, end, watts, std::chars_format::general).ec != std::errc())
        return 0;
    return negative ? -watts : watts;
}

ChannelEnergies getEnergy(const Controller& controller, Time from, Time till) {
    if (from > till)
        return {};
    const EventStore::OwnerIndex& index = Application::events.ownedBy(&controller);
    ChannelSweep sweeps[2];

    // Readings after `till` only end the interval of the next older one at `till`, which an open
    // interval does as well; the walk therefore starts at `till`. It ends once both channels have
    // met the reading in force at `from`: older ones add nothing.
    const auto inWindow = index.lower_bound(EventKey{till, std::numeric_limits<quint64>::max()});
    int open = 2;
    for (auto it = inWindow; it != index.end() && open > 0; ++it) {
        const Event& event = *it->second;
        if (event.kind != EventKind::values)
            continue;
        ChannelSweep& sweep = sweeps[readingChannel(event)];
        if (sweep.previous < from)
            continue;
        const double watts = readingWatts(event);
        sweep.joules +=
            watts * static_cast<double>(std::min(sweep.previous, till) - std::max(event.time, from));
        sweep.lastWatts = watts;
        sweep.previous = event.time;
        if (event.time < from)
            --open;
    }

    for (int channel = 0; channel < 2; ++channel) {
        ChannelSweep& sweep = sweeps[channel];
        if (sweep.previous != noReading) {
            // The oldest reading's power goes back to `from`.
            if (sweep.previous > from)
                sweep.joules += sweep.lastWatts * static_cast<double>(std::min(sweep.previous, till) - from);
            continue;
        }
        // Nothing at or before `till`: the first reading after it holds over the whole window.
        for (auto it = inWindow; it != index.begin();) {
            --it;
            const Event& event = *it->second;
            if (event.kind == EventKind::values && readingChannel(event) == channel) {
                sweep.joules += readingWatts(event) * static_cast<double>(till - from);
                break;
            }
        }
    }
    return {sweeps[0].joules / joulesPerKWh, sweeps[1].joules / joulesPerKWh};
}

QByteArray getTransitions(const Transitions& transitions, Time from, Time till, double& kWh) {
    kWh = 0;
    if (transitions.empty()) {
        DiagnosticLog::write(
            "getTransitions() error: transitions has to be not less then 1 in size, actual size is 0\n");
        return {};
    }
    if (from == 0 || till == 0)
        qCDebug(lcEnergy).noquote() << "getTransitions() error: from = " +
                                           QString::fromUtf8(clockText(from)) +
                                           ", till = " + QString::fromUtf8(clockText(till));
    QByteArray trace;
    const double joules = integrate(transitions, from, till, &trace);
    kWh = joules / joulesPerKWh;
    trace +=
        " till " + clockText(till) + ") and result in " + formatG(joules) + " J = " + formatG(kWh) + " kWH";
    return trace;
}

double transitionsEnergy(const Transitions& transitions, Time from, Time till) {
    return transitions.empty() ? 0 : integrate(transitions, from, till, nullptr) / joulesPerKWh;
}

bool energiesDiffer(double value, double reference) {
    return std::fabs((value - reference) / (reference == 0 ? 1 : reference)) > 1e-12;
}

} // namespace Warden::Business
