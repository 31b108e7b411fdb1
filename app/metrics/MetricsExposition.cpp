#include "MetricsExposition.h"

#include "core/Application.h"
#include "core/MetricsRegistry.h"

#include <QHash>
#include <QSet>
#include <QString>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

namespace Warden {

using Business::Application;
using Business::Controller;
using Business::Event;
using Business::EventKind;
using Business::Time;
using Business::Transport;

namespace {

void appendNumber(QByteArray& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::isinf(value)) {
        out += value > 0 ? "+Inf" : "-Inf";
        return;
    }
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr - buffer);
}

void appendHeader(QByteArray& out, const char* name, const char* type, const char* help) {
    out.append("# HELP ").append(name).append(' ').append(help).append('\n');
    out.append("# TYPE ").append(name).append(' ').append(type).append('\n');
}

// One sample: name{labels} value.
void appendSample(QByteArray& out, const char* name, const QByteArray& labels, double value) {
    out.append(name).append('{').append(labels).append("} ");
    appendNumber(out, value);
    out.append('\n');
}

void appendCount(QByteArray& out, const char* name, const QByteArray& labels, std::uint64_t value) {
    out.append(name).append('{').append(labels).append("} ").append(QByteArray::number(value)).append('\n');
}

struct Labelled {
    const Controller* controller;
    QByteArray labels;                   // controller, model, host
    std::array<QByteArray, 2> busLabels; // the same with the bus
    int buses;
};

} // namespace

QByteArray MetricsExposition::labelValue(const QByteArray& text) {
    // Through QString: invalid UTF-8 comes back with replacement characters.
    const QByteArray utf8 = QString::fromUtf8(text).toUtf8();
    QByteArray out;
    out.reserve(utf8.size() + 8);
    for (const char c : utf8) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

MetricsExposition::State& MetricsExposition::stateOf(const Controller& controller) {
    State& state = states_[controller.id];
    if (state.name != controller.name || state.host != controller.host || state.type != controller.type ||
        state.port != controller.port) {
        state = State{};
        state.name = controller.name;
        state.host = controller.host;
        state.type = controller.type;
        state.port = controller.port;
    }
    return state;
}

void MetricsExposition::checked(Business::ControllerId id, const Business::CheckOutcome& outcome, Time now) {
    using Result = MetricsRegistry::CheckResult;
    Result result = Result::answered;
    if (!outcome.answered)
        result = outcome.httpStatus == 401 || outcome.httpStatus == 403 ? Result::loginRefused
                 : outcome.httpStatus == 0                              ? Result::noAnswer
                                                                        : Result::pageUnreadable;
    MetricsRegistry::instance().countCheck(result);
    const Controller* controller = app_.controller(id);
    if (!controller)
        return;
    State& state = stateOf(*controller);
    state.up = outcome.answered;
    if (outcome.answered)
        state.lastGood = now;
}

void MetricsExposition::eventAdded(const Event& event) {
    const Controller* owner = app_.controller(event.owner);
    if (!owner)
        return;
    const std::optional<int> bus = readingBus(*owner, event);
    const std::optional<BusLoad> load = bus ? BusLoad::of(event) : std::nullopt;
    if (!load)
        return;
    Bus& b = stateOf(*owner).buses[*bus];
    b.energy.setBridge(Business::EnergyMeter::bridge(app_.report.checkPeriod()));
    // A reading older than the one in force (a row taken late) is history, not the present, and would
    // move the counter back.
    if (!b.energy.add(event.time, load->watts))
        return;
    b.read = true;
    b.load = *load;
}

QByteArray MetricsExposition::render(int mailsWaiting) {
    std::vector<Labelled> rows;
    rows.reserve(app_.controllers.size());
    QSet<QByteArray> seen;
    seen.reserve(qsizetype(app_.controllers.size()));
    // Per label set, the number its next twin tries first: thousands of controllers configured alike
    // must not each count up again through all the ones before them.
    QHash<QByteArray, int> nextNumber;
    for (const Controller& c : app_.controllers) {
        QByteArray host = c.host;
        if (c.port != 0)
            host += ':' + QByteArray::number(c.port);
        const QByteArray rest = "\",model=\"" + labelValue(Application::modelName(c.type)) + "\",host=\"" +
                                labelValue(host) + '"';
        // Two controllers configured alike would make one series twice, and Prometheus refuses such
        // a scrape whole: the later one is told apart by its position.
        const QByteArray base = labelValue(c.name);
        QByteArray labels = base + rest;
        if (seen.contains(labels)) {
            int& n = nextNumber[labels];
            n = std::max(n, 2);
            do
                labels = base + " (" + QByteArray::number(n++) + ')' + rest;
            while (seen.contains(labels));
        }
        seen.insert(labels);
        Labelled row{&c, "controller=\"" + labels, {}, busCount(c)};
        for (int bus = 0; bus < row.buses; ++bus)
            row.busLabels[bus] = row.labels + (bus == 0 ? ",bus=\"A\"" : ",bus=\"B\"");
        rows.push_back(std::move(row));
    }

    QByteArray out;
    // Sized from the last text: growing a text of megabytes copies it each time.
    out.reserve(std::max<qsizetype>(lastSize_ + lastSize_ / 8, 4096 + qsizetype(rows.size()) * 1700));
    const auto perController = [&](const char* name, const char* type, const char* help, auto sample) {
        appendHeader(out, name, type, help);
        for (const Labelled& row : rows)
            sample(row, stateOf(*row.controller));
    };
    const auto perBus = [&](const char* name, const char* type, const char* help, auto sample) {
        appendHeader(out, name, type, help);
        for (const Labelled& row : rows) {
            State& state = stateOf(*row.controller);
            for (int bus = 0; bus < row.buses; ++bus)
                sample(row, bus, state.buses[bus]);
        }
    };

    perController("ampwarden_up", "gauge", "1 when the controller's last check read its pages, else 0.",
                  [&](const Labelled& row, const State& s) {
                      appendSample(out, "ampwarden_up", row.labels, s.up ? 1 : 0);
                  });
    perController("ampwarden_last_good_check_timestamp_seconds", "gauge",
                  "When a check last read the controller's pages (absent before the first).",
                  [&](const Labelled& row, const State& s) {
                      if (s.lastGood != 0)
                          appendSample(out, "ampwarden_last_good_check_timestamp_seconds", row.labels,
                                       double(s.lastGood));
                  });
    struct Quantity {
        const char* name;
        const char* help;
        double BusLoad::*value;
    };
    for (const Quantity& q :
         {Quantity{"ampwarden_bus_volts", "Voltage of the bus's latest reading.", &BusLoad::volts},
          Quantity{"ampwarden_bus_amperes", "Current of the bus's latest reading.", &BusLoad::amps},
          Quantity{"ampwarden_bus_watts", "Power of the bus's latest reading.", &BusLoad::watts}}) {
        perBus(q.name, "gauge", q.help, [&](const Labelled& row, int bus, const Bus& b) {
            if (b.read)
                appendSample(out, q.name, row.busLabels[bus], b.load.*q.value);
        });
    }
    for (const bool upper : {false, true}) {
        const char* name =
            upper ? "ampwarden_bus_current_upper_limit_amperes" : "ampwarden_bus_current_lower_limit_amperes";
        perBus(name, "gauge",
               upper ? "Overcurrent limit of the bus in the settings."
                     : "Undercurrent limit of the bus in the settings.",
               [&](const Labelled& row, int bus, const Bus&) {
                   if (const Business::ChannelSettings* limits = busLimits(*row.controller, bus))
                       appendSample(out, name, row.busLabels[bus],
                                    upper ? limits->overcurrent : limits->undercurrent);
               });
    }
    perBus("ampwarden_bus_alarm", "gauge", "1 while the bus's latest current is over or under its limits.",
           [&](const Labelled& row, int bus, const Bus& b) {
               const bool alarm =
                   b.read && limitState(b.load.amps, busLimits(*row.controller, bus)) != BusLimit::within;
               appendSample(out, "ampwarden_bus_alarm", row.busLabels[bus], alarm ? 1 : 0);
           });
    perBus("ampwarden_bus_energy_kwh_total", "counter",
           "Energy of the bus since the program started up to its newest reading: each reading's power "
           "held until the next one, across a gap of at most two check periods and 25 s.",
           [&](const Labelled& row, int bus, const Bus& b) {
               // Counted up to the newest reading, not to now: a counter must never go back, and the
               // time after the newest reading is not settled until the next one (or the bridge) ends it.
               appendSample(out, "ampwarden_bus_energy_kwh_total", row.busLabels[bus],
                            b.read ? b.energy.kWh(*b.energy.newest()) : 0.0);
           });

    const MetricsRegistry& registry = MetricsRegistry::instance();
    appendHeader(out, "ampwarden_events_total", "counter", "Events stored, by kind and transport.");
    for (int kind = 0; kind < MetricsRegistry::eventKinds; ++kind) {
        for (const Transport transport : {Transport::http, Transport::syslog}) {
            const EventKind k = static_cast<EventKind>(kind);
            appendCount(out, "ampwarden_events_total",
                        "kind=\"" + eventKindName(k) + "\",transport=\"" + transportName(transport) + '"',
                        registry.events(k, transport));
        }
    }
    using Result = MetricsRegistry::CheckResult;
    appendHeader(out, "ampwarden_checks_total", "counter", "Controller checks ended, by outcome.");
    for (const auto& [result, label] :
         {std::pair{Result::answered, "answered"}, std::pair{Result::noAnswer, "no_answer"},
          std::pair{Result::loginRefused, "login_refused"},
          std::pair{Result::pageUnreadable, "page_unreadable"}})
        appendCount(out, "ampwarden_checks_total", QByteArray("outcome=\"") + label + '"',
                    registry.checks(result));
    appendHeader(out, "ampwarden_syslog_datagrams_total", "counter",
                 "Syslog datagrams received, from configured controllers and from unknown senders.");
    appendCount(out, "ampwarden_syslog_datagrams_total", "sender=\"known\"", registry.datagrams(true));
    appendCount(out, "ampwarden_syslog_datagrams_total", "sender=\"unknown\"", registry.datagrams(false));
    appendHeader(out, "ampwarden_mails_total", "counter", "Mails handed to the mail server, by outcome.");
    appendCount(out, "ampwarden_mails_total", "outcome=\"sent\"", registry.mails(true));
    appendCount(out, "ampwarden_mails_total", "outcome=\"failed\"", registry.mails(false));
    if (mailsWaiting >= 0) {
        appendHeader(out, "ampwarden_mails_waiting", "gauge",
                     "Report mails in the outbox, not yet delivered.");
        out.append("ampwarden_mails_waiting ").append(QByteArray::number(mailsWaiting)).append('\n');
    }
    lastSize_ = out.size();
    return out;
}

} // namespace Warden
