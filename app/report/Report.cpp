#include "report/Report.h"

#include "core/Application.h"
#include "core/ClockText.h"
#include "energy/Energy.h"
#include "energy/Histogram.h"
#include "energy/HtmlText.h"
#include "energy/PowerBill.h"
#include "energy/ReadingWindow.h"

#include <algorithm>

namespace Warden::Business {

namespace {

const QByteArray boundary(reportBoundary);

constexpr const char* idChannelA = "id_histogram_channel_a";
constexpr const char* idChannelB = "id_histogram_channel_b";
constexpr const char* idTotal = "id_histogram_total";

QByteArray selectionPhrase(const ReportSettings& settings) {
    if (settings.sendEntireLog)
        return "entire log";
    if (settings.sendOnLogin)
        return QByteArray("logins") + (settings.sendUnderOverCurrent ? " and under-/over-current" : "") +
               " only";
    return "under-/over-current only";
}

bool isSelected(const Event& event, const ReportSettings& settings) {
    if (settings.sendEntireLog)
        return true;
    if (event.isUnderOverCurrent())
        return settings.sendUnderOverCurrent;
    if (event.isLogin())
        return settings.sendOnLogin;
    return false;
}

// Far beyond what anyone reads in a mail, and far below the size limits of common mail servers; a
// table that grows past it would make the whole report undeliverable.
constexpr qsizetype maxLogRowBytes = 2 * 1024 * 1024;

constexpr char rowOpen[] = "       <tr>\r\n           <td>";
constexpr char cellBreak[] = "</td>\r\n           <td>";
constexpr char rowClose[] = "</td>\r\n       </tr>\r\n\r\n";
// No row is shorter than its frame with empty texts and the shorter transport name, so no more rows
// than this fit under the limit; one more is enough to know that the table is full.
constexpr qsizetype shortestRow = sizeof rowOpen - 1 + 6 * (sizeof cellBreak - 1) + sizeof rowClose - 1 + 4;
constexpr qsizetype maxCopiedRows = maxLogRowBytes / shortestRow + 1;

QByteArray logRow(const Event& event, const QByteArray& controllerName) {
    // Reasons and raw data come from the network: escaped so they cannot change the page.
    return rowOpen + htmlEscaped(event.messageId) + cellBreak + htmlEscaped(clockText(event.time)) +
           cellBreak + htmlEscaped(controllerName) + cellBreak + htmlEscaped(eventKindName(event.kind)) +
           cellBreak + htmlEscaped(event.reason) + cellBreak + htmlEscaped(event.raw) + cellBreak +
           (event.transport == Transport::http ? "HTTP" : "syslog") + rowClose;
}

void appendLogTable(QByteArray& html, const ReportInput& input) {
    html += "<h3>Log Messages (" + selectionPhrase(input.settings) +
            ")</h3>\r\n<table border=\"1\">\r\n    <thead>\r\n        <tr>\r\n"
            "           <th>Message ID</th>\r\n           <th>When</th>\r\n"
            "           <th>From (Controller)</th>\r\n           <th>Type</th>\r\n"
            "           <th>Reason phrase</th>\r\n           <th>Raw data</th>\r\n"
            "           <th>Transport</th>\r\n       </tr>\r\n   </thead>\r\n   <tbody>\r\n";
    // Newest first, down to the previous report; events after `till` are listed too. Once the rows
    // reach the limit the older ones are only counted.
    const QByteArray name = input.controller.displayName();
    qsizetype rowBytes = 0;
    qint64 leftOut = 0;
    for (const Event& event : input.logEvents) {
        if (leftOut == 0) {
            const QByteArray row = logRow(event, name);
            if (rowBytes + row.size() <= maxLogRowBytes) {
                html += row;
                rowBytes += row.size();
                continue;
            }
        }
        ++leftOut;
    }
    leftOut += input.moreLogEvents;
    if (leftOut > 0)
        html += "       <tr>\r\n           <td colspan=\"7\">" + QByteArray::number(leftOut) +
                " older log lines left out</td>\r\n       </tr>\r\n\r\n";
    html += "    </tbody>\r\n</table>\r\n";
}

QByteArray subjectFor(const QByteArray& displayName) {
    return "Power Controller " + displayName + " report";
}

QByteArray imageReference(const char* contentId) {
    return QByteArray("<p><img src=\"cid:") + contentId + "\"></p>\r\n";
}

} // namespace

QByteArray wrappedBase64(const QByteArray& base64) {
    constexpr qsizetype lineLength = 76;
    QByteArray wrapped;
    wrapped.reserve(base64.size() + base64.size() / lineLength * 2 + 2);
    for (qsizetype at = 0; at < base64.size(); at += lineLength) {
        if (at > 0)
            wrapped += "\r\n";
        wrapped += QByteArrayView(base64).sliced(at, std::min(lineLength, base64.size() - at));
    }
    return wrapped;
}

namespace {

QByteArray imagePart(const char* contentId, const QByteArray& png) {
    return "--" + boundary +
           "\r\nContent-Type: image/png\r\nContent-Transfer-Encoding: base64\r\nContent-ID: <" + contentId +
           ">\r\n\r\n" + wrappedBase64(png) + "\r\n";
}

} // namespace

QByteArray reportPeriodWord(const ReportSettings& settings) {
    const auto& units = Application::unitNames();
    const auto unit = units.find(settings.reportEveryUnit);
    // Only the configuration file can hold another unit; name it by its seconds.
    const QByteArray unitName =
        unit != units.end() ? unit->second : QByteArray::number(settings.reportEveryUnit) + " Second";
    if (settings.reportEveryUnits == 1) {
        if (unit == units.end())
            return "Every " + unitName;
        return unitName == "Day" ? QByteArray("Daily") : unitName + "ly";
    }
    return QByteArray::number(settings.reportEveryUnits) + " " + unitName;
}

QByteArray reportSubject(const Controller& controller) {
    return subjectFor(controller.displayName());
}

ReportCopy::ReportCopy(const Controller& controller, Time from, Time till, const ReportSettings& settings)
    : input_{.controller = controller,
             .settings = settings,
             .from = from,
             .till = till,
             .logEvents = {},
             .moreLogEvents = 0,
             .withReadings = Application::hasTwoBuses(controller.type) && settings.sendPowerBill,
             .readings = {}} {
    input_.controller.admin.clear();
    input_.controller.password.clear();
    logDone_ = !(settings.sendEntireLog || settings.sendOnLogin || settings.sendUnderOverCurrent);
    readingsDone_ = !input_.withReadings;
}

bool ReportCopy::copy(const EventStore& store, const Controller& controller, std::size_t steps) {
    const EventStore::OwnerIndex& index = store.ownedBy(controller.id);
    auto it = next_ ? index.lower_bound(*next_) : index.begin();
    // One walk, newest first, serves both: the table down to the previous report, the readings down to
    // the one in force at `from` on each bus (every newer one too: the window picks what it needs).
    for (; it != index.end() && !(logDone_ && readingsDone_); ++it) {
        if (steps-- == 0) {
            next_ = it->first;
            return false;
        }
        const Event& event = *it->second;
        if (!logDone_) {
            if (event.time < input_.controller.lastReport) {
                logDone_ = true;
            } else if (isSelected(event, input_.settings)) {
                if (static_cast<qsizetype>(input_.logEvents.size()) < maxCopiedRows) {
                    input_.logEvents.push_back(event);
                    input_.logEvents.back().owner = 0;
                } else {
                    ++input_.moreLogEvents;
                }
            }
        }
        if (!readingsDone_ && event.kind == EventKind::values) {
            // A bus that has met its reading in force at `from` needs no older one.
            const int channel = readingChannel(event);
            if (event.time > input_.till || !settled_[channel])
                input_.readings.emplace_back(event.time, event.reason);
            if (event.time <= input_.till && event.time < input_.from) {
                settled_[channel] = true;
                readingsDone_ = settled_[0] && settled_[1];
            }
        }
    }
    logDone_ = readingsDone_ = true;
    return true;
}

QByteArray composeReport(const ReportInput& input) {
    const ReportSettings& settings = input.settings;
    const Controller& controller = input.controller;
    const Time from = input.from;
    const Time till = input.till;
    // The ctime texts keep their line breaks (mail readers have always seen the heading that way), as
    // CR LF like every other line of the page.
    const auto ctimeLine = [](Time t) { return ctimeText(t).replace("\n", "\r\n"); };
    QByteArray html = "<h2>\r\nPower Controller " + htmlEscaped(controller.displayName()) + "<br>\r\n" +
                      reportPeriodWord(settings) + " report from " + ctimeLine(from) + " till " +
                      ctimeLine(till) + "</h2>\r\n";

    if (settings.sendEntireLog || settings.sendOnLogin || settings.sendUnderOverCurrent)
        appendLogTable(html, input);

    QByteArray images;
    if (Application::hasTwoBuses(controller.type)) {
        ChannelEnergies energies{-1, -1};
        std::optional<ReadingWindow> window;
        if (settings.sendPowerBill && input.withReadings) {
            std::vector<Reading> readings;
            readings.reserve(input.readings.size());
            for (const auto& [time, reason] : input.readings) {
                const Event reading{{}, time, EventKind::values, Transport::http, reason, {}, 0};
                readings.push_back(Reading{time, readingChannel(reading), readingWatts(reading)});
            }
            window.emplace(readings, from, till);
            const PowerBill bill = powerBill(window->energy(from, till), from, till, settings);
            html += bill.html;
            energies = bill.energies;
        }

        if (settings.sendHistogram && energies.total() > 0) {
            html += "<h3>Power Histograms</h3>\r\n";
            if (energies.a > 0)
                html += imageReference(idChannelA);
            if (energies.b > 0)
                html += imageReference(idChannelB);
            html += imageReference(idTotal);

            const HistogramLayout layout = histogramLayout(settings, from, till);
            const ReadingWindow& readings = *window;
            if (energies.a > 0)
                images +=
                    imagePart(idChannelA, createPngImage(controller, "A", layout, energies.a, readings));
            if (energies.b > 0)
                images +=
                    imagePart(idChannelB, createPngImage(controller, "B", layout, energies.b, readings));
            images += imagePart(idTotal,
                                createPngImage(controller, QByteArray(), layout, energies.total(), readings));
        }
        html += "<hr/>End of log\r\n\r\n";
    }

    // The page travels as base64: the message stays 7-bit with short lines whatever the names and
    // events hold, and no text of an event can close the part or open another one (the base64
    // alphabet has no "-").
    return "MIME-Version: 1.0\r\nContent-Type: multipart/related; type=\"text/html\";\r\n boundary=\"" +
           boundary + "\"\r\n\r\n--" + boundary +
           "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
           wrappedBase64(html.toBase64()) + "\r\n" + images + "--" + boundary + "--";
}

OutboxMail mailTo(const MailAccount& account) {
    OutboxMail mail;
    mail.to = account.to;
    mail.from = account.from;
    if (account.server) {
        mail.serverHost = account.server->host;
        mail.serverPort = account.server->port;
        mail.serverUser = account.server->user;
        mail.serverTLS = account.server->useTLS;
        mail.serverId = mailServerId(account.server->host, account.server->port, account.server->user,
                                     account.server->useTLS, account.server->password);
    }
    return mail;
}

std::vector<OutboxMail> reportRecipients(const std::list<MailAccount>& accounts) {
    std::vector<OutboxMail> recipients;
    recipients.reserve(accounts.size());
    for (const MailAccount& account : accounts)
        recipients.push_back(mailTo(account));
    return recipients;
}

void addReportMails(const MailSink& send, const std::vector<OutboxMail>& recipients,
                    const QByteArray& displayName, const QByteArray& body) {
    const QByteArray subject = subjectFor(displayName);
    for (const OutboxMail& recipient : recipients) {
        OutboxMail mail = recipient;
        mail.controller = displayName;
        mail.subject = subject;
        mail.body = body;
        send(std::move(mail));
    }
}

} // namespace Warden::Business
