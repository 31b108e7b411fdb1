#pragma once

#include <QByteArray>

namespace Warden::Business {

// Turns the two pages of the controller at `index` (its position in Application::controllers) into
// events: a load reading, and an under- or over-current alarm when a limit is crossed, for every
// "<!-- RAW " comment of indexPage, and one login or other event for every row of the syslogPage log
// table that is newer than the previous check. Moves the controller's check time to its own clock
// before and marks its log as read after. Either page may be empty. Returns whether the controller's
// clock was read, that is whether the pages made a check at all.
//
// Main thread only: it changes the controller's times and the event store without a lock.
bool getLogs(int index, const QByteArray& indexPage, const QByteArray& syslogPage);

} // namespace Warden::Business
