#pragma once

#include <QtGlobal>

#include <functional>

namespace Warden {

// The one place that says what time it is. Tests replace the source to run days of schedule in
// milliseconds; the default is the system clock.
class Clock {
public:
    using Source = std::function<qint64()>;

    static qint64 now();
    // An empty source restores the system clock. Set it before other threads start reading.
    static void setSource(Source source);
};

} // namespace Warden
