#include "core/Clock.h"
#include "query/ControllerClock.h"

#include <cstddef>
#include <cstdint>

// Arbitrary "/syslog.htm" pages through the clock reader.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool fixedClock = [] {
        Warden::Clock::setSource([] { return qint64(1796574671); });
        return true;
    }();
    (void)fixedClock;
    const QByteArray page(reinterpret_cast<const char*>(data), qsizetype(size));
    const auto result = Warden::Business::getTime(page);
    if (result.uptime < -1)
        __builtin_trap();
    return 0;
}
