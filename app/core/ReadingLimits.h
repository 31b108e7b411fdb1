#pragma once

namespace Warden::Business {

// What a rack power controller can really measure. A reading beyond these is a broken or hostile
// device, not a load: taken as one it would bill "inf kWH" or draw 1e308 W. The bounds are far above
// any rack feed (a few hundred volts, tens of amperes) so that no real reading comes near them.
struct ReadingLimits {
    static constexpr double maxAmps = 1000;
    static constexpr double maxVolts = 100000;
    // The most power an accepted reading can show: 100 MW.
    static constexpr double maxWatts = maxVolts * maxAmps;
    // A year at the most power an accepted reading can show is 8.76e8 kWh, so no energy of a bill or
    // export period up to a year can pass this; anything above comes from corrupt data.
    static constexpr double maxKWh = 1e9;

    // The comparisons are false for NaN, so a value that is no number is never plausible.
    static constexpr bool plausibleAmps(double amps) { return amps >= 0 && amps <= maxAmps; }
    static constexpr bool plausibleVolts(double volts) { return volts >= 0 && volts <= maxVolts; }
    static constexpr bool plausiblePowerFactor(double pf) { return pf >= 0 && pf <= 1; }
    static constexpr bool plausibleWatts(double watts) { return watts >= 0 && watts <= maxWatts; }
    static constexpr bool plausibleKWh(double kWh) { return kWh >= 0 && kWh <= maxKWh; }
};

} // namespace Warden::Business
