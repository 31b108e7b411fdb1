#pragma once

#include "Records.h"

#include <map>

namespace Warden::Business {

enum class EventKind : int {
    login_success = 0,
    login_failure = 1,
    overcurrent = 2,
    undercurrent = 3,
    values = 4,
    unknown = 5,
};

enum class Transport : int {
    http = 0,
    syslog = 1,
};

class EventStore;

// The load readings of one channel: time -> watts, oldest first. Readings of the same second are all
// kept.
using Transitions = std::multimap<Time, double>;

const QByteArray& eventKindName(EventKind kind);
// Any value other than http prints as "syslog".
QByteArray transportName(Transport transport);

struct Event {
    QByteArray messageId;
    Time time = 0;
    EventKind kind = EventKind::unknown;
    Transport transport = Transport::http;
    QByteArray reason;
    QByteArray raw;
    // 0 once the controller has been removed; such an event counts as never reported.
    ControllerId owner = 0;

    bool isLogin() const { return static_cast<int>(kind) < 2; }
    bool isUnderOverCurrent() const {
        return kind == EventKind::overcurrent || kind == EventKind::undercurrent;
    }

    // The readings of `controller` on `channel` (0 = A, 1 = B) that the load over [from, till] depends
    // on: every reading from the newest down to the one in force at `from`. Defined with the energy
    // code (app/energy), which is what links it.
    static Transitions isUnderOverCurrent(const Controller& controller, Time from, Time till,
                                          const EventStore& store, int channel);
};

} // namespace Warden::Business
