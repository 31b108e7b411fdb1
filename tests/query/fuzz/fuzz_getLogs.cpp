#include "core/Application.h"
#include "core/Clock.h"
#include "query/ControllerLogs.h"

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>

using Warden::Business::Application;

namespace {
struct Fuzzed {
    Application& app;
    Warden::Business::Controller& controller;
};

// Set up on the first input, so replay runners that do not call LLVMFuzzerInitialize work too. The
// state is never destroyed: its end would write "AMW.log" into the directory the fuzzer runs in.
Fuzzed fuzzState() {
    static const Fuzzed fuzzed = [] {
        static int argc = 1;
        static char name[] = "fuzz_getLogs";
        static char* argv[] = {name, nullptr};
        static QCoreApplication core(argc, argv);
        Warden::Clock::setSource([] { return qint64(1796574671); });
        Application& app = *new Application;
        Warden::Business::Controller& c =
            app.controllers.emplace_back("fuzz", 0, "127.0.0.1", 0, "admin", "pw");
        c.channels = {{"A", 1, 2, 0.9}, {"B", 0, 10, 1}};
        return Fuzzed{app, c};
    }();
    return fuzzed;
}
} // namespace

// The input is an index page and a syslog page, split at the first 0x01 byte.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto [app, c] = fuzzState();
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype split = input.indexOf('\x01');
    const QByteArray indexPage = split < 0 ? input : input.left(split);
    const QByteArray syslogPage = split < 0 ? QByteArray() : input.mid(split + 1);

    app.events.clear();
    c.lastCheck = 0;
    // Keeps the daily log files out of every run; "AMW.log" is only written from the event loop,
    // which never runs here.
    c.lastLog = std::numeric_limits<qint64>::max();
    Warden::Business::getLogs(app, c.id, indexPage, syslogPage);
    // Whatever the pages, one check gives at most a reading and an alarm per bus of the model and
    // the log rows one check takes.
    if (app.getEventCount() > 2 * 2 + Warden::Business::logRowsPerCheck)
        std::abort();
    return 0;
}
