#include "Settings.h"

#include "SettingsFile.h"
#include "SettingsRange.h"
#include "SettingsWriter.h"
#include "XmlHandler.h"

#include "core/Application.h"
#include "core/ClockText.h"
#include "core/DiagnosticLog.h"
#include "core/StateFile.h"

#include <QDebug>
#include <QFileInfo>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <optional>

namespace Warden::Business {

namespace {

const QByteArray noChannel = "NO CHANNEL";

// The numbers are read the way a formatted stream extraction reads them: leading white space, then
// the longest number ("13A" is 13, "1e-1" is 0.1); a text that does not begin with one gives nothing.
qsizetype skipSpace(const QByteArray& text) {
    qsizetype i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    return i;
}

qsizetype skipDigits(const QByteArray& text, qsizetype i) {
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
        ++i;
    return i;
}

std::optional<qint64> leadingInteger(const QByteArray& text) {
    qsizetype i = skipSpace(text);
    const qsizetype start = i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    const qsizetype end = skipDigits(text, i);
    if (end == i)
        return std::nullopt;
    bool ok = false;
    const qint64 value = text.mid(start, end - start).toLongLong(&ok, 10);
    return ok ? std::optional<qint64>(value) : std::nullopt; // out of range is no number either
}

// A number of the settings, or `fallback` when the text is none. One outside `range` takes the fallback
// (or the range's nearest end) too, with a line in app.log naming `where` it stood.
double rangedNumber(const QByteArray& text, double fallback, const SettingsRange& range,
                    const QByteArray& where) {
    if (const std::optional<QByteArray> problem = range.problem(text)) {
        const double taken =
            range.toNearestEnd ? std::clamp(*leadingNumber(text), range.low, range.high) : fallback;
        DiagnosticLog::write(where + *problem + ": " + formatG(taken) + " instead\n");
        return taken;
    }
    return leadingNumber(text).value_or(fallback);
}

// 0 stands for "no port" and also takes whatever is no 16-bit port number.
quint16 portNumber(const QByteArray& text) {
    const auto value = leadingInteger(text);
    if (!value || *value < 0 || *value > 65535)
        return 0;
    return static_cast<quint16>(*value);
}

// A count of units; what is no count (a negative one included) counts once.
quint32 unitCount(const QByteArray& text) {
    const auto value = leadingInteger(text);
    if (!value || *value < 0 || *value > std::numeric_limits<quint32>::max())
        return 1;
    return static_cast<quint32>(*value);
}

std::optional<quint32> unitSeconds(const QByteArray& name) {
    for (const auto& [seconds, unit] : Application::unitNames())
        if (unit == name)
            return seconds;
    return std::nullopt;
}

qint32 modelNumber(const QByteArray& name) {
    for (const auto& [type, model] : Application::modelNames())
        if (model == name)
            return type;
    return 0;
}

bool flag(const QByteArray& text) {
    return text == "1";
}

QByteArray textAt(const Texts& texts, qsizetype index, const QByteArray& missing = {}) {
    return index < texts.size() ? texts[index] : missing;
}

QByteArray hostAndPort(const QByteArray& host, quint16 port) {
    return port == 0 ? host : host + ':' + QByteArray::number(port);
}

struct Period {
    quint32 unit;
    quint32 units;
};

// The unit name at `at`, its count after it. Without a unit the count means nothing, and the default
// period holds whole. A name that is no unit comes from a hand-edited file ("hour", "Minutes"): it is
// said in app.log, and taken for the default rather than for one second, which would query every
// controller each second.
Period period(const Texts& texts, qsizetype at, const char* element, Period fallback) {
    const QByteArray name = textAt(texts, at);
    if (const auto seconds = unitSeconds(name))
        return {*seconds, at + 1 < texts.size() ? unitCount(texts[at + 1]) : 1};
    if (!name.isEmpty())
        DiagnosticLog::write(QByteArray("storeReportSettings(): ") + element + " \"" + name +
                             "\" is no unit name (Second, Minute, Hour, Day, Week or Month): every " +
                             QByteArray::number(fallback.units) + " " +
                             Application::unitNames().at(fallback.unit) + " instead\n");
    return fallback;
}

} // namespace

QByteArray loadSettings(Application& app) {
    // The keys name the MTA elements of one file; records from an earlier reading are gone.
    app.settingsBook.serverKeys.clear();
    app.settingsBook.savingEnabled = false;
    std::optional<QByteArray> bytes = SettingsFile(app).read();
    if (!bytes && !QFileInfo::exists(SettingsFile(app).path())) {
        // The first start: no fault to report. The defaults hold and the first change writes the file.
        SettingsFile(app).loaded(true, std::nullopt);
        app.settingsBook.savingEnabled = true;
        return {};
    }
    XmlHandler handler(app);
    // A file that cannot be read reads as empty input; the parser's complaint about it is the error
    // text.
    const bool complete = parseSettings(bytes.value_or(QByteArray()), handler);
    SettingsFile(app).loaded(complete, std::move(bytes));
    app.settingsBook.savingEnabled = true;
    return handler.errorString();
}

SaveResult saveSettings(Application& app) {
    if (!app.settingsBook.savingEnabled)
        return {};
    return SettingsFile(app).write([&app] {
        pruneMailServers(app);
        return SettingsWriter::document(app);
    });
}

void pruneMailServers(Application& app) {
    auto& servers = app.mailServers;
    for (auto it = servers.begin(); it != servers.end();) {
        MailServer* server = &*it;
        const bool used = std::any_of(app.mailAccounts.begin(), app.mailAccounts.end(),
                                      [server](const MailAccount& a) { return a.server == server; });
        if (used) {
            ++it;
            continue;
        }
        // A key must not outlive its server.
        std::erase_if(app.settingsBook.serverKeys, [server](const auto& entry) { return entry.second == server; });
        it = servers.erase(it);
    }
}

SaveResult storeController(Application& app, int position, const Texts& values) {
    const int count = app.controllerCount();
    if (position < 0)
        position = count;

    Controller record(textAt(values, 0), modelNumber(textAt(values, 1)), textAt(values, 2),
                      portNumber(textAt(values, 3, "0")), textAt(values, 4), textAt(values, 5));
    for (qsizetype s = 6; s < values.size() && values[s] != noChannel; s += 4) {
        ChannelSettings channel;
        channel.optionalName = values[s];
        const QByteArray where =
            "storeController(): " + record.name + " channel \"" + channel.optionalName + "\": ";
        channel.overcurrent =
            rangedNumber(textAt(values, s + 1, "0.0"), 0, SettingsRange::overcurrent, where);
        channel.undercurrent =
            rangedNumber(textAt(values, s + 2, "0.0"), 0, SettingsRange::undercurrent, where);
        channel.pf = rangedNumber(textAt(values, s + 3, "0.0"), 1, SettingsRange::powerFactor, where);
        qDebug() << "channel" << QString::fromUtf8(channel.optionalName) << channel.overcurrent
                 << channel.undercurrent << channel.pf;
        if (channel.overcurrent < channel.undercurrent)
            DiagnosticLog::write("Overcurrent is less than undercurrent: " + formatG(channel.overcurrent) +
                                 " < " + formatG(channel.undercurrent) + "\n");
        record.channels.push_back(std::move(channel));
    }

    if (Controller* existing = app.controllerAt(position)) {
        // Edited in place: the events that point at this controller stay attached to it.
        const QByteArray previousHost = existing->host;
        const quint16 previousPort = existing->port;
        existing->name = std::move(record.name);
        existing->type = record.type;
        existing->host = std::move(record.host);
        existing->port = record.port;
        existing->admin = std::move(record.admin);
        existing->password = std::move(record.password);
        existing->channels = std::move(record.channels);
        existing->lastReport = 0;
        existing->lastLog = 0;
        existing->lastCheck = 0;
        // Another device's log table starts afresh; the rows of the same one are not taken twice.
        if (existing->host != previousHost || existing->port != previousPort)
            existing->logRowsUpTo = 0;
        const SaveResult result = saveSettings(app);
        app.controllerEdited(*existing);
        return result;
    }
    app.addControllerRecord(std::move(record));
    return saveSettings(app);
}

SaveResult storeMailAccount(Application& app, int position, const Texts& texts, const QByteArray& key) {
    const int count = static_cast<int>(app.mailAccounts.size());
    if (position < 0)
        position = count;

    const QByteArray serverText = textAt(texts, 2);
    QByteArray host = serverText;
    quint16 port = 0;
    if (const qsizetype colon = serverText.indexOf(':'); colon >= 0) {
        host = serverText.left(colon);
        port = portNumber(serverText.mid(colon + 1));
    }
    const QByteArray user = textAt(texts, 3);
    const QByteArray password = textAt(texts, 4);
    const bool useTLS = flag(textAt(texts, 5));

    MailServer* server = nullptr;
    if (const auto known = app.settingsBook.serverKeys.find(key); known != app.settingsBook.serverKeys.end()) {
        server = known->second;
    } else if (key.isEmpty()) {
        // Recipients entered with the same server settings share one server record.
        for (MailServer& s : app.mailServers) {
            if (s.host == host && s.port == port && s.user == user && s.password == password &&
                s.useTLS == useTLS) {
                server = &s;
                break;
            }
        }
    }
    if (!server) {
        server = &app.mailServers.emplace_back(host, port, user, password, useTLS);
        if (!key.isEmpty())
            app.settingsBook.serverKeys[key] = server;
    }

    if (position < count) {
        MailAccount& account = *std::next(app.mailAccounts.begin(), position);
        account.to = textAt(texts, 0);
        account.from = textAt(texts, 1);
        account.server = server;
    } else {
        app.mailAccounts.push_back(MailAccount{textAt(texts, 0), textAt(texts, 1), server});
    }
    const SaveResult result = saveSettings(app);
    app.mailAccountsEdited();
    return result;
}

void storeMailServer(Application& app, const Texts& texts) {
    const QByteArray id = textAt(texts, 5);
    // The first MTA with an id wins.
    if (app.settingsBook.serverKeys.count(id))
        return;
    MailServer& server =
        app.mailServers.emplace_back(textAt(texts, 2), portNumber(textAt(texts, 3, "0")),
                                              textAt(texts, 0), textAt(texts, 1), flag(textAt(texts, 4)));
    if (!id.isEmpty())
        app.settingsBook.serverKeys[id] = &server;
}

SaveResult storeReportSettings(Application& app, const Texts& texts) {
    ReportSettings& r = app.report;
    const Period check = period(texts, 0, "checkEveryUnit",
                                {ReportSettings::defaultCheckUnit, ReportSettings::defaultCheckUnits});
    r.checkEveryUnit = check.unit;
    r.checkEveryUnits = check.units;
    r.sendOnLogin = flag(textAt(texts, 2));
    r.sendUnderOverCurrent = flag(textAt(texts, 3));
    r.sendHistogram = flag(textAt(texts, 4));
    r.sendPowerBill = flag(textAt(texts, 5));
    r.sendEntireLog = flag(textAt(texts, 6));
    const Period report = period(texts, 7, "reportEveryUnit",
                                 {ReportSettings::defaultReportUnit, ReportSettings::defaultReportUnits});
    r.reportEveryUnit = report.unit;
    r.reportEveryUnits = report.units;
    r.kWHPriceUSD =
        rangedNumber(textAt(texts, 9), 0, SettingsRange::price, "storeReportSettings(): kWHPriceUSD: ");
    r.currency = textAt(texts, 10);
    r.alertCurrent = flag(textAt(texts, 11));
    r.alertNoAnswer = flag(textAt(texts, 12));
    r.alertLogins = flag(textAt(texts, 13));
    r.metricsAddress = textAt(texts, 14).trimmed();
    const SaveResult result = saveSettings(app);
    app.reportSettingsChanged();
    return result;
}

SaveResult removeController(Application& app, int position) {
    Controller* controller = app.controllerAt(position);
    if (!controller)
        return {};
    app.removeControllerRecord(controller->id);
    return saveSettings(app);
}

SaveResult removeMailAccount(Application& app, int position) {
    if (position < 0 || position >= static_cast<int>(app.mailAccounts.size()))
        return {};
    app.mailAccounts.erase(std::next(app.mailAccounts.begin(), position));
    const SaveResult result = saveSettings(app);
    app.mailAccountsEdited();
    return result;
}

Texts controllerValues(Application& app, int position) {
    const Controller* c = app.controllerAt(position);
    if (!c)
        return {};
    Texts values{c->name, Application::modelName(c->type), hostAndPort(c->host, c->port), c->admin,
                 c->password};
    for (const ChannelSettings& channel : c->channels)
        values << channel.optionalName << formatG(channel.overcurrent) << formatG(channel.undercurrent)
               << formatG(channel.pf);
    return values;
}

} // namespace Warden::Business
