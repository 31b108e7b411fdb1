#include "BusLoad.h"

#include "core/Application.h"
#include "energy/Energy.h"

#include <QList>

namespace Warden {

using Business::Application;

std::optional<BusLoad> BusLoad::of(const Business::Event& reading) {
    if (reading.kind != Business::EventKind::values)
        return std::nullopt;
    const qsizetype colon = reading.reason.indexOf(": ");
    if (colon < 0)
        return std::nullopt;
    const QList<QByteArray> parts = reading.reason.mid(colon + 2).split(',');
    if (parts.size() != 3)
        return std::nullopt;
    bool voltsOk = false;
    bool ampsOk = false;
    const double volts = parts[0].trimmed().split(' ').value(0).toDouble(&voltsOk);
    const double amps = parts[1].trimmed().split(' ').value(0).toDouble(&ampsOk);
    if (!voltsOk || !ampsOk)
        return std::nullopt;
    return BusLoad{volts, amps, Business::readingWatts(reading)};
}

int busCount(const Business::Controller& controller) {
    return Application::hasTwoBuses(controller.type) ? 2 : 1;
}

std::optional<int> readingBus(const Business::Controller& controller, const Business::Event& reading) {
    return readingBus(busCount(controller), reading);
}

std::optional<int> readingBus(int buses, const Business::Event& reading) {
    if (reading.kind != Business::EventKind::values)
        return std::nullopt;
    // A one-bus model's readings name its unnamed channel, which the energy code counts as B.
    if (buses == 1)
        return 0;
    return Business::readingChannel(reading);
}

const Business::ChannelSettings* busLimits(const Business::Controller& controller, int bus) {
    if (bus < 0 || bus >= busCount(controller))
        return nullptr;
    if (busCount(controller) == 1)
        return controller.channels.empty() ? nullptr : &controller.channels.front();
    const QByteArray letter = bus == 0 ? "A" : "B";
    for (const Business::ChannelSettings& channel : controller.channels) {
        if (channel.optionalName == letter)
            return &channel;
    }
    return nullptr;
}

BusLimit limitState(double amps, const Business::ChannelSettings* limits) {
    if (!limits)
        return BusLimit::within;
    if (amps > limits->overcurrent)
        return BusLimit::over;
    if (limits->undercurrent > amps)
        return BusLimit::under;
    return BusLimit::within;
}

} // namespace Warden
