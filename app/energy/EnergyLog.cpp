#include "EnergyLog.h"

#include "core/ClockText.h"

Q_LOGGING_CATEGORY(lcEnergy, "ampwarden.energy")
Q_LOGGING_CATEGORY(lcEnergyTrace, "ampwarden.energy.trace", QtInfoMsg)

namespace Warden::Business {

void noteMissingReadings(Time from, Time till) {
    qCDebug(lcEnergy).noquote() << "Event::isUnderOverCurrent(): there are no sufficient events from " +
                                       QString::fromUtf8(clockText(from)) + " till " +
                                       QString::fromUtf8(clockText(till)) + " of:";
}

} // namespace Warden::Business
