#include "EnergyHistory.h"

#include "EnergyMeter.h"

#include "core/Application.h"
#include "core/ClockText.h"
#include "core/ErrorText.h"
#include "core/EventLine.h"
#include "core/LogFileLines.h"

#include <QDate>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace Warden::Business {

namespace {

// The local date of t as yyyymmdd, for comparing.
std::optional<int> localDateKey(Time t) {
    const auto tm = localTime(t);
    if (!tm)
        return std::nullopt;
    return (tm->tm_year + 1900) * 10000 + (tm->tm_mon + 1) * 100 + tm->tm_mday;
}

std::tm localFields(QDate date, int hour = 0, int minute = 0, int second = 0) {
    std::tm tm{};
    tm.tm_year = date.year() - 1900;
    tm.tm_mon = date.month() - 1;
    tm.tm_mday = date.day();
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return tm;
}

// The first second whose local date is `date`. Where the clocks go back at midnight (Atlantic/Azores,
// America/Havana) midnight comes twice and the first one starts the day, so the repeated hour belongs
// to the date its clock shows whatever period an export starts with; mktime alone may pick either
// midnight. Where they go forward at midnight the day starts at 01:00.
Time localDayStart(QDate date) {
    std::tm fields = localFields(date);
    const Time guess = static_cast<Time>(std::mktime(&fields));
    const int key = date.year() * 10000 + date.month() * 100 + date.day();
    const auto before = [key](Time t) {
        const std::optional<int> day = localDateKey(t);
        return day && *day < key;
    };
    if (before(guess - 1) && !before(guess))
        return guess;
    constexpr Time step = 6 * 3600;
    Time earlier = guess - step;
    Time later = guess + step;
    for (int i = 0; i < 8 && !before(earlier); ++i)
        earlier -= step;
    for (int i = 0; i < 8 && before(later); ++i)
        later += step;
    while (later - earlier > 1) {
        const Time middle = earlier + (later - earlier) / 2;
        (before(middle) ? earlier : later) = middle;
    }
    return later;
}

std::optional<QDate> localDate(Time t) {
    const auto tm = localTime(t);
    if (!tm)
        return std::nullopt;
    return QDate(tm->tm_year + 1900, tm->tm_mon + 1, tm->tm_mday);
}

// The start of the period after the one holding t.
Time nextBoundary(Time t, EnergyGrouping by) {
    Time next = t + 3600;
    if (by == EnergyGrouping::hour) {
        // Stepped in real time from the local hour's start, so the repeated hour of autumn is two
        // periods and the skipped one of spring none.
        if (const auto tm = localTime(t))
            next = t - tm->tm_min * 60 - tm->tm_sec + 3600;
    } else if (const std::optional<QDate> date = localDate(t)) {
        next = localDayStart(by == EnergyGrouping::day ? date->addDays(1)
                                                       : QDate(date->year(), date->month(), 1).addMonths(1));
    } else {
        next = t + 86400;
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

// The power of a reading's reason text: logs written before the querying checked loads may hold
// negative or endless ones, which are no readings.
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

// A spreadsheet takes a cell that starts like a formula for one; such a cell gets a leading
// apostrophe, which the spreadsheet shows as text and does not run. Only text cells can start so: the
// numbers and times are written by the export itself.
bool startsLikeFormula(const QByteArray& text) {
    return !text.isEmpty() && QByteArrayView("=+-@\t\r").contains(text.front());
}

QByteArray csvField(const QByteArray& text) {
    const bool formula = startsLikeFormula(text);
    if (!formula && !text.contains(',') && !text.contains('"') && !text.contains('\n') &&
        !text.contains('\r'))
        return text;
    QByteArray quoted = formula ? '\'' + text : text;
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
        // A year without logs is passed in one step: an export may span centuries.
        const std::optional<QDate> date = localDate(day);
        if (date && !QFileInfo::exists(directory + QStringLiteral("/log/") + QString::number(date->year()))) {
            day = std::max(day, localDayStart(QDate(date->year() + 1, 1, 1)) - 1);
            continue;
        }
        const QString path = directory + QLatin1Char('/') + QString::fromUtf8(Application::dailyLogPath(day));
        if (const std::optional<QString> problem = readLog(path))
            unreadable_ << path + QStringLiteral(": ") + *problem;
    }
}

std::optional<QString> EnergyHistory::readLog(const QString& path) {
    const LogFileRead read = readLogLines(path, [this](QByteArrayView line) { addLine(line); });
    skipped_ += read.overlongLines;
    endOfFile();
    return read.problem;
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
    series_[{owner, bus}].readings.push_back(Sample{time, readingWatts(event)});
}

void EnergyHistory::periods(Time from, Time till, EnergyGrouping by, const PeriodSink& sink) {
    const auto byTime = [](const Sample& r, Time t) { return r.time < t; };
    for (auto& [key, series] : series_) {
        const int bus = key.second;
        // Oldest first, readings of one second in file order: the one written last holds on.
        std::vector<Sample>& ascending = series.readings;
        std::stable_sort(ascending.begin(), ascending.end(),
                         [](const Sample& a, const Sample& b) { return a.time < b.time; });

        // Of the readings before `from` only the newest can hold within the export.
        auto next = std::lower_bound(ascending.begin(), ascending.end(), from, byTime);
        EnergyMeter meter(bridge_, from);
        if (next != ascending.begin())
            meter.add(std::prev(next)->time, std::prev(next)->watts);
        // Each period goes out as it is done: a long range by hour is millions of them.
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
            sink(row);
            start = end;
        }
    }
}

QByteArray EnergyHistory::csvHeader() {
    return "controller,bus,period start,period end,kWh,readings,coverage %\n";
}

QByteArray EnergyHistory::csvLine(const EnergyPeriod& row) {
    QByteArray coverage = printed("%.2f", row.coverage);
    // 99.996 % is not all of it.
    if (row.coverage < 100 && coverage == "100.00")
        coverage = "99.99";
    return csvField(row.controller) + ',' + csvField(row.bus) + ',' + isoLocalTime(row.start) + ',' +
           isoLocalTime(row.end) + ',' + printed("%.6f", row.kWh) + ',' + QByteArray::number(row.readings) +
           ',' + coverage + '\n';
}

EnergyExport exportEnergy(QIODevice& out, const QString& directory, Time from, Time till, EnergyGrouping by,
                          const QByteArray& controller, Time bridge, bool allPeriods) {
    EnergyHistory history(bridge, controller);
    history.readLogs(directory, from, till);
    EnergyExport result{history.skippedLines(), history.unreadableFiles(), {}};
    const auto write = [&out, &result](const QByteArray& line) {
        if (result.writeError.isEmpty() && out.write(line) != line.size())
            result.writeError = out.errorString();
    };
    write(EnergyHistory::csvHeader());
    // The periods come bus after bus, each bus's in time order.
    std::optional<std::pair<QByteArray, QByteArray>> begunBus;
    history.periods(from, till, by, [&](const EnergyPeriod& row) {
        const std::pair bus{row.controller, row.bus};
        if (!allPeriods && begunBus != bus) {
            if (row.readings == 0 && row.coverage == 0)
                return;
            begunBus = bus;
        }
        write(EnergyHistory::csvLine(row));
    });
    return result;
}

std::optional<Time> parseLocalTime(const QString& text, bool endOfRange) {
    static const QRegularExpression form(
        QStringLiteral("^(\\d{4})-(\\d{2})-(\\d{2})(?:T(\\d{2}):(\\d{2})(?::(\\d{2}))?)?$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const auto part = [&match](int n) { return match.captured(n).toInt(); };
    const QDate date(part(1), part(2), part(3));
    if (!date.isValid() || part(4) > 23 || part(5) > 59 || part(6) > 59)
        return std::nullopt;
    if (!match.hasCaptured(4))
        return localDayStart(endOfRange ? date.addDays(1) : date);
    // A time that the clocks show twice is its first instant, like the midnight that starts a day.
    std::optional<Time> earliest;
    for (const int dst : {0, 1}) {
        std::tm tm = localFields(date, part(4), part(5), part(6));
        tm.tm_isdst = dst;
        const Time t = static_cast<Time>(std::mktime(&tm));
        const auto shown = localTime(t);
        if (shown && shown->tm_year == date.year() - 1900 && shown->tm_mon == date.month() - 1 &&
            shown->tm_mday == date.day() && shown->tm_hour == part(4) && shown->tm_min == part(5) &&
            shown->tm_sec == part(6))
            earliest = std::min(t, earliest.value_or(t));
    }
    if (earliest)
        return earliest;
    // A time the clocks skip: where mktime puts it.
    std::tm tm = localFields(date, part(4), part(5), part(6));
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
