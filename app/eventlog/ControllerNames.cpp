#include "ControllerNames.h"

namespace Warden {

ControllerNames::ControllerNames(Naming naming)
    : naming_(std::move(naming)) {
}

const QByteArray& ControllerNames::of(const Business::Event& event) {
    // Events come in runs of one controller more often than not.
    if (lastName_ && lastOwner_ == event.owner)
        return *lastName_;
    auto it = names_.find(event.owner);
    if (it == names_.end())
        it = names_.emplace(event.owner, naming_(event)).first;
    lastOwner_ = event.owner;
    lastName_ = &it->second;
    return it->second;
}

void ControllerNames::forget() {
    names_.clear();
    lastOwner_ = nullptr;
    lastName_ = nullptr;
}

} // namespace Warden
