// Adds a million events over 100 controllers to the store, with the daily log and the snapshot file
// written as the program writes them, and prints the rate, the bytes written and the memory per event.
#include "core/Application.h"
#include "core/DiagnosticLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <fstream>
#include <string>

using namespace Warden::Business;

namespace {

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
        status.ignore(1 << 12, '\n');
    }
    return 0;
}

qint64 bytesUnder(const QString& path) {
    qint64 total = 0;
    QDirIterator it(path, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        total += QFileInfo(it.next()).size();
    return total;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const int total = argc > 1 ? std::atoi(argv[1]) : 1000000;
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    Warden::DiagnosticLog::open();
    Application state;

    std::vector<Controller*> controllers;
    controllers.reserve(100);
    for (int i = 0; i < 100; ++i)
        controllers.push_back(&state.controllers.emplace_back(
            "rack" + QByteArray::number(i), i % 7, "10.1.0." + QByteArray::number(i), 80, "admin", "secret"));

    // Texts of the lengths the controllers produce.
    const QByteArray values = "Bus A: 229.8 V, 3.42 A, 785 W; Bus B: 230.1 V, 2.97 A, 683 W";
    const QByteArray reason = "Current loads on channel A: 3.42A, allowed range 0.5A - 13A";
    const QByteArray login = "Dec  6 16:31:11 pdu httpd: user admin logged in from 10.0.0.7";

    QRandomGenerator random(1);
    const long rssBefore = residentKiB();
    Time t = 1796000000; // late 2026
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < total; ++i) {
        t += random.bounded(2); // a few per second, in order, across midnights
        Controller* c = controllers[static_cast<std::size_t>(i % 100)];
        switch (i % 10) {
        case 0:
            state.addEvent("", t, c->id, EventKind::login_success, Transport::syslog, "", login);
            break;
        case 1:
            state.addEvent("", t, c->id, EventKind::overcurrent, Transport::http, reason, "");
            break;
        default:
            state.addEvent("", t, c->id, EventKind::values, Transport::http, reason, values);
        }
    }
    const double addSeconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    state.flushSnapshot();
    const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    const long rssAfter = residentKiB();
    state.shutdown();

    std::printf("events added:        %d\n", total);
    std::printf("events stored:       %d\n", state.getEventCount());
    std::printf("time:                %.3f s (including the final AMW.log)\n", seconds);
    std::printf("events per second:   %.0f\n", total / seconds);
    std::printf("  of which adds:      %.3f s (each with its daily-log line, flushed)\n", addSeconds);
    std::printf("  final AMW.log:      %.3f s\n", seconds - addSeconds);
    std::printf("bytes written:       %lld (daily logs and AMW.log)\n",
                static_cast<long long>(bytesUnder(dir.path())));
    std::printf("memory per event:    %.1f bytes resident\n",
                static_cast<double>(rssAfter - rssBefore) * 1024.0 / total);
    return 0;
}
