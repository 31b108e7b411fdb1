#include "Clock.h"

#include <ctime>

namespace Warden {

namespace {
Clock::Source& source() {
    static Clock::Source s;
    return s;
}
} // namespace

qint64 Clock::now() {
    const Source& s = source();
    return s ? s() : static_cast<qint64>(std::time(nullptr));
}

void Clock::setSource(Source s) {
    source() = std::move(s);
}

} // namespace Warden
