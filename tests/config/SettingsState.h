#pragma once

#include "config/Settings.h"
#include "core/Application.h"
#include "core/ClockText.h"

#include <QByteArray>

#include <optional>

namespace Warden::Test {

// The whole settings state as plain lines, so that a test can compare states without going through
// the XML writer it checks:
//   C|name|type|host|port|admin|password   then per channel   ch|optionalName|under|over|pf
//   S|host|port|user|password|tls          A|to|from|server position
//   R|checkUnit|checkUnits|five flags|reportUnit|reportUnits|price|currency
inline QByteArray settingsState(const Business::Application& app) {
    const auto g = [](double v) { return formatG(v); };
    QByteArray out;
    for (const auto& c : app.controllers) {
        out += "C|" + c.name + '|' + QByteArray::number(c.type) + '|' + c.host + '|' +
               QByteArray::number(c.port) + '|' + c.admin + '|' + c.password + '\n';
        for (const auto& ch : c.channels)
            out += "ch|" + ch.optionalName + '|' + g(ch.undercurrent) + '|' + g(ch.overcurrent) + '|' +
                   g(ch.pf) + '\n';
    }
    for (const auto& s : app.mailServers)
        out += "S|" + s.host + '|' + QByteArray::number(s.port) + '|' + s.user + '|' + s.password + '|' +
               (s.useTLS ? '1' : '0') + '\n';
    for (const auto& a : app.mailAccounts) {
        int position = 0;
        for (const auto& s : app.mailServers) {
            if (&s == a.server)
                break;
            ++position;
        }
        out += "A|" + a.to + '|' + a.from + '|' + QByteArray::number(position) + '\n';
    }
    const auto& r = app.report;
    out += "R|" + QByteArray::number(r.checkEveryUnit) + '|' + QByteArray::number(r.checkEveryUnits) + '|' +
           (r.sendOnLogin ? '1' : '0') + (r.sendUnderOverCurrent ? '1' : '0') +
           (r.sendHistogram ? '1' : '0') + (r.sendPowerBill ? '1' : '0') + (r.sendEntireLog ? '1' : '0') +
           '|' + QByteArray::number(r.reportEveryUnit) + '|' + QByteArray::number(r.reportEveryUnits) + '|' +
           g(r.kWHPriceUSD) + '|' + r.currency + '\n';
    return out;
}

// The report line of the initial state: checks every 5 minutes, a report a day.
inline QByteArray initialReport() {
    return "R|60|5|00000|86400|1|0|\n";
}

// A new state, the way the program starts, with saving enabled as after a start without a file.
inline void startWithoutFile(std::optional<Business::Application>& app) {
    app.emplace();
    (void)Business::loadSettings(*app);
}

} // namespace Warden::Test
