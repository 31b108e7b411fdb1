#pragma once

#include "core/CheckOutcome.h"

#include <QByteArray>

namespace Warden::Business {

// Turns the two pages of the controller at `index` (its position in Application::controllers) into
// events: a load reading, and an under- or over-current alarm when a limit is crossed, for every
// "<!-- RAW " comment of indexPage, and one login or other event for every row of the syslogPage log
// table that is newer than the previous check. Moves the controller's check time to its own clock
// before and marks its log as read after. Either page may be empty. Returns whether the pages could be
// read (a controller clock was found) and the bus currents of the configured channels.
//
// Main thread only: it changes the controller's times and the event store without a lock.
CheckOutcome getLogs(int index, const QByteArray& indexPage, const QByteArray& syslogPage);

} // namespace Warden::Business
