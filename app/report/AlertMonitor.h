#pragma once

#include "core/CheckOutcome.h"
#include "core/Event.h"
#include "report/OutboxMail.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <optional>
#include <unordered_map>

namespace Warden {

namespace Business {
class Application;
}

// What must not wait for the next report: a bus leaving its limits (and coming back), a controller
// that stops answering (and answers again), a burst of failed logins. Fed with every check's outcome
// and every new event. Each transition is one alert, never one per check while a state lasts; an alert
// whose switch is on in the report settings becomes an event (so a line in the daily log) and one mail
// per recipient. Time comes from Clock. Main thread only, like the state it reads.
class AlertMonitor final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AlertMonitor)

public:
    // Where the alert mails go: the outbox in the program.
    using MailSink = std::function<void(OutboxMail)>;

    static constexpr int silentChecks = 3;
    static constexpr int burstLogins = 5;
    static constexpr qint64 burstSeconds = 600;

    AlertMonitor(Business::Application& app, MailSink sink, QObject* parent = nullptr);

    void checked(Business::ControllerId controller, const Business::CheckOutcome& outcome);
    void eventAdded(const Business::Event& event);
    // The controller left the list: its states go with it.
    void forget(Business::ControllerId controller);

    // Names of the listed controllers with a bus out of its limits or without an answer, in list order.
    QStringList alarms() const;
    // Those of alarms() that nobody has acknowledged: what the tray's mark stands for.
    QStringList unacknowledged() const;

    // The user has seen the alarm of `controller`: its tray mark goes until the alarm changes (another
    // bus, over turning under, no answer coming or going, or its end). Returns the reason of the event
    // that keeps the acknowledgement in the daily log ("Acknowledged: bus B over-current", then
    // "; note: " and the note when there is one), or nothing when the controller is in no alarm.
    std::optional<QByteArray> acknowledge(Business::ControllerId controller, const QByteArray& note);
    bool isAcknowledged(Business::ControllerId controller) const;
    bool inAlarm(Business::ControllerId controller) const;

signals:
    // One per alert, switched on or not, after alarms() has taken it into account.
    void alerted(const QString& subject);
    // An alarm was acknowledged, or an acknowledgement ended with the alarm it was for.
    void acknowledgementsChanged();

private:
    enum class Level { normal, over, under };
    struct Burst {
        std::multimap<Business::Time, QByteArray> failures;
        bool alerted = false;
    };
    struct State {
        std::map<QByteArray, Level> buses;
        int missed = 0;
        std::map<Business::Transport, Burst> bursts;
        // The alarm as it was acknowledged (see alarmText()); empty when it is not.
        QByteArray acknowledged;
        bool inAlarm() const;
        // The alarm in words ("no answer; bus B over-current"); empty when there is none.
        QByteArray alarmText() const;
    };

    QStringList alarmNames(bool unacknowledgedOnly) const;
    void onCheck(Business::Controller& controller, State& state, const Business::CheckOutcome& outcome);
    void onReading(Business::Controller& controller, State& state, const Business::BusReading& reading);
    void alert(Business::Controller& controller, bool enabled, Business::Transport transport,
               const QByteArray& subject, const QByteArray& details);

    Business::Application& app_;
    MailSink sink_;
    std::unordered_map<Business::ControllerId, State> states_;
};

// A text/plain body with its header lines, ready for postwing: 7-bit with CR LF line ends as it is,
// base64 of its UTF-8 when a byte or a line would not pass as such.
QByteArray plainTextBody(const QByteArray& text);

} // namespace Warden
