#pragma once

#include "service/Service.h"

namespace Warden::Test {

// The service as window tests run it: syslog on a port the system picks, and no scheduler, so that the
// test's controllers (some at addresses off this machine) are queried only when the test runs a check.
inline Service::Options windowTestService() {
    return {0, std::nullopt, false};
}

} // namespace Warden::Test
