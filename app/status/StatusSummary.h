#pragma once

#include "StatusModel.h"

#include <QString>

namespace Warden::StatusSummary {

// The bottom bar's line: "4 controllers: 1 in alarm, 1 no answer, 0 stale"; empty without controllers.
QString line(const StatusModel::Counts& counts);
// What goes before the window's title, so that a taskbar shows it: the counts that are not 0
// ("1 in alarm, 2 no answer"); empty when all is well.
QString title(const StatusModel::Counts& counts);
// The condition whose colour the summary wears.
StatusCondition worst(const StatusModel::Counts& counts);

} // namespace Warden::StatusSummary
