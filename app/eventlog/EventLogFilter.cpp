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

EventLogFilter::Matcher::Matcher(const EventLogFilter& filter, ControllerNames& names)
    : filter_(filter)
    , names_(names)
    , folded_(folded(filter.text))
    , search_(filter.text) {
    for (int k = 0; k < 7; ++k)
        kindNamed_[k] = containsFolded(eventKindName(static_cast<EventKind>(k)), folded_);
    transportNamed_[0] = containsFolded(transportName(Transport::http), folded_);
    transportNamed_[1] = containsFolded(transportName(Transport::syslog), folded_);
}

const EventLogFilter::Matcher::OwnerMatch& EventLogFilter::Matcher::ownerMatch(const EventLogRow& row) {
    if (lastMatch_ && lastOwner_ == row.owner)
        return *lastMatch_;
    auto it = owners_.find(row.owner);
    if (it == owners_.end()) {
        const QByteArray& name = names_.of(row.owner, *row.event);
        it = owners_
                 .emplace(row.owner, OwnerMatch{filter_.controller.isEmpty() || filter_.controller == name,
                                                containsFolded(name, folded_)})
                 .first;
    }
    lastOwner_ = row.owner;
    lastMatch_ = &it->second;
    return it->second;
}

bool EventLogFilter::Matcher::textIn(const EventLogRow& row) {
    if (kindNamed_[row.kind] || transportNamed_[row.http ? 0 : 1] || ownerMatch(row).named)
        return true;
    const Event& event = *row.event;
    return search_.in(event.reason) || search_.in(event.raw) || search_.in(event.messageId);
}

bool EventLogFilter::Matcher::operator()(const EventLogRow& row) {
    if (filter_.kind && row.kind != EventLogRow::kindSlot(*filter_.kind))
        return false;
    if (filter_.hideOwnPolling && row.ownPolling)
        return false;
    if (!ownerMatch(row).shown)
        return false;
    return folded_.isEmpty() || textIn(row);
}

} // namespace Warden
