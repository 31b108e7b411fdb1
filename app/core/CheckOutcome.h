#pragma once

#include "CheckFailure.h"
#include "Records.h"

#include <QByteArray>

#include <vector>

namespace Warden::Business {

// One bus current a check read, with the limits it was judged against.
struct BusReading {
    QByteArray bus; // "A" or "B", as the controller's page names it
    double amps = 0;
    double undercurrent = 0;
    double overcurrent = 0;
};

// What one check learned of one controller: whether it answered with pages that could be read, and
// the bus currents of its channels (buses without a configured channel have no limits to judge).
struct CheckOutcome {
    CheckOutcome() = default;
    // {answered, status, readings} where no failure is to be told.
    CheckOutcome(bool answeredPages, int status, std::vector<BusReading> busReadings = {},
                 CheckFailure why = {})
        : answered(answeredPages)
        , httpStatus(status)
        , readings(std::move(busReadings))
        , failure(std::move(why)) {}

    bool answered = false;
    // The HTTP status of the controller's last answer; 0 when none came (unreachable, silent).
    int httpStatus = 0;
    std::vector<BusReading> readings;
    // Why it did not answer; none when it did.
    CheckFailure failure;
};

} // namespace Warden::Business
