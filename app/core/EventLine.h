#pragma once

#include "Event.h"

#include <QByteArrayView>

#include <ctime>
#include <optional>
#include <vector>

namespace Warden::Business {

// One event line of a daily log or "AMW.log", taken apart. The texts are as written (escaped, see
// LogText.h); they point into the line.
struct EventLineFields {
    std::tm clock{}; // local calendar time of the clock text
    QByteArrayView messageId;
    QByteArrayView owner; // the display name, or "(no controller)"
    EventKind kind = EventKind::unknown;
    Transport transport = Transport::http;
    QByteArrayView reason;
    QByteArrayView raw;
};

// Nothing when the line is no event line. The owner is written as it is and may hold quotes, so it
// ends at the first quote that a kind name and a transport follow. The reason is program-made: empty
// for logins, syslog and log rows, "... W" for a reading, and followed by no raw text otherwise.
std::optional<EventLineFields> parseEventLine(QByteArrayView line);

// The clock text "Sun Dec  6 16:31:11 2026" as local calendar fields.
std::optional<std::tm> clockFields(QByteArrayView text);

// The instants whose local clock shows `fields`: none in the hour skipped in spring, two in the hour
// repeated in autumn.
std::vector<Time> instantsOf(const std::tm& fields);

// Turns the clock texts of one file into times. In the repeated hour of autumn the file has gone on
// to the second run once a line was later than the first run's instant: lines are written as events
// come.
class LogClock {
public:
    std::optional<Time> resolve(const std::tm& fields);
    void newFile() { last_ = 0; }

private:
    // The start of the local hour last met, when every second of it is one instant: the lines of an
    // hour then cost no mktime (which stats the zone file each time where TZ is not set).
    struct Hour {
        int year = -1;
        int month = -1;
        int day = -1;
        int hour = -1;
        Time start = 0;
    };
    std::optional<Hour> plainHour(const std::tm& fields) const;

    Time last_ = 0;
    std::optional<Hour> hour_;
};

} // namespace Warden::Business
