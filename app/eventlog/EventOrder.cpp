#include "EventOrder.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

namespace Warden {

using Business::Event;
using Business::EventKind;
using Business::NewestFirst;
using Business::Transport;

namespace {

const QByteArray& transportText(Transport transport) {
    static const QByteArray http = transportName(Transport::http);
    static const QByteArray syslog = transportName(Transport::syslog);
    return transport == Transport::http ? http : syslog;
}

std::string_view view(const QByteArray& text) {
    return {text.constData(), static_cast<std::size_t>(text.size())};
}

// Ranks of texts in their sorted order; equal texts share one.
std::vector<int> ranksOf(const std::vector<QByteArray>& texts) {
    std::vector<QByteArray> sorted = texts;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    std::vector<int> ranks;
    for (const QByteArray& text : texts)
        ranks.push_back(
            static_cast<int>(std::lower_bound(sorted.begin(), sorted.end(), text) - sorted.begin()));
    return ranks;
}

int kindSlot(EventKind kind) {
    const int n = static_cast<int>(kind);
    return n >= 0 && n < 6 ? n : 6;
}

} // namespace

EventOrder::EventOrder(int column, Qt::SortOrder order, ControllerNames& names)
    : column_(column)
    , descending_(order == Qt::DescendingOrder)
    , names_(names) {
}

const QByteArray& EventOrder::text(const EventLogRow& row) const {
    const Event& event = *row.event;
    switch (column_) {
    case messageIdColumn:
        return event.messageId;
    case controllerColumn:
        return names_.of(event);
    case kindColumn:
        return eventKindName(event.kind);
    case reasonColumn:
        return event.reason;
    case rawColumn:
        return event.raw;
    case transportColumn:
        return transportText(event.transport);
    default:
        static const QByteArray none;
        return none;
    }
}

bool EventOrder::operator()(const EventLogRow& a, const EventLogRow& b) const {
    if (column_ == whenColumn)
        return descending_ ? NewestFirst{}(a.key, b.key) : NewestFirst{}(b.key, a.key);
    const int c = view(text(a)).compare(view(text(b)));
    if (c != 0)
        return descending_ ? c > 0 : c < 0;
    return NewestFirst{}(a.key, b.key);
}

void EventOrder::arrange(std::vector<EventLogRow>& rows) const {
    switch (column_) {
    case whenColumn:
        if (!descending_)
            std::reverse(rows.begin(), rows.end());
        break;
    case kindColumn: {
        std::vector<QByteArray> names;
        for (int k = 0; k < 7; ++k)
            names.push_back(eventKindName(static_cast<EventKind>(k)));
        const std::vector<int> ranks = ranksOf(names);
        arrangeByRank(rows, 7, [&ranks](const Event& e) { return ranks[kindSlot(e.kind)]; });
        break;
    }
    case transportColumn:
        // "http" before "syslog".
        arrangeByRank(rows, 2, [](const Event& e) { return e.transport == Transport::http ? 0 : 1; });
        break;
    case controllerColumn:
        arrangeByController(rows);
        break;
    default:
        arrangeByText(rows);
    }
}

template <class Rank>
void EventOrder::arrangeByRank(std::vector<EventLogRow>& rows, int ranks, Rank rank) const {
    // A stable counting sort: among equal texts the rows keep their newest-first order.
    std::vector<int> buckets;
    buckets.reserve(rows.size());
    std::vector<std::size_t> starts(static_cast<std::size_t>(ranks) + 1, 0);
    for (const EventLogRow& row : rows) {
        const int r = rank(*row.event);
        const int slot = descending_ ? ranks - 1 - r : r;
        buckets.push_back(slot);
        ++starts[static_cast<std::size_t>(slot) + 1];
    }
    for (std::size_t s = 1; s < starts.size(); ++s)
        starts[s] += starts[s - 1];
    std::vector<EventLogRow> arranged(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i)
        arranged[starts[static_cast<std::size_t>(buckets[i])]++] = rows[i];
    rows.swap(arranged);
}

void EventOrder::arrangeByController(std::vector<EventLogRow>& rows) const {
    std::unordered_map<const Business::Controller*, int> owners;
    std::vector<QByteArray> names;
    for (const EventLogRow& row : rows) {
        if (owners.emplace(row.event->owner, static_cast<int>(names.size())).second)
            names.push_back(names_.of(*row.event));
    }
    const std::vector<int> ranks = ranksOf(names);
    const Business::Controller* lastOwner = nullptr;
    int lastRank = -1;
    arrangeByRank(rows, static_cast<int>(names.size()), [&](const Event& e) {
        if (lastRank < 0 || e.owner != lastOwner) {
            lastOwner = e.owner;
            lastRank = ranks[static_cast<std::size_t>(owners.at(e.owner))];
        }
        return lastRank;
    });
}

void EventOrder::arrangeByText(std::vector<EventLogRow>& rows) const {
    struct Keyed {
        std::string_view text;
        std::size_t index;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i)
        keyed.push_back({view(text(rows[i])), i});
    // Stable: among equal texts the rows keep their newest-first order.
    if (descending_)
        std::stable_sort(keyed.begin(), keyed.end(),
                         [](const Keyed& a, const Keyed& b) { return a.text > b.text; });
    else
        std::stable_sort(keyed.begin(), keyed.end(),
                         [](const Keyed& a, const Keyed& b) { return a.text < b.text; });
    std::vector<EventLogRow> arranged;
    arranged.reserve(rows.size());
    for (const Keyed& k : keyed)
        arranged.push_back(rows[k.index]);
    rows.swap(arranged);
}

} // namespace Warden
