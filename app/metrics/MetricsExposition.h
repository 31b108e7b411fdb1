#pragma once

#include "core/CheckOutcome.h"
#include "core/Event.h"
#include "energy/EnergyMeter.h"
#include "status/BusLoad.h"

#include <QByteArray>

#include <array>
#include <unordered_map>

namespace Warden {

namespace Business {
class Application;
}

// What the metrics endpoint tells: every configured controller and bus as the latest checks and
// readings left them, and the registry's totals, in the Prometheus text format. It hears checks and
// events as they happen and keeps per controller only what a scrape needs, so that drawing the text
// never walks the event store. Main thread only, like the state it reads.
class MetricsExposition final {
public:
    static constexpr const char* contentType = "text/plain; version=0.0.4; charset=utf-8";

    explicit MetricsExposition(const Business::Application& app)
        : app_(app) {}

    // A controller's check has ended at `now`.
    void checked(Business::ControllerId controller, const Business::CheckOutcome& outcome, Business::Time now);
    // The controller left the list: its series go with it.
    void forget(Business::ControllerId controller) { states_.erase(controller); }
    // An event was stored: readings move the bus values and the energy counters.
    void eventAdded(const Business::Event& event);
    // The whole exposition. `mailsWaiting` is left out when negative (no outbox).
    QByteArray render(int mailsWaiting = -1);

    // A label value as the format wants it: backslash, double quote and line feed escaped, and bytes
    // that are no UTF-8 replaced, since Prometheus refuses a scrape with either.
    static QByteArray labelValue(const QByteArray& text);

    void reset() { states_.clear(); }

private:
    struct Bus {
        bool read = false;
        BusLoad load;
        Business::EnergyMeter energy{0};
    };
    struct State {
        // Who the state was gathered for: a controller changed in the settings, or a new one at the
        // address of a removed one, starts afresh.
        QByteArray name;
        QByteArray host;
        qint32 type = 0;
        quint16 port = 0;
        bool up = false;
        Business::Time lastGood = 0;
        std::array<Bus, 2> buses;
    };

    State& stateOf(const Business::Controller& controller);

    const Business::Application& app_;
    std::unordered_map<Business::ControllerId, State> states_;
    qsizetype lastSize_ = 0;
};

} // namespace Warden
