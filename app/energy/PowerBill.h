#pragma once

#include "Energy.h"

#include <QByteArray>

namespace Warden::Business {

class EventStore;

struct PowerBill {
    QByteArray html;          // the "Power Bill" section of the report
    ChannelEnergies energies; // what the section shows, for the report's own checks
};

// The power-bill section of `controller`'s report over [from, till], priced with the price and
// currency of the report settings.
PowerBill getPowerBill(const EventStore& store, const ReportSettings& settings, const Controller& controller,
                       Time from, Time till);
// The same section for energies already found, priced with `settings`: reads no shared state.
PowerBill powerBill(const ChannelEnergies& energies, Time from, Time till, const ReportSettings& settings);

// Hundredths rounded half up, written with two decimals: 1234 -> "12.34", 5 -> "0.05".
QByteArray paymentText(double kWh, double price);

} // namespace Warden::Business
