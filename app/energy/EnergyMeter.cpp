#include "EnergyMeter.h"

#include "Sweep.h"

#include <algorithm>

namespace Warden::Business {

namespace {

// How late a check's answer may come (the querying's deadline).
constexpr Time answerDeadline = 25;

} // namespace

Time EnergyMeter::bridge(quint32 checkPeriod) {
    return 2 * static_cast<Time>(checkPeriod == 0 ? 60 : checkPeriod) + answerDeadline;
}

EnergyMeter::EnergyMeter(Time bridge, Time from)
    : bridge_(bridge)
    , from_(from) {
}

bool EnergyMeter::add(Time time, double watts) {
    if (held_ && time < since_)
        return false;
    const Time held = heldSeconds(time);
    joules_ += watts_ * static_cast<double>(held);
    covered_ += held;
    held_ = true;
    since_ = time;
    watts_ = watts;
    return true;
}

void EnergyMeter::restart(Time from) {
    from_ = from;
    joules_ = 0;
    covered_ = 0;
}

Time EnergyMeter::heldSeconds(Time till) const {
    if (!held_)
        return 0;
    return std::max<Time>(0, std::min(till, since_ + std::max<Time>(bridge_, 0)) - std::max(since_, from_));
}

double EnergyMeter::joules(Time till) const {
    return joules_ + watts_ * static_cast<double>(heldSeconds(till));
}

double EnergyMeter::kWh(Time till) const {
    return joules(till) / joulesPerKWh;
}

Time EnergyMeter::covered(Time till) const {
    return covered_ + heldSeconds(till);
}

} // namespace Warden::Business
