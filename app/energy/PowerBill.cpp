#include "PowerBill.h"

#include "HtmlText.h"

#include "core/Application.h"
#include "core/ClockText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace Warden::Business {

namespace {

QByteArray fixed6(double value) {
    char buffer[512];
    const int n = std::snprintf(buffer, sizeof buffer, "%.6f", value);
    return QByteArray(buffer, std::clamp(n, 0, static_cast<int>(sizeof buffer) - 1));
}

} // namespace

QByteArray paymentText(double kWh, double price) {
    const double hundredths = std::trunc(kWh * 100 * price + 0.5);
    // Written from a double, not an integer type, so that any amount comes out in full.
    char buffer[512];
    const int n = std::snprintf(buffer, sizeof buffer, "%.0f", std::fabs(hundredths));
    QByteArray digits(buffer, std::clamp(n, 0, static_cast<int>(sizeof buffer) - 1));
    while (digits.size() < 3)
        digits.prepend('0');
    digits.insert(digits.size() - 2, '.');
    return hundredths < 0 ? '-' + digits : digits;
}

PowerBill getPowerBill(const EventStore& store, const ReportSettings& settings, const Controller& controller,
                       Time from, Time till) {
    return powerBill(getEnergy(store, controller, from, till), from, till, settings);
}

PowerBill powerBill(const ChannelEnergies& energies, Time from, Time till, const ReportSettings& settings) {
    PowerBill bill;
    bill.energies = energies;
    const double a = bill.energies.a;
    const double b = bill.energies.b;
    bill.html = "<h3>Power Bill</h3>\r\n<p style=\"border-style: solid; border-width: 1px;\">\r\nFrom " +
                clockText(from) + " till " + clockText(till) + "<br />\r\n";
    // The currency is whatever the settings hold, markup included.
    const QByteArray currency = htmlEscaped(settings.currency);
    bill.html += "Consumed energy on channel A: " + fixed6(a) +
                 " kWH<br />\r\nConsumed energy on channel B: " + fixed6(b) +
                 " kWH<br />\r\nTotal consumed energy: " + fixed6(a + b) +
                 " kWH<br />\r\nPrice: " + fixed6(settings.kWHPriceUSD) + " " + currency + " / kWH<br />\r\n";
    bill.html +=
        "Total payment: " + paymentText(a + b, settings.kWHPriceUSD) + " " + currency + "\r\n</p>\r\n";
    return bill;
}

} // namespace Warden::Business
