#pragma once

#include "core/Event.h"

#include <QByteArray>

#include <functional>
#include <unordered_map>

namespace Warden {

// The name of an event's controller as the Event Log shows it, asked once per controller: sorting and
// filtering a million events must not build a million names. The naming depends on the owner only.
class ControllerNames {
public:
    using Naming = std::function<QByteArray(const Business::Event&)>;

    explicit ControllerNames(Naming naming);

    const QByteArray& of(const Business::Event& event) { return of(event.owner, event); }
    // The name of `owner`, whose event `example` is read only when the name is not known yet.
    const QByteArray& of(Business::ControllerId owner, const Business::Event& example);
    // Controllers were renamed, removed or added: names are asked again.
    void forget();

private:
    Naming naming_;
    // Node-based: a name keeps its address while others are added.
    std::unordered_map<Business::ControllerId, QByteArray> names_;
    Business::ControllerId lastOwner_ = 0;
    const QByteArray* lastName_ = nullptr;
};

} // namespace Warden
