#pragma once

#include "Records.h"

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
};

} // namespace Warden::Business
