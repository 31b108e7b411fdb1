#pragma once

#include "BigBlocks.h"

#include "core/EventStore.h"

namespace Warden {

// One row of the Event Log: the event, its place in the store (which outlives the event itself), and
// what the filters and the orders by controller, type and transport ask, kept at hand: a million
// events are sorted and filtered by these without visiting one of them.
struct EventLogRow {
    const Business::Event* event;
    Business::EventKey key;
    Business::ControllerId owner = 0;
    quint8 kind; // the kind's number, 6 for a value outside the table
    bool http;
    bool ownPolling;
    bool shown; // let through by the filter in force

    static quint8 kindSlot(Business::EventKind kind) {
        const int n = static_cast<int>(kind);
        return static_cast<quint8>(n >= 0 && n < 6 ? n : 6);
    }
};

using EventLogRows = BigVector<EventLogRow>;

// Room for `rows` rows and the events of a while beyond: a new event must not move them all.
inline void reserveRows(EventLogRows& rows, std::size_t count) {
    if (rows.capacity() < count)
        rows.reserve(count + count / 8 + 1024);
}

// A pass over many rows that reads their events asks for the event some rows ahead: the events lie
// all over the heap, and waiting for each in turn was most of such a pass.
inline void prefetchEvent(const EventLogRows& rows, std::size_t i) {
    constexpr std::size_t ahead = 16;
    if (i + ahead < rows.size())
        __builtin_prefetch(rows[i + ahead].event);
}

// The same for a pass that reads the events' texts: the event two strides ahead, and the texts of the
// one a stride ahead, whose event has come by now. Only for rows whose events are all still there.
inline void prefetchTexts(const EventLogRows& rows, std::size_t i) {
    constexpr std::size_t ahead = 16;
    if (i + 2 * ahead < rows.size())
        __builtin_prefetch(rows[i + 2 * ahead].event);
    if (i + ahead < rows.size()) {
        const Business::Event& event = *rows[i + ahead].event;
        __builtin_prefetch(event.reason.constData());
        __builtin_prefetch(event.raw.constData());
        __builtin_prefetch(event.messageId.constData());
    }
}

// The Event Log's columns, as the table always had them.
enum EventLogColumn : int {
    messageIdColumn,
    whenColumn,
    controllerColumn,
    kindColumn,
    reasonColumn,
    rawColumn,
    transportColumn,
    eventLogColumns
};

} // namespace Warden
