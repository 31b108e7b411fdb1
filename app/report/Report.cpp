#include "report/Report.h"

#include "core/Application.h"
#include "core/ClockText.h"
#include "core/DiagnosticLog.h"
#include "energy/Energy.h"
#include "energy/Histogram.h"
#include "energy/PowerBill.h"
#include "report/MailQueue.h"

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

void appendLogTable(QByteArray& body, const Controller& controller, const ReportSettings& settings) {
    body += "<h3>Log Messages (" + selectionPhrase(settings) +
            ")</h3>\r\n<table border=\"1\">\r\n    <thead>\r\n        <tr>\r\n"
            "           <th>Message ID</th>\r\n           <th>When</th>\r\n"
            "           <th>From (Controller)</th>\r\n           <th>Type</th>\r\n"
            "           <th>Reason phrase</th>\r\n           <th>Raw data</th>\r\n"
            "           <th>Transport</th>\r\n       </tr>\r\n   </thead>\r\n   <tbody>\r\n";
    // Newest first, down to the previous report; events after `till` are listed too.
    for (const auto& [key, event] : Application::events.ownedBy(&controller)) {
        if (event->time < controller.lastReport)
            break;
        if (!isSelected(*event, settings))
            continue;
        // Reasons and raw data come from the network: escaped so they cannot change the page.
        body += "       <tr>\r\n           <td>" + htmlEscaped(event->messageId) +
                "</td>\r\n           <td>" + htmlEscaped(clockText(event->time)) +
                "</td>\r\n           <td>" + htmlEscaped(Application::getControllerName(*event)) +
                "</td>\r\n           <td>" + htmlEscaped(eventKindName(event->kind)) +
                "</td>\r\n           <td>" + htmlEscaped(event->reason) + "</td>\r\n           <td>" +
                htmlEscaped(event->raw) + "</td>\r\n           <td>" +
                (event->transport == Transport::http ? "HTTP" : "syslog") + "</td>\r\n       </tr>\r\n\r\n";
    }
    body += "    </tbody>\r\n</table>\r\n";
}

void crossCheckEnergies(const Controller& controller, Time from, Time till, const ChannelEnergies& bill) {
    const double tA = transitionsEnergy(
        Event::isUnderOverCurrent(controller, from, till, Application::events, 0), from, till);
    const double tB = transitionsEnergy(
        Event::isUnderOverCurrent(controller, from, till, Application::events, 1), from, till);
    if (!energiesDiffer(bill.a, tA) && !energiesDiffer(bill.b, tB))
        return;
    DiagnosticLog::write("Energy calculation error: (" + formatG(bill.a) + ", " + formatG(bill.b) + ") != (" +
                         formatG(tA) + ", " + formatG(tB) + ") (" + formatG(bill.a - tA) + ", " +
                         formatG(bill.b - tB) + ")\n");
}

QByteArray imageReference(const char* contentId) {
    return QByteArray("<p><img src=\"cid:") + contentId + "\"></p>\r\n";
}

// SMTP servers refuse (or cut) lines over 998 characters and MIME allows 76 per base64 line, so the
// one-line image text is broken into lines of 76; every decoder joins them again.
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

QByteArray imagePart(const char* contentId, const QByteArray& png) {
    return "--" + boundary +
           "\r\nContent-Type: image/png\r\nContent-Transfer-Encoding: base64\r\nContent-ID: <" + contentId +
           ">\r\n\r\n" + wrappedBase64(png) + "\r\n";
}

} // namespace

QByteArray htmlEscaped(const QByteArray& text) {
    QByteArray escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        case '\'':
            escaped += "&#39;";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

QByteArray reportPeriodWord(const ReportSettings& settings) {
    const auto& units = Application::unitNames();
    const auto unit = units.find(settings.reportEveryUnit);
    // Only the configuration file can hold another unit; name it by its seconds.
    const QByteArray unitName =
        unit != units.end() ? unit->second : QByteArray::number(settings.reportEveryUnit) + " Second";
    if (settings.reportEveryUnits == 1)
        return unit != units.end() ? unitName + "ly" : "Every " + unitName;
    return QByteArray::number(settings.reportEveryUnits) + " " + unitName;
}

QByteArray reportSubject(const Controller& controller) {
    return "Power Controller " + controller.displayName() + " report";
}

QByteArray getReportBody(const Controller& controller, Time from, Time till) {
    const ReportSettings& settings = Application::report;
    QByteArray body = "Content-Type: multipart/related; boundary=" + boundary + "\r\n\r\n--" + boundary +
                      "\r\nContent-Type: text/html; charset=UTF-8\r\n\r\n<h2>\r\nPower Controller " +
                      htmlEscaped(controller.displayName()) + "<br>\r\n";
    // The ctime texts keep their line feeds: mail readers have always seen the heading that way.
    body += reportPeriodWord(settings) + " report from " + ctimeText(from) + " till " + ctimeText(till) +
            "</h2>\r\n";

    if (settings.sendEntireLog || settings.sendOnLogin || settings.sendUnderOverCurrent)
        appendLogTable(body, controller, settings);

    if (!Application::hasTwoBuses(controller.type))
        return body + "--" + boundary + "--";

    ChannelEnergies energies{-1, -1};
    if (settings.sendPowerBill) {
        const PowerBill bill = getPowerBill(controller, from, till);
        body += bill.html;
        energies = bill.energies;
        // Without a bill there is nothing to hold the second calculation against.
        crossCheckEnergies(controller, from, till, energies);
    }

    const bool histograms = settings.sendHistogram && energies.total() > 0;
    if (histograms) {
        body += "<h3>Power Histograms</h3>\r\n";
        if (energies.a > 0)
            body += imageReference(idChannelA);
        if (energies.b > 0)
            body += imageReference(idChannelB);
        body += imageReference(idTotal);
    }
    body += "<hr/>End of log\r\n\r\n";

    if (histograms) {
        const HistogramLayout layout = histogramLayout(settings, from, till);
        if (energies.a > 0)
            body += imagePart(idChannelA, createPngImage(controller, "A", layout, energies.a));
        if (energies.b > 0)
            body += imagePart(idChannelB, createPngImage(controller, "B", layout, energies.b));
        body += imagePart(idTotal, createPngImage(controller, QByteArray(), layout, energies.total()));
    }
    return body + "--" + boundary + "--";
}

void sendReports(Time from, Time till, MailQueue& queue) {
    for (Controller& controller : Application::controllers) {
        const QByteArray body = getReportBody(controller, from, till);
        const QByteArray subject = reportSubject(controller);
        QList<MailJob> jobs;
        for (const MailAccount& account : Application::mailAccounts) {
            MailJob job;
            job.to = account.to;
            job.from = account.from;
            if (account.server) {
                job.host = account.server->host;
                job.port = account.server->port;
                job.user = account.server->user;
                job.password = account.server->password;
                job.useTLS = account.server->useTLS;
            }
            job.subject = subject;
            job.body = body;
            jobs.append(job);
        }
        queue.enqueue(jobs);
        // Reported once its mails are queued: a failed mail is only logged, never retried.
        controller.report();
    }
    Application::prune();
}

} // namespace Warden::Business
