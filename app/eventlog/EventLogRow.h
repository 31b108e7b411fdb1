#pragma once

#include "core/EventStore.h"

namespace Warden {

// One row of the Event Log: the event and its place in the store, which outlives the event itself.
struct EventLogRow {
    const Business::Event* event;
    Business::EventKey key;
};

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
