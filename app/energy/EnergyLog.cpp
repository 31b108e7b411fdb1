#include "EnergyLog.h"

Q_LOGGING_CATEGORY(lcEnergy, "ampwarden.energy")
Q_LOGGING_CATEGORY(lcEnergyTrace, "ampwarden.energy.trace", QtInfoMsg)
