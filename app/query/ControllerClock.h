#pragma once

#include "core/Records.h"

#include <QByteArray>

namespace Warden::Business {

// What a controller's "/syslog.htm" says about its clock.
struct ControllerTime {
    // The time to take as the controller's current time; 0 when none could be read.
    Time time = 0;
    // Seconds since the controller started, for controllers without a real-time clock; -1 for a
    // controller that shows a date, and on every failure.
    qint64 uptime = -1;
};

// Reads the time cell that ends with the comment "s up -->". A clock more than 30 minutes away from
// the host's is replaced by the host's time. Failures are written to "app.log". Main thread only.
ControllerTime getTime(const QByteArray& page);

} // namespace Warden::Business
