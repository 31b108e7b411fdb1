#pragma once

#include "core/Records.h"

#include <QLoggingCategory>

// Debug messages of the energy code.
Q_DECLARE_LOGGING_CATEGORY(lcEnergy)
// The long ones: calculation traces and listings of readings. Off unless switched on with
// QT_LOGGING_RULES="ampwarden.energy.trace.debug=true", because a monthly report would otherwise
// write every reading of the month several times.
Q_DECLARE_LOGGING_CATEGORY(lcEnergyTrace)

namespace Warden::Business {

// The debug line for a channel without a single reading that the load over [from, till] depends on.
void noteMissingReadings(Time from, Time till);

} // namespace Warden::Business
