#include "ClockText.h"

#include <cstdio>
#include <cstring>

namespace Warden {

std::optional<std::tm> localTime(qint64 t) {
    const std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    if (!localtime_r(&tt, &tm))
        return std::nullopt;
    return tm;
}

namespace {
QByteArray asctimeOf(qint64 t) {
    const auto tm = localTime(t);
    char buffer[64] = {};
    if (!tm || !asctime_r(&*tm, buffer))
        return {};
    return QByteArray(buffer);
}
} // namespace

namespace {
// asctime's "%.3s %.3s%3d %.2d:%.2d:%.2d %d" written by hand: every event line carries one, and
// snprintf was most of the cost of a line.
QByteArray formatAsctime(const std::tm& tm) {
    static const char days[] = "SunMonTueWedThuFriSat";
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    if (tm.tm_wday < 0 || tm.tm_wday > 6 || tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 0 ||
        tm.tm_mday > 99)
        return {};
    char buffer[32];
    char* p = buffer;
    auto two = [&p](int v) {
        *p++ = static_cast<char>('0' + v / 10);
        *p++ = static_cast<char>('0' + v % 10);
    };
    std::memcpy(p, days + 3 * tm.tm_wday, 3);
    p += 3;
    *p++ = ' ';
    std::memcpy(p, months + 3 * tm.tm_mon, 3);
    p += 3;
    *p++ = ' ';
    *p++ = tm.tm_mday < 10 ? ' ' : static_cast<char>('0' + tm.tm_mday / 10);
    *p++ = static_cast<char>('0' + tm.tm_mday % 10);
    *p++ = ' ';
    two(tm.tm_hour);
    *p++ = ':';
    two(tm.tm_min);
    *p++ = ':';
    two(tm.tm_sec);
    *p++ = ' ';
    QByteArray text(buffer, p - buffer);
    text += QByteArray::number(tm.tm_year + 1900);
    return text;
}
} // namespace

QByteArray clockText(qint64 t) {
    // Events come in bursts within one second; remember the last answer of this thread.
    thread_local qint64 lastTime = 0;
    thread_local QByteArray lastText;
    if (t == lastTime && !lastText.isEmpty())
        return lastText;
    const auto tm = localTime(t);
    if (!tm || tm->tm_hour > 99 || tm->tm_min > 99 || tm->tm_sec > 99 || tm->tm_hour < 0 || tm->tm_min < 0 ||
        tm->tm_sec < 0)
        return {};
    lastTime = t;
    lastText = formatAsctime(*tm);
    return lastText;
}

QByteArray ctimeText(qint64 t) {
    return asctimeOf(t);
}

QByteArray formatG(double value) {
    char buffer[64];
    const int n = std::snprintf(buffer, sizeof buffer, "%g", value);
    return QByteArray(buffer, n < 0 ? 0 : n);
}

} // namespace Warden
