#include "EventLine.h"

#include "ClockText.h"

#include <array>
#include <charconv>

namespace Warden::Business {

namespace {

bool sameClock(const std::tm& a, const std::tm& b) {
    return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday &&
           a.tm_hour == b.tm_hour && a.tm_min == b.tm_min && a.tm_sec == b.tm_sec;
}

// `rest` follows the quote that opens the reason. False when the reason is not closed: a line cut short.
bool splitReason(QByteArrayView rest, EventKind kind, EventLineFields& fields) {
    const QByteArrayView closeThenRaw("\" ");
    if (rest.startsWith(closeThenRaw) || rest == QByteArrayView("\"")) {
        fields.raw = rest.size() > 2 ? rest.sliced(2) : QByteArrayView();
        return true;
    }
    if (kind == EventKind::values) {
        // A reading's raw text is the page's load comment, which may hold anything; its reason ends
        // in " W".
        qsizetype end = rest.indexOf(QByteArrayView(" W\" "));
        if (end < 0 && rest.endsWith(QByteArrayView(" W\"")))
            end = rest.size() - 3;
        if (end >= 0) {
            fields.reason = rest.first(end + 2);
            fields.raw = end + 4 <= rest.size() ? rest.sliced(end + 4) : QByteArrayView();
            return true;
        }
    } else if (rest.endsWith(closeThenRaw)) {
        fields.reason = rest.chopped(2);
        return true;
    }
    const qsizetype end = rest.indexOf(closeThenRaw);
    if (end < 0) {
        if (!rest.endsWith('"'))
            return false;
        fields.reason = rest.chopped(1);
        return true;
    }
    fields.reason = rest.first(end);
    fields.raw = rest.sliced(end + 2);
    return true;
}

} // namespace

std::optional<std::tm> clockFields(QByteArrayView text) {
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    std::array<QByteArrayView, 5> words;
    qsizetype count = 0;
    for (qsizetype i = 0; i < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        qsizetype end = i;
        while (end < text.size() && text[end] != ' ')
            ++end;
        if (count == 5)
            return std::nullopt;
        words[count++] = text.sliced(i, end - i);
        i = end;
    }
    if (count != 5 || words[1].size() != 3 || words[3].size() != 8 || words[3][2] != ':' ||
        words[3][5] != ':')
        return std::nullopt;
    const auto number = [](QByteArrayView digits, int& value) {
        const char* end = digits.data() + digits.size();
        const auto [p, ec] = std::from_chars(digits.data(), end, value);
        return ec == std::errc() && p == end && !digits.isEmpty() && digits[0] != '-';
    };
    std::tm tm{};
    tm.tm_mon = 0;
    while (tm.tm_mon < 12 && words[1] != QByteArrayView(months + 3 * tm.tm_mon, 3))
        ++tm.tm_mon;
    if (tm.tm_mon == 12 || !number(words[2], tm.tm_mday) || !number(words[3].sliced(0, 2), tm.tm_hour) ||
        !number(words[3].sliced(3, 2), tm.tm_min) || !number(words[3].sliced(6, 2), tm.tm_sec) ||
        !number(words[4], tm.tm_year))
        return std::nullopt;
    tm.tm_year -= 1900;
    if (tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 60)
        return std::nullopt;
    return tm;
}

std::vector<Time> instantsOf(const std::tm& fields) {
    // One mktime and its neighbours by whole and half hours: asking mktime for a daylight saving flag
    // the zone never has sends glibc searching for years.
    std::tm guess = fields;
    guess.tm_isdst = -1;
    const Time near = static_cast<Time>(std::mktime(&guess));
    std::vector<Time> found;
    for (Time t : {near - 3600, near - 1800, near, near + 1800, near + 3600}) {
        const auto back = localTime(t);
        if (back && sameClock(*back, fields))
            found.push_back(t);
    }
    return found;
}

std::optional<LogClock::Hour> LogClock::plainHour(const std::tm& fields) const {
    std::tm first = fields;
    first.tm_min = first.tm_sec = 0;
    std::tm last = fields;
    last.tm_min = last.tm_sec = 59;
    const std::vector<Time> starts = instantsOf(first);
    const std::vector<Time> ends = instantsOf(last);
    if (starts.size() != 1 || ends.size() != 1 || ends.front() - starts.front() != 3599)
        return std::nullopt;
    return Hour{fields.tm_year, fields.tm_mon, fields.tm_mday, fields.tm_hour, starts.front()};
}

std::optional<Time> LogClock::resolve(const std::tm& fields) {
    if (!hour_ || hour_->year != fields.tm_year || hour_->month != fields.tm_mon ||
        hour_->day != fields.tm_mday || hour_->hour != fields.tm_hour)
        hour_ = plainHour(fields);
    if (hour_ && fields.tm_sec < 60) {
        const Time t = hour_->start + fields.tm_min * 60 + fields.tm_sec;
        last_ = std::max(last_, t);
        return t;
    }
    const std::vector<Time> instants = instantsOf(fields);
    if (instants.empty())
        return std::nullopt;
    const Time t = instants.size() > 1 && last_ > instants.front() ? instants.back() : instants.front();
    last_ = std::max(last_, t);
    return t;
}

std::optional<EventLineFields> parseEventLine(QByteArrayView line) {
    if (line.endsWith('\r'))
        line.chop(1);
    // messageId "clock" "owner" kind transport "reason" raw
    const qsizetype q1 = line.indexOf('"');
    const qsizetype q2 = q1 < 0 ? -1 : line.indexOf('"', q1 + 1);
    const std::optional<std::tm> clock =
        q2 < 0 ? std::nullopt : clockFields(line.sliced(q1 + 1, q2 - q1 - 1));
    if (!clock || !line.sliced(q2).startsWith(QByteArrayView("\" \"")))
        return std::nullopt;
    EventLineFields fields;
    fields.clock = *clock;
    fields.messageId = q1 > 0 ? line.first(q1 - 1) : QByteArrayView();
    const qsizetype ownerStart = q2 + 3;
    static const std::array<QByteArray, 6> tokens = [] {
        std::array<QByteArray, 6> words;
        for (int kind = 0; kind < 6; ++kind)
            words[kind] = "\" " + eventKindName(static_cast<EventKind>(kind)) + ' ';
        return words;
    }();
    for (qsizetype q = line.indexOf('"', ownerStart); q >= 0; q = line.indexOf('"', q + 1)) {
        const QByteArrayView after = line.sliced(q);
        for (int kind = 0; kind < static_cast<int>(tokens.size()); ++kind) {
            if (!after.startsWith(tokens[kind]))
                continue;
            QByteArrayView rest = after.sliced(tokens[kind].size());
            if (rest.startsWith(QByteArrayView("http \""))) {
                fields.transport = Transport::http;
                rest = rest.sliced(6);
            } else if (rest.startsWith(QByteArrayView("syslog \""))) {
                fields.transport = Transport::syslog;
                rest = rest.sliced(8);
            } else {
                continue;
            }
            fields.kind = static_cast<EventKind>(kind);
            fields.owner = line.sliced(ownerStart, q - ownerStart);
            if (!splitReason(rest, fields.kind, fields))
                return std::nullopt;
            return fields;
        }
    }
    return std::nullopt;
}

} // namespace Warden::Business
