#pragma once

#include "core/CheckCycle.h"
#include "core/Records.h"
#include "report/OutboxMail.h"

#include <QByteArray>

namespace Warden {
class Outbox;
}

namespace Warden::Business {

// The same in every report; mail clients only need it to be absent from the parts.
inline constexpr char reportBoundary[] = "0016e67698dab45e66490806789485769369353d59f689";

// The report of one controller over [from, till]: a complete multipart/related body (its own
// MIME-Version and Content-Type header lines, the HTML part in base64, then the histogram PNGs) ready
// for postwing: 7-bit, CR LF line ends only, no line over 76 characters.
QByteArray getReportBody(const Controller& controller, Time from, Time till);

// "Power Controller <display name> report", UTF-8 as the name is; postwing encodes it for the header.
QByteArray reportSubject(const Controller& controller);

// "Hourly", "Daily", "3 Hour", ...: how often the reports come.
QByteArray reportPeriodWord(const ReportSettings& settings);

// SMTP servers refuse (or cut) lines over 998 characters and MIME allows 76 per base64 line, so
// one-line base64 text is broken into lines of 76 with CR LF; every decoder joins them again.
QByteArray wrappedBase64(const QByteArray& base64);

// A mail to `account`'s recipient through its server, without controller, subject and body.
OutboxMail mailTo(const MailAccount& account);

// Text safe inside an HTML element or attribute: & < > " ' replaced by their entities.
QByteArray htmlEscaped(const QByteArray& text);

// The report run: for every controller in list order its body is composed and one mail per recipient
// (in list order) is stored in `outbox`, which delivers it; then the controller counts as reported.
// Finally the event store is pruned. Main thread only: it reads and changes the state.
void sendReports(Time from, Time till, Outbox& outbox);

// The report run for CheckCycle::setReportRun() and for report moments without a check (posted to the
// main thread): sendReports() with `outbox`, which has to outlive the cycle.
inline CheckCycle::ReportRun makeReportRun(Outbox& outbox) {
    return [&outbox](Time from, Time till) { sendReports(from, till, outbox); };
}

} // namespace Warden::Business
