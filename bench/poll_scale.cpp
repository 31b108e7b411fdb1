// One check of many simulated controllers through the real poller: wall time, request rate, memory.
//   poll_scale [controllers] [silent-run-controllers]
#include "core/Application.h"
#include "core/CycleEvents.h"
#include "core/DiagnosticLog.h"
#include "query/OpenFileLimit.h"
#include "query/WebThread.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <sys/resource.h>
#include <vector>

using namespace Warden;
using namespace Warden::Business;

namespace {

class EndReceiver : public QObject {
public:
    bool event(QEvent* event) override {
        if (event->type() == CycleEvents::clientDone() || event->type() == CycleEvents::clientFailed()) {
            ended = true;
            return true;
        }
        return QObject::event(event);
    }
    bool ended = false;
};

std::vector<quint16> startSimulator(QProcess& process, const QStringList& arguments) {
    process.start(QStringLiteral(CTLSIM_BINARY), arguments);
    QByteArray output;
    while (!output.contains("ready\n") && process.waitForReadyRead(30000))
        output += process.readAllStandardOutput();
    std::vector<quint16> ports;
    for (const QByteArray& line : output.split('\n')) {
        if (line.startsWith("controller "))
            ports.push_back(quint16(line.split(' ').value(2).toUInt()));
    }
    return ports;
}

long peakMemoryKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Returns false when the run could not be set up.
bool run(const char* title, int count, int silent) {
    QStringList arguments{"--count", QString::number(count), "--buses", "2", "--log-rows", "50", "--log-max",
                          "60"};
    if (silent > 0)
        arguments << "--fault"
                  << "silent"
                  << "--fault-first" << QString::number(silent);
    QProcess simulator;
    const std::vector<quint16> ports = startSimulator(simulator, arguments);
    if (int(ports.size()) != count) {
        std::fprintf(stderr, "poll_scale: ctlsim started %zu of %d controllers\n", ports.size(), count);
        return false;
    }
    Application::reset();
    for (quint16 port : ports) {
        Controller& c = Application::controllers.emplace_back("sim", 0, "127.0.0.1", port, "admin", "secret");
        c.channels = {{"A", 0, 10, 1}, {"B", 0, 10, 1}};
    }

    EndReceiver receiver;
    WebThread web(&receiver, nullptr);
    QElapsedTimer timer;
    timer.start();
    QCoreApplication::postEvent(&web, new CheckEvent());
    while (!receiver.ended)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;

    int parsed = 0;
    for (const Controller& c : Application::controllers)
        parsed += Application::events.ownedBy(&c).size() >= 2 + 50 ? 1 : 0;
    const int requests = 2 * (count - silent);
    std::printf("%s\n  controllers %d (%d never answer), check took %.2f s, %.0f requests/s, "
                "controllers with all events stored %d, events %d, peak memory %ld MiB\n",
                title, count, silent, seconds, requests / seconds, parsed, Application::getEventCount(),
                peakMemoryKiB() / 1024);
    std::fflush(stdout);
    simulator.kill();
    simulator.waitForFinished();
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    raiseOpenFileLimit();
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    DiagnosticLog::open();
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int silentRun = argc > 2 ? std::atoi(argv[2]) : 100;
    bool ok = run("all controllers answer", count, 0);
    if (silentRun > 0)
        ok = run("half never answer (ends at the 25 s bound)", silentRun, silentRun / 2) && ok;
    Application::shutdown();
    return ok ? 0 : 1;
}
