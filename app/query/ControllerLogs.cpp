#include "ControllerLogs.h"

#include "ControllerClock.h"
#include "FormattedReader.h"
#include "OldestRows.h"
#include "ProblemLines.h"
#include "core/Application.h"
#include "core/Clock.h"
#include "core/ClockText.h"
#include "core/DiagnosticLog.h"
#include "core/LogText.h"
#include "core/ReadingLimits.h"
#include "core/StateFile.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <ctime>
#include <optional>
#include <vector>

namespace Warden::Business {

namespace {

constexpr QByteArrayView loadCommentStart = "<!-- RAW ";
constexpr QByteArrayView commentEnd = " -->";
constexpr QByteArrayView headingEnd = "<!-- /heading table -->";
constexpr QByteArrayView rowStart = "<tr><td nowrap>";
constexpr QByteArrayView rowEnd = "</td></tr>";

const std::array<QByteArrayView, 12> monthNames{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

QByteArray num(qint64 value) {
    return QByteArray::number(value);
}

// Finds `needle` at or after a position, remembering the last answer. Callers ask with positions
// that only grow, so a page with many openings and no closing is still searched once, not once per
// opening.
class ForwardFinder {
public:
    ForwardFinder(const QByteArray& text, QByteArrayView needle)
        : text_(text)
        , needle_(needle) {}

    qsizetype from(qsizetype position) {
        if (searched_ && (found_ < 0 || found_ >= position))
            return found_;
        searched_ = true;
        found_ = text_.indexOf(needle_, position);
        return found_;
    }

private:
    const QByteArray& text_;
    QByteArrayView needle_;
    bool searched_ = false;
    qsizetype found_ = -1;
};

struct ChannelLimits {
    QByteArray name;
    double undercurrent = 0;
    double overcurrent = 0;
    double pf = 1;
};

ChannelLimits limitsOf(const ChannelSettings& channel) {
    return {channel.optionalName, channel.undercurrent, channel.overcurrent, channel.pf};
}

std::optional<ChannelLimits> channelFor(const Controller& controller, const QByteArray& letter) {
    for (const ChannelSettings& channel : controller.channels) {
        if (channel.optionalName == letter)
            return limitsOf(channel);
    }
    // A one-bus model names its only channel with an empty text, and its readings come as bus A.
    if (letter == "A" && !controller.channels.empty() && !Application::hasTwoBuses(controller.type))
        return limitsOf(controller.channels.front());
    return std::nullopt;
}

// One value of a load comment as read.
struct LoadValue {
    double value = 0;
    // Nothing there reads as a number (a missing key, "N/A", an empty value): taken as 0.
    bool unreadable = false;
};

// Whether text begins with what a C library prints for a value that is no finite number ("nan",
// "-inf", "INF", "infinity").
bool namesNonFinite(QByteArrayView text) {
    QByteArrayView word;
    if (!FormattedReader(text).readWord(word))
        return false;
    if (word.startsWith('+') || word.startsWith('-'))
        word = word.sliced(1);
    qsizetype letters = 0;
    while (letters < word.size() && std::isalpha(static_cast<unsigned char>(word[letters])))
        ++letters;
    const QByteArray name = word.first(letters).toByteArray().toLower();
    return name == "nan" || name == "inf" || name == "infinity";
}

// The number right after `key` in content: 0 when none can be read there, nothing when what follows is
// a number no load can have (negative, printed as "nan" or "inf", or out of a double's range).
std::optional<LoadValue> valueAfter(const QByteArray& content, const QByteArray& key) {
    const qsizetype at = content.indexOf(key);
    if (at < 0)
        return LoadValue{0, true};
    const QByteArrayView text = QByteArrayView(content).sliced(at + key.size());
    FormattedReader reader(text);
    double value = 0;
    if (!reader.readDouble(value)) {
        if (reader.outOfRange() || namesNonFinite(text))
            return std::nullopt;
        return LoadValue{0, true};
    }
    if (!std::isfinite(value) || value < 0)
        return std::nullopt;
    return LoadValue{value, false};
}

// What one call could not take as it came; written as one line at its end rather than one per value.
struct Rejected {
    int unreadable = 0;
    int readings = 0;
    int absurd = 0;
    int rows = 0;
};

// What one check found on the pages of one controller, and what it takes from them.
struct PageCheck {
    Application& app;
    Controller* controller = nullptr;
    Rejected rejected;
    ProblemLines problems{problemLinesPerCheck};
    CheckOutcome outcome;
};

void addLoadEvents(PageCheck& check, const QByteArray& content) {
    Controller* controller = check.controller;
    Rejected& rejected = check.rejected;
    const Time now = Clock::now();
    const QByteArray letter = content.contains("VAH=") ? "A" : "B";
    const std::optional<ChannelLimits> configured = channelFor(*controller, letter);
    const ChannelLimits channel = configured.value_or(ChannelLimits{});
    const std::optional<LoadValue> volts = valueAfter(content, 'V' + letter + "H=");
    const std::optional<LoadValue> amps = valueAfter(content, 'C' + letter + "H=");
    // Negative, endless or absurd loads would bill negative, endless or absurd energy: such a reading
    // is left out. A value that cannot be read is 0, and 0 A is below any minimum, so it raises the
    // undercurrent alarm.
    if (!volts || !amps) {
        ++rejected.readings;
        return;
    }
    if (!ReadingLimits::plausibleVolts(volts->value) || !ReadingLimits::plausibleAmps(amps->value) ||
        !ReadingLimits::plausiblePowerFactor(channel.pf)) {
        ++rejected.absurd;
        return;
    }
    const double watts = volts->value * amps->value * channel.pf;
    rejected.unreadable += int(volts->unreadable) + int(amps->unreadable);
    check.app.addEvent({}, now, controller->id, EventKind::values, Transport::http,
                          "Current loads on channel " + channel.name + ": " + formatG(volts->value) + " V, " +
                              formatG(amps->value) + " A, " + formatG(watts) + " W",
                          content.left(loadCommentKept));
    if (configured)
        check.outcome.readings.push_back({letter, amps->value, channel.undercurrent, channel.overcurrent});
    if (channel.undercurrent > amps->value)
        check.app.addEvent({}, now, controller->id, EventKind::undercurrent, Transport::http,
                              "Undercurrent on channel " + channel.name, {});
    if (amps->value > channel.overcurrent)
        check.app.addEvent({}, now, controller->id, EventKind::overcurrent, Transport::http,
                              "Overcurrent on channel " + channel.name, {});
}

qsizetype countOf(const QByteArray& text, QByteArrayView needle) {
    qsizetype count = 0;
    for (qsizetype at = text.indexOf(needle); at >= 0; at = text.indexOf(needle, at + needle.size()))
        ++count;
    return count;
}

void readLoadComments(PageCheck& check, const QByteArray& page) {
    // One comment per bus: more than the model has buses is no status page of this controller, and
    // taking them all would make a reading and an alarm of every one.
    const qsizetype buses = Application::hasTwoBuses(check.controller->type) ? 2 : 1;
    if (const qsizetype comments = countOf(page, loadCommentStart); comments > buses) {
        DiagnosticLog::write("Application::getLogs(): " + check.controller->displayName() +
                             ": the status page holds " + num(comments) + " load comments, more than the " +
                             num(buses) + " buses of the model; no readings taken from it\n");
        return;
    }
    ForwardFinder ends(page, commentEnd);
    qsizetype at = page.indexOf(loadCommentStart);
    while (at >= 0) {
        const qsizetype contentStart = at + loadCommentStart.size();
        const qsizetype next = page.indexOf(loadCommentStart, at + 1);
        // A comment cannot hold another one; stopping the content at the next opening keeps a page
        // of unclosed comments from making every reading carry the rest of the page.
        qsizetype contentEnd = ends.from(contentStart);
        if (contentEnd < 0)
            contentEnd = page.size();
        if (next >= 0 && next < contentEnd)
            contentEnd = std::max(next, contentStart);
        addLoadEvents(check, page.mid(contentStart, contentEnd - contentStart));
        at = next;
    }
}

std::optional<int> monthNumber(QByteArrayView word) {
    for (int i = 0; i < int(monthNames.size()); ++i) {
        if (word == monthNames[i])
            return i;
    }
    return std::nullopt;
}

QByteArray hms(int h, int m, int s) {
    return '"' + num(h) + ':' + num(m) + ':' + num(s) + '"';
}

// "hh:mm:ss" with any one character between the numbers; a number that cannot be read stays as it was.
void readHms(FormattedReader& reader, int& h, int& m, int& s) {
    reader.readInt(h);
    reader.skipOne();
    reader.readInt(m);
    reader.skipOne();
    reader.readInt(s);
}

// The controller's time of one log line, or nothing when the line does not start with one.
std::optional<Time> rowTime(QByteArrayView text, const ControllerTime& clock, ProblemLines& problems) {
    FormattedReader reader(text);
    int h = -1;
    int m = -1;
    int s = -1;
    if (clock.uptime >= 0) {
        readHms(reader, h, m, s);
        if (h < 0 || m < 0 || s < 0) {
            problems.add("Application::getLogs(): diff > -1: " + hms(h, m, s) +
                         " is not valid hr::mn::sc in plain log text " + logText(text) + "\n");
            return std::nullopt;
        }
        return qint64(h) * 3600 + qint64(m) * 60 + s + clock.time - clock.uptime;
    }

    QByteArrayView word;
    reader.readWord(word);
    const std::optional<int> month = monthNumber(word);
    if (!month) {
        problems.add("Application::getLogs(): \"" + logText(word) +
                     "\" is not valid month in plain log text " + logText(text) + "\n");
        return std::nullopt;
    }
    int day = 0;
    if (!reader.readInt(day) || day == 0) {
        problems.add("Application::getLogs(): \"" + num(day) + "\" is not valid day in plain log text " +
                     logText(text) + "\n");
        return std::nullopt;
    }
    readHms(reader, h, m, s);
    if (h < 0 || m < 0 || s < 0) {
        problems.add("Application::getLogs(): " + hms(h, m, s) +
                     " is not valid hr::mn::sc in plain log text " + logText(text) + "\n");
        return std::nullopt;
    }

    // The rows carry no year: take the host's, except across the turn of the year.
    const std::optional<std::tm> host = localTime(Clock::now());
    int year = host ? host->tm_year : 70;
    if (host && host->tm_mon == 0 && *month == 11)
        --year;
    else if (host && host->tm_mon == 11 && *month == 0)
        ++year;
    std::tm tm{};
    tm.tm_year = year;
    tm.tm_mon = *month;
    tm.tm_mday = day;
    tm.tm_hour = h;
    tm.tm_min = m;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    return static_cast<Time>(std::mktime(&tm));
}

EventKind rowKind(const QByteArray& text) {
    if (text.contains("authentication")) {
        if (text.contains("Successful"))
            return EventKind::login_success;
        if (text.contains("Failed"))
            return EventKind::login_failure;
    }
    return EventKind::unknown;
}

// The rows of the log table newer than `after`, in page order.
std::vector<DatedRow> newRows(PageCheck& check, const QByteArray& page, const ControllerTime& clock,
                              Time after) {
    // A row dated before 1970 or more than a day ahead is no time a controller can mean; taken as one,
    // it would land in a far-off daily log and come back at every check.
    const Time latestPossible = Clock::now() + 86400;
    std::vector<DatedRow> rows;
    const qsizetype heading = page.indexOf(headingEnd);
    ForwardFinder ends(page, rowEnd);
    qsizetype row = page.indexOf(rowStart, heading < 0 ? 0 : heading);
    while (row >= 0) {
        const qsizetype textStart = row + rowStart.size();
        const qsizetype next = page.indexOf(rowStart, row + 1);
        const qsizetype end = ends.from(row);
        const bool malformed =
            textStart >= page.size() || end < 0 || end < textStart || (next >= 0 && end > next);
        if (malformed && !check.problems.roomForNew())
            check.problems.addLeftOut();
        else if (malformed)
            check.problems.add("Application::getLogs(): Error when processing log string " +
                               logText(page.mid(row, 100)) + " [ ... ]: " + num(row) + " " +
                               num(page.size()) + " " + num(rowStart.size()) + " " + num(end) + "\n");
        // An unclosed row ends where the next one starts, so the text of a malformed page is not
        // taken (and logged) once per row up to the end of the page.
        qsizetype textEnd = end < textStart ? page.size() : end;
        if (next >= 0 && next < textEnd)
            textEnd = next;
        const qsizetype length = std::max<qsizetype>(textEnd - textStart, 0);
        if (length == 0) {
            check.problems.add("Application::getLogs(): plain text is empty for html table row " +
                               logText(page.mid(row, 30)) + " [ ... ]\n");
        } else if (const std::optional<Time> when =
                       rowTime(QByteArrayView(page).sliced(textStart, length), clock, check.problems)) {
            if (*when < 0 || *when > latestPossible)
                ++check.rejected.rows;
            else if (*when > after)
                rows.push_back({*when, textStart, length});
        }
        row = next;
    }
    return rows;
}

// Adds the oldest rows newer than `after` that one check may take; returns what it took.
RowSelection readLogRows(PageCheck& check, const QByteArray& page, const ControllerTime& clock, Time after) {
    RowSelection selection = oldestRows(newRows(check, page, clock, after), logRowsPerCheck, after);
    for (const DatedRow& row : selection.taken) {
        const QByteArray text = page.mid(row.start, row.length);
        check.app.addEvent({}, row.when, check.controller->id, rowKind(text), Transport::http, {}, text);
    }
    if (selection.left != 0 || selection.dropped != 0) {
        QByteArray line = "Application::getLogs(): " + check.controller->displayName() + ": took " +
                          num(qint64(selection.taken.size())) + " new log rows, the most one check takes; " +
                          num(selection.left) + " left for the next check";
        if (selection.dropped != 0)
            line += "; dropped " + num(selection.dropped) + " more rows dated " +
                    clockText(selection.takenUpTo) + ", past what one check takes of one second";
        DiagnosticLog::write(line + "\n");
    }
    return selection;
}

void logRejected(const Controller& controller, const Rejected& rejected) {
    QByteArrayList what;
    if (rejected.unreadable != 0)
        what += num(rejected.unreadable) + " load values could not be read and were taken as 0";
    if (rejected.readings != 0)
        what += "ignored " + num(rejected.readings) + " negative or non-finite load readings";
    if (rejected.absurd != 0)
        what += "ignored " + num(rejected.absurd) + " load readings over " + formatG(ReadingLimits::maxAmps) +
                " A, over " + formatG(ReadingLimits::maxVolts) + " V or with a power factor outside 0..1";
    if (rejected.rows != 0)
        what += "ignored " + num(rejected.rows) + " log rows dated before 1970 or more than a day ahead";
    if (!what.isEmpty())
        DiagnosticLog::write("Application::getLogs(): " + controller.displayName() + ": " + what.join("; ") +
                             "\n");
}

} // namespace

CheckOutcome getLogs(Application& app, ControllerId id, const QByteArray& indexPage, const QByteArray& syslogPage) {
    Controller* controller = app.controller(id);
    if (!controller)
        return {};
    PageCheck check{app, controller, {}, ProblemLines{problemLinesPerCheck}, {}};
    const ControllerTime clock = getTime(syslogPage);
    // A failed read (an error page, a broken page, a cell that is no clock) has no controller time:
    // it is not a check, and the check and log times stay where the last good one left them.
    // Taking 0 as the check time would make every row of the next good read new again.
    const bool clockRead = clock.time != 0;
    // The rows up to logRowsUpTo are in the store. The check time is no mark of its own: rows older
    // than it may still wait, left by a check that found more new rows than it may take.
    const Time after = controller->logRowsUpTo;
    if (clockRead)
        controller->check(clock.time);
    check.outcome.answered = clockRead;
    if (!clockRead)
        check.outcome.failure.kind = CheckFailure::Kind::noClock;
    {
        const Application::EventBatch batch(app);
        readLoadComments(check, indexPage);
        const RowSelection rows = readLogRows(check, syslogPage, clock, after);
        // Rows dated ahead of both clocks do not move the mark past the present, so that one odd row
        // cannot hide the real rows that follow it. Nor does the check time while rows wait.
        const Time present = std::max(Clock::now(), clock.time);
        const Time taken = std::min(rows.takenUpTo, present);
        controller->logRowsUpTo = rows.left != 0 ? std::max(controller->logRowsUpTo, taken)
                                                 : std::max({controller->logRowsUpTo, clock.time, taken});
    }
    if (clockRead)
        controller->log();
    app.stateFile.marksChanged();
    check.problems.write("Application::getLogs(): " + controller->displayName() + ": ");
    logRejected(*controller, check.rejected);
    return check.outcome;
}

} // namespace Warden::Business
