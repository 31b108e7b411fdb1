#include "CycleEvents.h"

namespace Warden {

namespace {
struct Registered {
    QEvent::Type check = static_cast<QEvent::Type>(QEvent::registerEventType());
    QEvent::Type clientDone = static_cast<QEvent::Type>(QEvent::registerEventType());
    QEvent::Type clientFailed = static_cast<QEvent::Type>(QEvent::registerEventType());
    QEvent::Type report = static_cast<QEvent::Type>(QEvent::registerEventType());
};
const Registered& registered() {
    static const Registered types;
    return types;
}
// Registered during static initialisation, so the three numbers do not depend on who asks first.
[[maybe_unused]] const Registered& atStart = registered();
} // namespace

QEvent::Type CycleEvents::check() {
    return registered().check;
}
QEvent::Type CycleEvents::clientDone() {
    return registered().clientDone;
}
QEvent::Type CycleEvents::clientFailed() {
    return registered().clientFailed;
}
QEvent::Type CycleEvents::report() {
    return registered().report;
}

} // namespace Warden
