#include "ClockText.h"

#include <cstdio>

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

QByteArray clockText(qint64 t) {
    QByteArray text = asctimeOf(t);
    const qsizetype end = text.indexOf('\n');
    const qsizetype cr = text.indexOf('\r');
    qsizetype cut = end;
    if (cr >= 0 && (cut < 0 || cr < cut))
        cut = cr;
    if (cut >= 0)
        text.truncate(cut);
    return text;
}

QByteArray ctimeText(qint64 t) { return asctimeOf(t); }

QByteArray formatG(double value) {
    char buffer[64];
    const int n = std::snprintf(buffer, sizeof buffer, "%g", value);
    return QByteArray(buffer, n < 0 ? 0 : n);
}

} // namespace Warden
