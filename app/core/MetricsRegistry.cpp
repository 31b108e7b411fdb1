#include "MetricsRegistry.h"

namespace Warden {

namespace {

// Kinds and transports outside the enumerations (a corrupt value) count with the last of each.
int kindIndex(Business::EventKind kind) {
    const int index = static_cast<int>(kind);
    return index >= 0 && index < MetricsRegistry::eventKinds ? index : MetricsRegistry::eventKinds - 1;
}

int transportIndex(Business::Transport transport) {
    return transport == Business::Transport::http ? 0 : 1;
}

} // namespace

MetricsRegistry& MetricsRegistry::instance() {
    static MetricsRegistry registry;
    return registry;
}

void MetricsRegistry::countEvent(Business::EventKind kind, Business::Transport transport) {
    add(events_[kindIndex(kind)][transportIndex(transport)]);
}

std::uint64_t MetricsRegistry::events(Business::EventKind kind, Business::Transport transport) const {
    return get(events_[kindIndex(kind)][transportIndex(transport)]);
}

void MetricsRegistry::reset() {
    const auto zero = [](auto& counters) {
        for (Counter& c : counters)
            c.store(0, std::memory_order_relaxed);
    };
    for (auto& row : events_)
        zero(row);
    zero(checks_);
    zero(datagrams_);
    zero(mails_);
}

} // namespace Warden
