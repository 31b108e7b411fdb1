#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <vector>

namespace Warden::Business {

// Seconds since 1970 UTC. Kept 64-bit so that the program goes on working after 2038; every value
// before then is the same as with 32-bit arithmetic.
using Time = qint64;

// Names one controller record for as long as the program runs, also after an edit, and never names
// another: events, checks and report runs refer to a controller by it, so that editing or removing
// one while they are under way leaves nothing pointing at the wrong record. 0 names none.
using ControllerId = quint64;

struct ChannelSettings {
    QByteArray optionalName;
    double undercurrent = 0;
    double overcurrent = 0;
    double pf = 0;
};

class Controller {
public:
    Controller(QByteArray controllerName, qint32 model, QByteArray address, quint16 httpPort,
               QByteArray adminName, QByteArray adminPassword);

    // "name : model @ host[:port]"; names the controller in diagnostics and report subjects.
    QByteArray displayName() const;

    // Bookkeeping of the three times. Each logs when a time would not move forward and applies the
    // new value anyway. The report time goes through Application::markReported, which the event
    // store's pruning follows.
    void check(Time t);
    void log();
    void report();

    QByteArray name;
    qint32 type = 0;
    QByteArray host;
    quint16 port = 0;
    QByteArray admin;
    QByteArray password;
    std::vector<ChannelSettings> channels;
    Time lastReport = 0;
    Time lastLog = 0;
    Time lastCheck = 0;
    // The controller time up to which its log table is in the event store. Unlike the three times
    // above it is not reset by an edit (unless the edit names another host or port) and does not move
    // back on a failed read, so neither brings the rows already taken back into the store. Kept with
    // lastReport in "Ampwarden.state" (StateFile), not in the configuration file.
    Time logRowsUpTo = 0;
    // Copies keep it; an edit in place keeps it too.
    ControllerId id = newId();

private:
    static ControllerId newId();
};

struct MailServer {
    MailServer(QByteArray serverHost, quint16 serverPort, QByteArray userName, QByteArray userPassword,
               bool tls)
        : host(std::move(serverHost))
        , port(serverPort)
        , user(std::move(userName))
        , password(std::move(userPassword))
        , useTLS(tls) {}

    QByteArray host;
    quint16 port = 0;
    QByteArray user;
    QByteArray password;
    bool useTLS = false;
};

struct MailAccount {
    QByteArray to;
    QByteArray from;
    MailServer* server = nullptr;
};

struct ReportSettings {
    // Without settings a new controller is checked every 5 minutes and reported on daily: a period
    // a controller bears and a mailbox welcomes. A count goes with its unit: where the settings name
    // no unit, the whole default period holds.
    static constexpr quint32 defaultCheckUnit = 60, defaultCheckUnits = 5;
    static constexpr quint32 defaultReportUnit = 86400, defaultReportUnits = 1;

    quint32 checkEveryUnit = defaultCheckUnit;
    quint32 checkEveryUnits = defaultCheckUnits;
    bool sendOnLogin = false;
    bool sendUnderOverCurrent = false;
    bool sendHistogram = false;
    bool sendPowerBill = false;
    bool sendEntireLog = false;
    quint32 reportEveryUnit = defaultReportUnit;
    quint32 reportEveryUnits = defaultReportUnits;
    double kWHPriceUSD = 0;
    QByteArray currency;
    // Mails sent at once, outside the reports.
    bool alertCurrent = false;  // a bus leaves its limits, and is back
    bool alertNoAnswer = false; // a controller misses three checks, and answers again
    bool alertLogins = false;   // a burst of failed logins
    // "ADDRESS:PORT" of the metrics endpoint; empty: none.
    QByteArray metricsAddress;

    static constexpr quint32 maxCheckPeriod = 86400;
    static constexpr quint32 monthPeriod = 2592000;

    // Products wrap as unsigned 32-bit values before the cap, like the program always did.
    quint32 checkPeriod() const;
    quint32 reportPeriod() const;
};

} // namespace Warden::Business
