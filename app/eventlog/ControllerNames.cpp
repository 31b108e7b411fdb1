#include "ControllerNames.h"

namespace Warden {

ControllerNames::ControllerNames(Naming naming)
    : naming_(std::move(naming)) {
}

const QByteArray& ControllerNames::of(Business::ControllerId owner, const Business::Event& example) {
    // Events come in runs of one controller more often than not.
    if (lastName_ && lastOwner_ == owner)
        return *lastName_;
    auto it = names_.find(owner);
    if (it == names_.end())
        it = names_.emplace(owner, naming_(example)).first;
    lastOwner_ = owner;
    lastName_ = &it->second;
    return it->second;
}

void ControllerNames::forget() {
    names_.clear();
    lastOwner_ = 0;
    lastName_ = nullptr;
}

} // namespace Warden
