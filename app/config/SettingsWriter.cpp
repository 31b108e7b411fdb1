#include "SettingsWriter.h"

#include "core/Application.h"
#include "core/ClockText.h"

#include <QString>

#include <utility>
#include <vector>

namespace Warden::Business {

namespace {

class TreeWriter {
public:
    TreeWriter()
        : out_("<?xml version=\"1.0\" encoding=\"UTF-8\"?>") {}

    void open(const char* name) {
        out_ += '\n';
        indent();
        out_ += '<';
        out_ += name;
        out_ += '>';
        open_.push_back(name);
    }
    void closeContainer() {
        const char* name = open_.back();
        open_.pop_back();
        out_ += '\n';
        indent();
        endTag(name);
    }
    void leaf(const char* name, const QByteArray& text) {
        open(name);
        out_ += SettingsWriter::escaped(text);
        open_.pop_back();
        endTag(name);
    }
    void leaf(const char* name, qint64 number) { leaf(name, QByteArray::number(number)); }
    void leaf(const char* name, double number) { leaf(name, formatG(number)); }
    void flag(const char* name, bool value) { leaf(name, QByteArray(value ? "1" : "0")); }

    QByteArray take() { return std::move(out_); }

private:
    void indent() { out_.append(static_cast<qsizetype>(open_.size()) * 4, ' '); }
    void endTag(const char* name) {
        out_ += "</";
        out_ += name;
        out_ += '>';
    }

    QByteArray out_;
    std::vector<const char*> open_;
};

// The store keeps only units of the table. Should another number ever be there, no unit is written
// rather than one nobody chose: an empty unit reads back as the default period.
QByteArray unitName(quint32 seconds) {
    const auto& units = Application::unitNames();
    const auto it = units.find(seconds);
    return it == units.end() ? QByteArray() : it->second;
}

int serverPosition(const Application& app, const MailServer* server) {
    int position = 0;
    for (const MailServer& s : app.mailServers) {
        if (&s == server)
            return position;
        ++position;
    }
    return -1;
}

} // namespace

QByteArray SettingsWriter::escaped(const QByteArray& text) {
    QByteArray out;
    out.reserve(text.size() + 16);
    // Stored texts are UTF-8; a byte sequence that is not, or a control character that XML 1.0 cannot
    // hold, would make the whole file unreadable at the next start and lose every setting after it.
    // Invalid sequences become U+FFFD and such control characters are left out. A carriage return goes
    // as a character reference because a parser turns a literal one into a line feed.
    const QString decoded = QString::fromUtf8(text);
    QString safe;
    safe.reserve(decoded.size());
    for (const QChar c : decoded) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != u'\t' && u != u'\n' && u != u'\r') || u == 0xFFFE || u == 0xFFFF)
            continue;
        safe += c;
    }
    for (const char c : safe.toUtf8()) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '\r':
            out += "&#13;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

QByteArray SettingsWriter::document(const Application& app) {
    TreeWriter w;
    w.open("Ampwarden");

    w.open("Controllers");
    for (const Controller& c : app.controllers) {
        w.open("Controller");
        w.leaf("name", c.name);
        w.leaf("type", Application::modelName(c.type));
        w.leaf("host", c.host);
        w.leaf("port", qint64{c.port});
        w.leaf("admin", c.admin);
        w.leaf("password", c.password);
        w.open("Channels");
        for (const ChannelSettings& channel : c.channels) {
            w.open("Channel");
            w.leaf("optionalName", channel.optionalName);
            w.leaf("undercurrent", channel.undercurrent);
            w.leaf("overcurrent", channel.overcurrent);
            w.leaf("pf", channel.pf);
            w.closeContainer();
        }
        w.closeContainer();
        w.closeContainer();
    }
    w.closeContainer();

    w.open("MTAs");
    qint64 id = 0;
    for (const MailServer& server : app.mailServers) {
        w.open("MTA");
        w.leaf("id", id++);
        w.leaf("host", server.host);
        w.leaf("port", qint64{server.port});
        w.leaf("user", server.user);
        w.leaf("password", server.password);
        w.flag("useTLS", server.useTLS);
        w.closeContainer();
    }
    w.closeContainer();

    w.open("EMails");
    for (const MailAccount& account : app.mailAccounts) {
        w.open("EMail");
        w.leaf("to", account.to);
        w.leaf("from", account.from);
        w.leaf("MTA", qint64{serverPosition(app, account.server)});
        w.closeContainer();
    }
    w.closeContainer();

    const ReportSettings& r = app.report;
    w.open("Report");
    w.leaf("checkEveryUnits", qint64{r.checkEveryUnits});
    w.leaf("checkEveryUnit", unitName(r.checkEveryUnit));
    w.flag("sendOnLogin", r.sendOnLogin);
    w.flag("sendUnderOverCurrent", r.sendUnderOverCurrent);
    w.flag("sendHistogram", r.sendHistogram);
    w.flag("sendPowerBill", r.sendPowerBill);
    w.flag("sendEntireLog", r.sendEntireLog);
    w.leaf("reportEveryUnits", qint64{r.reportEveryUnits});
    w.leaf("reportEveryUnit", unitName(r.reportEveryUnit));
    w.leaf("kWHPriceUSD", r.kWHPriceUSD);
    w.leaf("currency", r.currency);
    // Only when on, so that a file of a program without alerts is written as it always was.
    for (const auto& [name, on] :
         {std::pair{"alertCurrent", r.alertCurrent}, std::pair{"alertNoAnswer", r.alertNoAnswer},
          std::pair{"alertLogins", r.alertLogins}}) {
        if (on)
            w.flag(name, true);
    }
    if (!r.metricsAddress.isEmpty())
        w.leaf("metricsAddress", r.metricsAddress);
    w.closeContainer();

    w.closeContainer();
    return w.take();
}

} // namespace Warden::Business
