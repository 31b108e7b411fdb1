#pragma once

// The report of one controller as the report runner composes it, its copy taken in one piece.
#include "report/Report.h"

#include <limits>

namespace Warden::Test {

inline QByteArray composedReport(const Business::EventStore& store, const Business::Controller& controller,
                                 Business::Time from, Business::Time till,
                                 const Business::ReportSettings& settings) {
    Business::ReportCopy copy(controller, from, till, settings);
    copy.copy(store, controller, std::numeric_limits<std::size_t>::max());
    return Business::composeReport(copy.take());
}

} // namespace Warden::Test
