#include "EnergyHistory.h"

#include "EnergyMeter.h"

#include "core/Application.h"
#include "core/ClockText.h"
#include "core/EventLine.h"

#include <QDate>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace Warden::Business {

namespace {

Time localMidnightAfter(Time t, int days, int months) {
    const auto tm = localTime(t);
    if (!tm)
        return t + 86400;
    std::tm next = *tm;
    next.tm_hour = next.tm_min = next.tm_sec = 0;
    next.tm_mday = months ? 1 : next.tm_mday + days;
    next.tm_mon += months;
    next.tm_isdst = -1;
    return static_cast<Time>(std::mktime(&next));
}

// The start of the period after the one holding t.
Time nextBoundary(Time t, EnergyGrouping by) {
    Time next = t + 3600;
    if (by == EnergyGrouping::hour) {
        // Stepped in real time from the local hour's start, so the repeated hour of autumn is two
        // periods and the skipped one of spring none.
        if (const auto tm = localTime(t))
            next = t - tm->tm_min * 60 - tm->tm_sec + 3600;
    } else {
        next = localMidnightAfter(t, by == EnergyGrouping::day ? 1 : 0, by == EnergyGrouping::month ? 1 : 0);
    }
    return next > t ? next : t + 1;
}

// "name : model @ host[:port]" -> name and model; names may hold anything but a host holds no " @ ".
std::pair<QByteArrayView, QByteArrayView> nameAndModel(QByteArrayView owner) {
    const qsizetype at = owner.lastIndexOf(QByteArrayView(" @ "));
    if (at < 0)
        return {owner, {}};
    const qsizetype colon = owner.first(at).lastIndexOf(QByteArrayView(" : "));
    if (colon < 0)
        return {owner.first(at), {}};
    return {owner.first(colon), owner.sliced(colon + 3, at - colon - 3)};
}

bool hasTwoBuses(QByteArrayView model) {
    for (const auto& [type, name] : Application::modelNames()) {
        if (name == model)
            return Application::hasTwoBuses(type);
    }
    return true; // an unknown model: keep what the readings say
}

// The power of a reading's reason text, checked the way the querying checks it today: logs written
// before that may hold negative or endless loads, which are no readings.
bool plausibleWatts(QByteArrayView reason) {
    const qsizetype comma = reason.lastIndexOf(',');
    if (comma < 0 || !reason.endsWith(QByteArrayView(" W")))
        return false;
    QByteArrayView number = reason.sliced(comma + 1, reason.size() - comma - 3).trimmed();
    double watts = 0;
    const char* end = number.data() + number.size();
    const auto [p, ec] = std::from_chars(number.data(), end, watts, std::chars_format::general);
    return !number.isEmpty() && ec == std::errc() && p == end && std::isfinite(watts) && watts >= 0;
}

QByteArray csvField(const QByteArray& text) {
    if (!text.contains(',') && !text.contains('"') && !text.contains('\n') && !text.contains('\r'))
        return text;
    QByteArray quoted = text;
    quoted.replace('"', "\"\"");
    return '"' + quoted + '"';
}

QByteArray printed(const char* format, double value) {
    char buffer[64];
    const int n = std::snprintf(buffer, sizeof buffer, format, value);
    return QByteArray(buffer, std::clamp(n, 0, static_cast<int>(sizeof buffer) - 1));
}

} // namespace

EnergyHistory::EnergyHistory(Time bridge, QByteArray controller)
    : bridge_(std::max<Time>(bridge, 1))
    , controller_(std::move(controller)) {
}

void EnergyHistory::readLogs(const QString& directory, Time from, Time till) {
    for (Time day = from - bridge_; day < till; day = nextBoundary(day, EnergyGrouping::day)) {
        QFile file(directory + QLatin1Char('/') + QString::fromUtf8(Application::dailyLogPath(day)));
        if (!file.exists())
            continue;
        if (!file.open(QIODevice::ReadOnly)) {
            unreadable_ << file.fileName() + QStringLiteral(": ") + file.errorString();
            continue;
        }
        const QByteArray content = file.readAll();
        if (file.error() != QFileDevice::NoError) {
            unreadable_ << file.fileName() + QStringLiteral(": ") + file.errorString();
            continue;
        }
        for (qsizetype start = 0; start < content.size();) {
            qsizetype end = content.indexOf('\n', start);
            if (end < 0)
                end = content.size();
            addLine(QByteArrayView(content).sliced(start, end - start));
            start = end + 1;
        }
        endOfFile();
    }
}

void EnergyHistory::addLine(QByteArrayView line) {
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.isEmpty())
        return;
    const std::optional<EventLineFields> fields = parseEventLine(line);
    if (!fields) {
        ++skipped_;
        return;
    }
    if (fields->kind != EventKind::values)
        return;
    if (!plausibleWatts(fields->reason)) {
        ++skipped_;
        return;
    }
    const QByteArray owner = fields->owner.toByteArray();
    if (!controller_.isEmpty() && owner != controller_ && nameAndModel(owner).first != controller_)
        return;
    const std::optional<Time> time = clock_.resolve(fields->clock);
    if (!time) {
        ++skipped_;
        return;
    }
    addReading(owner, *time, fields->reason.toByteArray());
}

void EnergyHistory::addReading(const QByteArray& owner, Time time, const QByteArray& reason) {
    Event event;
    event.kind = EventKind::values;
    event.time = time;
    event.reason = reason;
    // A one-bus model has one bus whatever its channel is called; it reports it as bus A.
    const int bus = hasTwoBuses(nameAndModel(owner).second) ? readingChannel(event) : 0;
    series_[{owner, bus}].readings.push_back(Reading{time, bus, readingWatts(event)});
}

std::vector<EnergyPeriod> EnergyHistory::periods(Time from, Time till, EnergyGrouping by) const {
    std::vector<EnergyPeriod> rows;
    const auto byTime = [](const Reading& r, Time t) { return r.time < t; };
    for (const auto& [key, series] : series_) {
        const int bus = key.second;
        // Oldest first, readings of one second in file order: the one written last holds on.
        std::vector<Reading> ascending = series.readings;
        std::stable_sort(ascending.begin(), ascending.end(),
                         [](const Reading& a, const Reading& b) { return a.time < b.time; });

        // Of the readings before `from` only the newest can hold within the export.
        auto next = std::lower_bound(ascending.begin(), ascending.end(), from, byTime);
        EnergyMeter meter(bridge_, from);
        if (next != ascending.begin())
            meter.add(std::prev(next)->time, std::prev(next)->watts);
        for (Time start = from; start < till;) {
            const Time end = std::min(nextBoundary(start, by), till);
            EnergyPeriod row{key.first, bus == 0 ? "A" : "B", start, end};
            meter.restart(start);
            const auto first = next;
            for (; next != ascending.end() && next->time < end; ++next)
                meter.add(next->time, next->watts);
            row.readings = next - first;
            row.kWh = meter.kWh(end);
            row.coverage = 100.0 * static_cast<double>(meter.covered(end)) / static_cast<double>(end - start);
            rows.push_back(row);
            start = end;
        }
    }
    return rows;
}

QByteArray EnergyHistory::csv(const std::vector<EnergyPeriod>& rows) {
    QByteArray out = "controller,bus,period start,period end,kWh,readings,coverage %\n";
    for (const EnergyPeriod& row : rows) {
        QByteArray coverage = printed("%.2f", row.coverage);
        // 99.996 % is not all of it.
        if (row.coverage < 100 && coverage == "100.00")
            coverage = "99.99";
        out += csvField(row.controller) + ',' + row.bus + ',' + isoLocalTime(row.start) + ',' +
               isoLocalTime(row.end) + ',' + printed("%.6f", row.kWh) + ',' +
               QByteArray::number(row.readings) + ',' + coverage + '\n';
    }
    return out;
}

EnergyExport exportEnergy(const QString& directory, Time from, Time till, EnergyGrouping by,
                          const QByteArray& controller, Time bridge) {
    EnergyHistory history(bridge, controller);
    history.readLogs(directory, from, till);
    return {EnergyHistory::csv(history.periods(from, till, by)), history.skippedLines(),
            history.unreadableFiles()};
}

std::optional<Time> parseLocalTime(const QString& text, bool endOfRange) {
    static const QRegularExpression form(
        QStringLiteral("^(\\d{4})-(\\d{2})-(\\d{2})(?:T(\\d{2}):(\\d{2})(?::(\\d{2}))?)?$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const auto part = [&match](int n) { return match.captured(n).toInt(); };
    if (!QDate(part(1), part(2), part(3)).isValid() || part(4) > 23 || part(5) > 59 || part(6) > 59)
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = part(1) - 1900;
    tm.tm_mon = part(2) - 1;
    tm.tm_mday = part(3) + (endOfRange && !match.hasCaptured(4) ? 1 : 0);
    tm.tm_hour = part(4);
    tm.tm_min = part(5);
    tm.tm_sec = part(6);
    tm.tm_isdst = -1;
    return static_cast<Time>(std::mktime(&tm));
}

std::optional<EnergyGrouping> parseGrouping(const QString& text) {
    if (text == QLatin1String("hour"))
        return EnergyGrouping::hour;
    if (text == QLatin1String("day"))
        return EnergyGrouping::day;
    if (text == QLatin1String("month"))
        return EnergyGrouping::month;
    return std::nullopt;
}

QByteArray isoLocalTime(Time t) {
    const auto tm = localTime(t);
    if (!tm)
        return {};
    const long offset = tm->tm_gmtoff;
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    char buffer[64];
    const int n = std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld",
                                tm->tm_year + 1900, tm->tm_mon + 1, tm->tm_mday, tm->tm_hour, tm->tm_min,
                                tm->tm_sec, offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return QByteArray(buffer, std::clamp(n, 0, static_cast<int>(sizeof buffer) - 1));
}

} // namespace Warden::Business
