#include "Energy.h"

#include "EnergyLog.h"
#include "Sweep.h"
#include "core/Application.h"
#include "core/ClockText.h"
#include "core/DiagnosticLog.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <iterator>
#include <limits>
#include <string_view>

namespace Warden::Business {

namespace {

// Adds a reading met while walking the store newest first. Among readings of one second the one added
// to the store last has to sort last, so that it holds on after that second as it does for
// getEnergy().
void addOlderReading(Transitions& transitions, Time time, double watts) {
    transitions.emplace_hint(transitions.begin(), time, watts);
}

// Joules of a channel's readings over [from, till] (the first one's power counts from `from`), with the
// trace of the calculation. One loop for both, so that the trace always shows the number returned.
double integrateTransitions(const Transitions& transitions, Time from, Time till, QByteArray& trace) {
    auto it = transitions.begin();
    const double firstWatts = it->second;
    trace = "(" + formatG(firstWatts) + " watts before and since " + clockText(it->first);
    for (auto later = std::next(it); later != transitions.end(); ++later)
        trace += ", then " + formatG(later->second) + " watts since " + clockText(later->first);
    trace += ") --> (" + formatG(firstWatts) + " watts since " + clockText(from);
    double joules = 0;
    double watts = firstWatts;
    Time since = from;
    for (++it; it != transitions.end() && it->first < till; ++it) {
        joules += watts * static_cast<double>(it->first - since);
        watts = it->second;
        since = it->first;
        trace += ", then " + formatG(watts) + " watts since " + clockText(since);
    }
    joules += watts * static_cast<double>(till - since);
    return joules;
}

} // namespace

int readingChannel(const Event& reading) {
    // Every reading of a report passes here several times; a plain substring search keeps it cheap.
    const std::string_view text(reading.reason.constData(), static_cast<std::size_t>(reading.reason.size()));
    return text.find("channel A") != std::string_view::npos ? 0 : 1;
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

ChannelEnergies getEnergy(const EventStore& store, const Controller& controller, Time from, Time till) {
    if (from > till)
        return {};
    const EventStore::OwnerIndex& index = store.ownedBy(controller.id);
    return sweepEnergy(index.begin(), index.lower_bound(EventKey{till, std::numeric_limits<quint64>::max()}),
                       index.end(), from, till,
                       [](EventStore::OwnerIndex::const_iterator it) { return readingOf(*it->second); });
}

Transitions isUnderOverCurrent(const Controller& controller, Time from, Time till, const EventStore& store,
                               int channel) {
    Transitions transitions;
    for (const auto& [key, event] : store.ownedBy(controller.id)) {
        const std::optional<Reading> reading = readingOf(*event);
        if (!reading || reading->channel != channel)
            continue;
        addOlderReading(transitions, reading->time, reading->watts);
        if (reading->time < from)
            return transitions;
    }
    if (!transitions.empty())
        return transitions;

    qCDebug(lcEnergy).noquote() << "Event::isUnderOverCurrent(): there are no sufficient events from " +
                                       QString::fromUtf8(clockText(from)) + " till " +
                                       QString::fromUtf8(clockText(till)) + " of:";
    // Lists every reading of every controller: only worth the walk when someone reads it.
    if (lcEnergyTrace().isDebugEnabled()) {
        const EventStore::LineWriter& line = store.lineWriter();
        for (const auto& [key, event] : store.events()) {
            if (event.kind == EventKind::values)
                qCDebug(lcEnergyTrace).noquote()
                    << QString::fromUtf8(line ? line(event) : Application::eventDescription(event));
        }
    }
    return transitions;
}

QByteArray getTransitions(const Transitions& transitions, Time from, Time till, double& kWh) {
    kWh = 0;
    if (transitions.empty()) {
        DiagnosticLog::write(
            "getTransitions() error: transitions has to be not less than 1 in size, actual size is 0\n");
        return {};
    }
    if (from == 0 || till == 0)
        qCDebug(lcEnergy).noquote() << "getTransitions() error: from = " +
                                           QString::fromUtf8(clockText(from)) +
                                           ", till = " + QString::fromUtf8(clockText(till));
    QByteArray trace;
    const double joules = integrateTransitions(transitions, from, till, trace);
    kWh = joules / joulesPerKWh;
    trace +=
        " till " + clockText(till) + ") and result in " + formatG(joules) + " J = " + formatG(kWh) + " kWH";
    return trace;
}

bool energiesDiffer(double value, double reference) {
    return std::fabs((value - reference) / (reference == 0 ? 1 : reference)) > 1e-12;
}

} // namespace Warden::Business
