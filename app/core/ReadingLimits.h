#pragma once

namespace Warden::Business {

// What a rack power controller can really measure. A reading beyond these is a broken or hostile
// device, not a load: taken as one it would bill "inf kWH" or draw 1e308 W. The bounds are far above
// any rack feed (a few hundred volts, tens of amperes) so that no real reading comes near them.
struct ReadingLimits {
    static constexpr double maxAmps = 1000;
    static constexpr double maxVolts = 100000;

    // The comparisons are false for NaN, so a value that is no number is never plausible.
    static constexpr bool plausibleAmps(double amps) { return amps >= 0 && amps <= maxAmps; }
    static constexpr bool plausibleVolts(double volts) { return volts >= 0 && volts <= maxVolts; }
    static constexpr bool plausiblePowerFactor(double pf) { return pf >= 0 && pf <= 1; }
};

} // namespace Warden::Business
