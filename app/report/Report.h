#pragma once

#include "core/Event.h"
#include "core/EventStore.h"
#include "core/Records.h"
#include "report/OutboxMail.h"

#include <QByteArray>

#include <functional>
#include <optional>
#include <utility>
#include <list>
#include <vector>

namespace Warden::Business {

class Application;
class EventStore;

// The same in every report; mail clients only need it to be absent from the parts.
inline constexpr char reportBoundary[] = "0016e67698dab45e66490806789485769369353d59f689";

// What the report of one controller is composed from, copied out of the state and the event store,
// so that composing it reads nothing shared and may run on any thread. The copy costs what the report
// reads, not what the store holds: the log table's events since the previous report (at most as many
// rows as the table can take) and the readings from the newest down to the period's start.
struct ReportInput {
    Controller controller; // without its log-in, which no report shows
    ReportSettings settings;
    Time from = 0;
    Time till = 0;
    // The table's events, newest first, without owner (all are the controller's); `moreLogEvents` counts
    // the older ones beyond them, which the table would leave out anyway.
    std::vector<Event> logEvents;
    qint64 moreLogEvents = 0;
    // For the power bill and the histograms of the metering models: the load readings newest first, as
    // the store holds them (read while composing, off the main thread).
    bool withReadings = false;
    std::vector<std::pair<Time, QByteArray>> readings;
};

// Takes a ReportInput from the store a few thousand events at a time, so that a month of readings does
// not hold the main thread in one piece; the store may change between the steps. Main thread only.
class ReportCopy {
public:
    ReportCopy(const Controller& controller, Time from, Time till, const ReportSettings& settings);
    // Walks up to `steps` more of `controller`'s events (the one the copy was made for, still in the
    // list); true once the copy is complete.
    bool copy(const EventStore& store, const Controller& controller, std::size_t steps);
    ReportInput take() { return std::move(input_); }

private:
    ReportInput input_;
    // Where the walk goes on: found again by its key, whatever was added or pruned in between.
    std::optional<EventKey> next_;
    bool logDone_ = true;
    bool readingsDone_ = true;
    bool settled_[2] = {false, false};
};

// The report of one controller over [from, till] from its copy: a complete multipart/related body (its
// own MIME-Version and Content-Type header lines, the HTML part in base64, then the histogram PNGs)
// ready for postwing: 7-bit, CR LF line ends only, no line over 76 characters. Any thread.
QByteArray composeReport(const ReportInput& input);

// "Power Controller <display name> report", UTF-8 as the name is; postwing encodes it for the header.
QByteArray reportSubject(const Controller& controller);

// "Hourly", "Daily", "3 Hour", ...: how often the reports come.
QByteArray reportPeriodWord(const ReportSettings& settings);

// SMTP servers refuse (or cut) lines over 998 characters and MIME allows 76 per base64 line, so
// one-line base64 text is broken into lines of 76 with CR LF; every decoder joins them again.
QByteArray wrappedBase64(const QByteArray& base64);

// A mail to `account`'s recipient through its server, without controller, subject and body.
OutboxMail mailTo(const MailAccount& account);
// mailTo() of every recipient, in list order.
std::vector<OutboxMail> reportRecipients(const std::list<MailAccount>& accounts);
// Where report mails go: the outbox in the program.
using MailSink = std::function<void(OutboxMail mail)>;
// Hands the report of the controller named `displayName` to `send` once for each of `recipients`.
void addReportMails(const MailSink& send, const std::vector<OutboxMail>& recipients,
                    const QByteArray& displayName, const QByteArray& body);

} // namespace Warden::Business
