#include "OldestRows.h"

#include <algorithm>

namespace Warden::Business {

RowSelection oldestRows(std::vector<DatedRow> rows, qsizetype limit, Time after) {
    RowSelection selection;
    if (qsizetype(rows.size()) <= limit) {
        selection.takenUpTo = after;
        for (const DatedRow& row : rows)
            selection.takenUpTo = std::max(selection.takenUpTo, row.when);
        selection.taken = std::move(rows);
        return selection;
    }
    if (limit <= 0) {
        selection.takenUpTo = after;
        selection.left = qsizetype(rows.size());
        return selection;
    }

    // The time of the limit-th oldest row decides which seconds fit.
    std::vector<Time> times(rows.size());
    std::transform(rows.begin(), rows.end(), times.begin(), [](const DatedRow& row) { return row.when; });
    std::nth_element(times.begin(), times.begin() + (limit - 1), times.end());
    const Time boundary = times[std::size_t(limit - 1)];
    const auto older = qsizetype(std::count_if(
        rows.begin(), rows.end(), [boundary](const DatedRow& row) { return row.when < boundary; }));
    const auto atBoundary = qsizetype(std::count_if(
        rows.begin(), rows.end(), [boundary](const DatedRow& row) { return row.when == boundary; }));

    Time last = boundary;     // the newest second taken
    qsizetype sameSecond = 0; // rows of the boundary second taken so far (only when it is split)
    if (older + atBoundary > limit)
        last = older > 0 ? boundary - 1 : boundary;
    const bool splitSecond = older == 0 && atBoundary > limit;
    for (const DatedRow& row : rows) {
        if (row.when > last)
            continue;
        if (splitSecond && ++sameSecond > limit)
            continue;
        selection.taken.push_back(row);
    }
    selection.takenUpTo = last;
    selection.dropped = splitSecond ? atBoundary - limit : 0;
    selection.left = qsizetype(rows.size()) - qsizetype(selection.taken.size()) - selection.dropped;
    return selection;
}

} // namespace Warden::Business
