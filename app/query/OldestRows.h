#pragma once

#include "core/Records.h"

#include <QtGlobal>

#include <vector>

namespace Warden::Business {

// A log row of a controller's page that is newer than the rows already taken: its time and where its
// text lies on the page.
struct DatedRow {
    Time when = 0;
    qsizetype start = 0;
    qsizetype length = 0;
};

// The rows one check takes when there are more than it may take.
struct RowSelection {
    // In page order.
    std::vector<DatedRow> taken;
    // Every row up to this time is taken: the next check takes what is newer. Without rows left for
    // later, the newest time taken (or `after` when none was).
    Time takenUpTo = 0;
    // Newer than takenUpTo, for the next checks.
    qsizetype left = 0;
    // Rows of one second beyond the limit, which no later check can tell from the ones taken.
    qsizetype dropped = 0;
};

// The oldest `limit` rows, whole seconds only: a second whose rows do not all fit is left for the
// next check, since the next check takes rows by time and would otherwise lose or repeat some of it.
// Only when the oldest second alone holds more than `limit` rows are `limit` of them taken and the
// rest dropped. Linear in the number of rows.
RowSelection oldestRows(std::vector<DatedRow> rows, qsizetype limit, Time after);

} // namespace Warden::Business
