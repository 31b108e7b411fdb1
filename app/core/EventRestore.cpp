#include "EventRestore.h"

#include "Application.h"
#include "Clock.h"
#include "ClockText.h"
#include "DiagnosticLog.h"
#include "EventLine.h"
#include "LogText.h"
#include "StateFile.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <deque>
#include <map>

namespace Warden::Business {

namespace {

// Noon of t's local day: stepping by 24 hours from there meets every day once, whatever daylight
// saving does to the day's length.
Time localNoon(Time t) {
    const auto tm = localTime(t);
    if (!tm)
        return t;
    std::tm noon = *tm;
    noon.tm_hour = 12;
    noon.tm_min = noon.tm_sec = 0;
    noon.tm_isdst = -1;
    return static_cast<Time>(std::mktime(&noon));
}

struct Wanted {
    Controller* controller;
    Time since;
};

void readFile(QFile& file, const std::map<QByteArray, Wanted>& wanted, std::deque<Event>& events,
              RestoreResult& result) {
    LogClock clock;
    while (!file.atEnd()) {
        QByteArray line = file.readLine();
        if (line.endsWith('\n'))
            line.chop(1);
        if (line.isEmpty())
            continue;
        const std::optional<EventLineFields> fields = parseEventLine(line);
        if (!fields) {
            ++result.skippedLines;
            continue;
        }
        const std::optional<Time> time = clock.resolve(fields->clock);
        const auto owner = wanted.find(fields->owner.toByteArray());
        if (!time || owner == wanted.end() || *time < owner->second.since)
            continue;
        events.push_back(Event{fromLogText(fields->messageId), *time, fields->kind, fields->transport,
                               fromLogText(fields->reason), fromLogText(fields->raw),
                               owner->second.controller->id});
    }
}

} // namespace

RestoreResult restoreEvents(Application& app, const QString& directory, const std::vector<Controller*>& controllers,
                            Time now) {
    RestoreResult result;
    std::map<QByteArray, Wanted> wanted;
    Time earliest = now;
    for (Controller* c : controllers) {
        const Time since = std::max(c->lastReport, now - restoreSpan);
        wanted.emplace(c->displayName(), Wanted{c, since});
        earliest = std::min(earliest, since);
    }
    if (wanted.empty())
        return result;
    // Not a vector: growing one would move a month of events again and again.
    std::deque<Event> events;
    // Log rows carry the controller's clock, which may run up to a day ahead of ours.
    const Time last = now + 86400;
    for (Time day = localNoon(earliest); day <= localNoon(last); day += 86400) {
        QFile file(QDir(directory).filePath(QString::fromUtf8(Application::dailyLogPath(day))));
        if (!file.exists())
            continue;
        if (!file.open(QIODevice::ReadOnly)) {
            result.unreadableFiles << file.fileName() + QStringLiteral(": ") + file.errorString();
            continue;
        }
        readFile(file, wanted, events, result);
    }
    result.events = static_cast<qint64>(events.size());
    app.restoreEvents(std::move(events));
    return result;
}

void restoreAtStart(Application& app) {
    const std::vector<Controller*> controllers = app.stateFile.restore();
    const RestoreResult result = restoreEvents(app, QDir::currentPath(), controllers, Clock::now());
    if (result.events > 0 || result.skippedLines > 0)
        DiagnosticLog::writeTimed("restoreAtStart(): " + QByteArray::number(result.events) +
                                  " events since the last report brought back from the daily logs, " +
                                  QByteArray::number(result.skippedLines) +
                                  " lines that are no events passed over\n");
    for (const QString& file : result.unreadableFiles)
        DiagnosticLog::writeTimed("restoreAtStart(): error: " + file.toUtf8() + "\n");
}

} // namespace Warden::Business
