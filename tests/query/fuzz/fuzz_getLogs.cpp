#include "core/Application.h"
#include "core/Clock.h"
#include "query/ControllerLogs.h"

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>
#include <limits>

using Warden::Business::Application;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    Warden::Clock::setSource([] { return qint64(1796574671); });
    Application::controllers.emplace_back("fuzz", 0, "127.0.0.1", 0, "admin", "pw");
    Application::controllers.back().channels = {{"A", 1, 2, 0.9}, {"B", 0, 10, 1}};
    return 0;
}

// The input is an index page and a syslog page, split at the first 0x01 byte.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype split = input.indexOf('\x01');
    const QByteArray indexPage = split < 0 ? input : input.left(split);
    const QByteArray syslogPage = split < 0 ? QByteArray() : input.mid(split + 1);

    Application::events.clear();
    Warden::Business::Controller& c = Application::controllers.back();
    c.lastCheck = 0;
    // Keeps the daily log files out of every run; "AMW.log" is only written from the event loop,
    // which never runs here.
    c.lastLog = std::numeric_limits<qint64>::max();
    Warden::Business::getLogs(0, indexPage, syslogPage);
    return 0;
}
