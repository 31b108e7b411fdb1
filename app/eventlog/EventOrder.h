#pragma once

#include "ControllerNames.h"
#include "EventLogRow.h"

#include <Qt>

#include <vector>

namespace Warden {

// The order of the Event Log's rows: by the texts of one column, and among equal texts newest first,
// in either direction. Every two events are in a definite order, so a new event has exactly one place.
class EventOrder {
public:
    EventOrder(int column, Qt::SortOrder order, ControllerNames& names);

    // `rows` come newest first, as the store holds them. `spare` is working space; its contents go.
    void arrange(EventLogRows& rows, EventLogRows& spare) const;
    bool operator()(const EventLogRow& a, const EventLogRow& b) const;

private:
    const QByteArray& text(const EventLogRow& row) const;
    // Columns of a few distinct texts are arranged by counting, in one pass.
    template <class Rank>
    void arrangeByRank(EventLogRows& rows, EventLogRows& spare, int ranks, Rank rank) const;
    void arrangeByText(EventLogRows& rows, EventLogRows& spare) const;
    void arrangeByController(EventLogRows& rows, EventLogRows& spare) const;

    int column_;
    bool descending_;
    ControllerNames& names_;
};

} // namespace Warden
