#pragma once

#include <QLoggingCategory>

// Debug messages of the energy code.
Q_DECLARE_LOGGING_CATEGORY(lcEnergy)
// The long ones: listings of readings. Off unless switched on with
// QT_LOGGING_RULES="ampwarden.energy.trace.debug=true", because a store holds months of readings.
Q_DECLARE_LOGGING_CATEGORY(lcEnergyTrace)
