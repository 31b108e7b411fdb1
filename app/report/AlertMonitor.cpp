#include "report/AlertMonitor.h"

#include "core/Application.h"
#include "core/Clock.h"
#include "core/ClockText.h"
#include "report/Report.h"

#include <algorithm>

namespace Warden {

using namespace Business;

AlertMonitor::AlertMonitor(Application& app, MailSink sink, QObject* parent)
    : QObject(parent)
    , app_(app)
    , sink_(std::move(sink)) {
}

bool AlertMonitor::State::inAlarm() const {
    return missed >= silentChecks || std::any_of(buses.begin(), buses.end(),
                                                 [](const auto& bus) { return bus.second != Level::normal; });
}

QByteArray AlertMonitor::State::alarmText() const {
    QByteArrayList parts;
    if (missed >= silentChecks)
        parts << "no answer";
    for (const auto& [bus, level] : buses) {
        if (level != Level::normal)
            parts << "bus " + bus + (level == Level::over ? " over-current" : " under-current");
    }
    return parts.join("; ");
}

void AlertMonitor::checked(ControllerId id, const CheckOutcome& outcome) {
    Controller* controller = app_.controller(id);
    if (!controller)
        return;
    State& state = states_[id];
    onCheck(*controller, state, outcome);
    // An acknowledgement holds for the alarm as it was seen, not for what it has turned into.
    if (!state.acknowledged.isEmpty() && state.acknowledged != state.alarmText()) {
        state.acknowledged.clear();
        emit acknowledgementsChanged();
    }
}

void AlertMonitor::onCheck(Controller& controller, State& state, const CheckOutcome& outcome) {
    if (!outcome.answered) {
        if (++state.missed == silentChecks) {
            QByteArray details =
                "The controller has not answered " + QByteArray::number(silentChecks) + " checks in a row.";
            if (outcome.failure.failed())
                details += "\nReason: " + outcome.failure.text() + ".";
            alert(controller, app_.report.alertNoAnswer, Transport::http,
                  "No answer from " + controller.name + " for " + QByteArray::number(silentChecks) +
                      " checks",
                  details);
        }
        return;
    }
    if (state.missed >= silentChecks)
        alert(controller, app_.report.alertNoAnswer, Transport::http, controller.name + " answers again",
              "The controller answered after " + QByteArray::number(state.missed) + " missed checks.");
    state.missed = 0;
    for (const BusReading& reading : outcome.readings)
        onReading(controller, state, reading);
}

void AlertMonitor::onReading(Controller& controller, State& state, const BusReading& reading) {
    const Level level = reading.amps > reading.overcurrent    ? Level::over
                        : reading.undercurrent > reading.amps ? Level::under
                                                              : Level::normal;
    Level& was = state.buses[reading.bus];
    if (level == was)
        return;
    was = level;
    const QByteArray where = controller.name + " bus " + reading.bus;
    const QByteArray amps = formatG(reading.amps) + " A";
    const QByteArray limits =
        "Limits: " + formatG(reading.undercurrent) + " A to " + formatG(reading.overcurrent) + " A.";
    const bool enabled = app_.report.alertCurrent;
    if (level == Level::over)
        alert(controller, enabled, Transport::http,
              "Over-current on " + where + ": " + amps + " > " + formatG(reading.overcurrent) + " A", limits);
    else if (level == Level::under)
        alert(controller, enabled, Transport::http,
              "Under-current on " + where + ": " + amps + " < " + formatG(reading.undercurrent) + " A",
              limits);
    else
        alert(controller, enabled, Transport::http, where + " back within limits: " + amps, limits);
}

void AlertMonitor::eventAdded(const Event& event) {
    Controller* owner = app_.controller(event.owner);
    if (event.kind != EventKind::login_failure || !owner)
        return;
    // The first check reads the whole log table of a controller: failures from before that are history,
    // not news. Syslog and the log table report the same failures, so each is counted on its own.
    if (event.time < Clock::now() - burstSeconds)
        return;
    Burst& burst = states_[event.owner].bursts[event.transport];
    burst.failures.emplace(event.time, event.raw);
    const Time newest = burst.failures.rbegin()->first;
    burst.failures.erase(burst.failures.begin(), burst.failures.lower_bound(newest - burstSeconds));
    // A burst ends when ten minutes pass without a failure; until then it has had its mail.
    if (burst.failures.size() == 1)
        burst.alerted = false;
    if (burst.alerted || burst.failures.size() < std::size_t{burstLogins})
        return;
    burst.alerted = true;
    QByteArray list = "Failed logins within " + QByteArray::number(burstSeconds / 60) + " minutes:";
    for (const auto& [time, text] : burst.failures)
        list += '\n' + clockText(time) + "  " + text;
    alert(*owner, app_.report.alertLogins, event.transport,
          QByteArray::number(qulonglong(burst.failures.size())) + " failed logins on " + owner->name, list);
}

void AlertMonitor::forget(ControllerId controller) {
    states_.erase(controller);
}

QStringList AlertMonitor::alarms() const {
    return alarmNames(false);
}

QStringList AlertMonitor::unacknowledged() const {
    return alarmNames(true);
}

QStringList AlertMonitor::alarmNames(bool unacknowledgedOnly) const {
    QStringList names;
    for (const Controller& controller : app_.controllers) {
        const auto it = states_.find(controller.id);
        if (it != states_.end() && it->second.inAlarm() &&
            !(unacknowledgedOnly && !it->second.acknowledged.isEmpty()))
            names << QString::fromUtf8(controller.name);
    }
    return names;
}

bool AlertMonitor::inAlarm(ControllerId controller) const {
    const auto it = states_.find(controller);
    return it != states_.end() && it->second.inAlarm();
}

std::optional<QByteArray> AlertMonitor::acknowledge(ControllerId controller, const QByteArray& note) {
    if (!inAlarm(controller))
        return std::nullopt;
    const auto it = states_.find(controller);
    it->second.acknowledged = it->second.alarmText();
    emit acknowledgementsChanged();
    // The note becomes part of one log line.
    const QByteArray line = note.simplified();
    return "Acknowledged: " + it->second.acknowledged + (line.isEmpty() ? QByteArray() : "; note: " + line);
}

bool AlertMonitor::isAcknowledged(ControllerId controller) const {
    const auto it = states_.find(controller);
    return it != states_.end() && !it->second.acknowledged.isEmpty();
}

void AlertMonitor::alert(Controller& controller, bool enabled, Transport transport, const QByteArray& subject,
                         const QByteArray& details) {
    if (enabled) {
        const Time now = Clock::now();
        app_.addEvent({}, now, controller.id, EventKind::unknown, transport, "Alert: " + subject, {});
        const QByteArray body = plainTextBody(subject + "\n\nController: " + controller.displayName() +
                                              "\nTime: " + clockText(now) + "\n" + details + "\n");
        for (const MailAccount& account : app_.mailAccounts) {
            OutboxMail mail = mailTo(account);
            mail.controller = controller.displayName();
            mail.subject = subject;
            mail.body = body;
            sink_(std::move(mail));
        }
    }
    emit alerted(QString::fromUtf8(subject));
}

QByteArray plainTextBody(const QByteArray& text) {
    QList<QByteArray> lines = text.split('\n');
    bool sevenBit = true;
    for (QByteArray& line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        sevenBit = sevenBit && line.size() <= 998 && std::all_of(line.begin(), line.end(), [](char c) {
                       return c == '\t' || (c >= 0x20 && c < 0x7f);
                   });
    }
    const QByteArray crlf = lines.join("\r\n");
    const QByteArray head = "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n";
    if (sevenBit)
        return head + "Content-Transfer-Encoding: 7bit\r\n\r\n" + crlf;
    return head + "Content-Transfer-Encoding: base64\r\n\r\n" + Business::wrappedBase64(crlf.toBase64()) +
           "\r\n";
}

} // namespace Warden
