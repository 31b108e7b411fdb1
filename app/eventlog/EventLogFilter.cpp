#include "EventLogFilter.h"

#include <cstring>

namespace Warden {

using Business::Event;
using Business::EventKind;
using Business::Transport;

namespace {

char fold(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c;
}

int kindSlot(EventKind kind) {
    const int n = static_cast<int>(kind);
    return n >= 0 && n < 6 ? n : 6;
}

} // namespace

QByteArray EventLogFilter::folded(const QByteArray& text) {
    QByteArray out = text;
    for (char& c : out)
        c = fold(c);
    return out;
}

bool EventLogFilter::containsFolded(QByteArrayView haystack, QByteArrayView needle) {
    if (needle.isEmpty())
        return true;
    if (haystack.size() < needle.size())
        return false;
    const char first = needle[0];
    const char upper = first >= 'a' && first <= 'z' ? static_cast<char>(first - 0x20) : first;
    const char* const last = haystack.data() + (haystack.size() - needle.size());
    for (const char* p = haystack.data(); p <= last; ++p) {
        if (*p != first && *p != upper)
            continue;
        qsizetype i = 1;
        while (i < needle.size() && fold(p[i]) == needle[i])
            ++i;
        if (i == needle.size())
            return true;
    }
    return false;
}

bool EventLogFilter::narrows(const EventLogFilter& wider) const {
    return (wider.controller.isEmpty() || wider.controller == controller) &&
           (!wider.kind || wider.kind == kind) && (hideOwnPolling || !wider.hideOwnPolling) &&
           containsFolded(folded(text), folded(wider.text));
}

EventLogFilter::Matcher::Matcher(const EventLogFilter& filter, const OwnPollingLogins& polling,
                                 ControllerNames& names)
    : filter_(filter)
    , polling_(polling)
    , names_(names)
    , folded_(folded(filter.text)) {
    for (int k = 0; k < 7; ++k)
        kindNamed_[k] = containsFolded(eventKindName(static_cast<EventKind>(k)), folded_);
    transportNamed_[0] = containsFolded(transportName(Transport::http), folded_);
    transportNamed_[1] = containsFolded(transportName(Transport::syslog), folded_);
}

const EventLogFilter::Matcher::OwnerMatch& EventLogFilter::Matcher::ownerMatch(const Event& event) {
    if (lastMatch_ && lastOwner_ == event.owner)
        return *lastMatch_;
    auto it = owners_.find(event.owner);
    if (it == owners_.end()) {
        const QByteArray& name = names_.of(event);
        it = owners_
                 .emplace(event.owner, OwnerMatch{filter_.controller.isEmpty() || filter_.controller == name,
                                                  containsFolded(name, folded_)})
                 .first;
    }
    lastOwner_ = event.owner;
    lastMatch_ = &it->second;
    return it->second;
}

bool EventLogFilter::Matcher::textIn(const Event& event) {
    return kindNamed_[kindSlot(event.kind)] || transportNamed_[event.transport == Transport::http ? 0 : 1] ||
           ownerMatch(event).named || containsFolded(event.reason, folded_) ||
           containsFolded(event.raw, folded_) || containsFolded(event.messageId, folded_);
}

bool EventLogFilter::Matcher::operator()(const Event& event) {
    if (filter_.kind && event.kind != *filter_.kind)
        return false;
    if (!ownerMatch(event).shown)
        return false;
    if (filter_.hideOwnPolling && polling_.matches(event))
        return false;
    return folded_.isEmpty() || textIn(event);
}

} // namespace Warden
