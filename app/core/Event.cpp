#include "Event.h"

#include <array>

namespace Warden::Business {

const QByteArray& eventKindName(EventKind kind) {
    static const std::array<QByteArray, 6> names{"login_success", "login_failure", "overcurrent",
                                                 "undercurrent",  "values",        "unknown"};
    static const QByteArray none;
    const int n = static_cast<int>(kind);
    return n >= 0 && n < static_cast<int>(names.size()) ? names[n] : none;
}

QByteArray transportName(Transport transport) {
    return transport == Transport::http ? "http" : "syslog";
}

} // namespace Warden::Business
