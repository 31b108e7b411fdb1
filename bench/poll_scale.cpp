// Checks of many simulated controllers through the real poller: wall time, request rate, memory, and
// the longest the event loop stood still.
//   poll_scale [controllers] [silent-run-controllers] [large-run-controllers] [hostile-run-seconds]
//              [hostile modes, comma-separated]
// Defaults: 1000, 100, 10000, 60, endless-header,trickle,silent,markers,rows. A 0 leaves a run out.
#include "core/Application.h"
#include "core/CycleEvents.h"
#include "core/DiagnosticLog.h"
#include "query/OpenFileLimit.h"
#include "query/WebThread.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>
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

// The longest gap between two ticks of a timer due every few milliseconds: what the user interface,
// the syslog socket and the metrics endpoint would have waited. On a busy machine much of a gap can be
// time the thread was not scheduled, so the longest stretch of the thread's own CPU time between two
// ticks is measured too: that is the work one pass of the event loop did.
class GapProbe : public QObject {
public:
    GapProbe() {
        timer_.setTimerType(Qt::PreciseTimer);
        connect(&timer_, &QTimer::timeout, this, [this] { tick(); });
        timer_.start(5);
        since_.start();
        cpuSince_ = threadCpuMs();
    }
    double longestMs() {
        tick();
        return longest_;
    }
    double longestCpuMs() {
        tick();
        return longestCpu_;
    }

private:
    static double threadCpuMs() {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
    }
    void tick() {
        const double cpu = threadCpuMs();
        longest_ = std::max(longest_, static_cast<double>(since_.nsecsElapsed()) / 1e6 - 5);
        longestCpu_ = std::max(longestCpu_, cpu - cpuSince_);
        since_.restart();
        cpuSince_ = cpu;
    }
    QTimer timer_;
    QElapsedTimer since_;
    double cpuSince_ = 0;
    double longest_ = 0;
    double longestCpu_ = 0;
};

std::vector<quint16> startSimulator(QProcess& process, const QStringList& arguments) {
    process.start(QStringLiteral(CTLSIM_BINARY), arguments);
    QByteArray output;
    while (!output.contains("ready\n") && process.waitForReadyRead(60000))
        output += process.readAllStandardOutput();
    std::vector<quint16> ports;
    for (const QByteArray& line : output.split('\n')) {
        if (line.startsWith("controller "))
            ports.push_back(quint16(line.split(' ').value(2).toUInt()));
    }
    return ports;
}

// Healthy simulated controllers, a thousand per simulator: every pass of a simulator's event loop
// polls all its listening sockets, and with ten thousand in one the simulator, not the poller,
// would set the pace.
class Simulators {
public:
    static constexpr int perProcess = 1000;

    // `silent` of them (the first ones) accept and never answer.
    Simulators(int count, int silent) {
        for (int first = 0; first < count; first += perProcess) {
            const int n = std::min(perProcess, count - first);
            QStringList arguments{"--count", QString::number(n), "--buses", "2", "--log-rows",
                                  "50",      "--log-max",        "60"};
            if (silent > first)
                arguments << "--fault"
                          << "silent"
                          << "--fault-first" << QString::number(std::min(silent - first, n));
            processes_.push_back(std::make_unique<QProcess>());
            const std::vector<quint16> started = startSimulator(*processes_.back(), arguments);
            ports.insert(ports.end(), started.begin(), started.end());
        }
    }
    ~Simulators() {
        for (auto& process : processes_) {
            process->kill();
            process->waitForFinished();
        }
    }

    std::vector<quint16> ports;

private:
    std::vector<std::unique_ptr<QProcess>> processes_;
};

long peakMemoryMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

long memoryMiB() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    return statm.readAll().split(' ').value(1).toLong() * sysconf(_SC_PAGESIZE) / (1024 * 1024);
}

void addControllers(Application& state, const std::vector<quint16>& ports) {
    for (quint16 port : ports) {
        Controller& c = state.controllers.emplace_back("sim", 0, "127.0.0.1", port, "admin", "secret");
        c.channels = {{"A", 0, 10, 1}, {"B", 0, 10, 1}};
    }
}

// One check; returns false when the run could not be set up.
bool oneCheck(const char* title, int count, int silent) {
    const Simulators simulators(count, silent);
    const std::vector<quint16>& ports = simulators.ports;
    if (int(ports.size()) != count) {
        std::fprintf(stderr, "poll_scale: ctlsim started %zu of %d controllers\n", ports.size(), count);
        return false;
    }
    Application state;
    addControllers(state, ports);

    EndReceiver receiver;
    WebThread web(state, &receiver, nullptr);
    GapProbe gaps;
    QElapsedTimer timer;
    timer.start();
    QCoreApplication::postEvent(&web, new CheckEvent());
    while (!receiver.ended)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    const double longestGapMs = gaps.longestMs();
    const double longestCpuMs = gaps.longestCpuMs();

    int parsed = 0;
    for (const Controller& c : state.controllers)
        parsed += state.events.ownedBy(c.id).size() >= 2 + 50 ? 1 : 0;
    const int requests = 2 * (count - silent);
    std::printf("%s\n  controllers %d (%d never answer), %zu connections at a time, check took %.2f s, "
                "%.0f requests/s, controllers with all events stored %d, events %d, longest event-loop gap "
                "%.0f ms (its own CPU time: %.0f ms), memory %ld MiB (peak %ld MiB)\n",
                title, count, silent, WebThread::defaultMaxConnections, seconds, requests / seconds, parsed,
                state.getEventCount(), longestGapMs, longestCpuMs, memoryMiB(), peakMemoryMiB());
    std::fflush(stdout);
    return true;
}

// Checks every `periodMs` for `seconds`, a check moment that finds the previous check running being
// skipped as the check cycle does; one hostile controller (its own simulator) among healthy ones.
bool hostileRun(const QString& mode, int healthy, int seconds, int periodMs) {
    const Simulators healthySimulators(healthy, 0);
    const std::vector<quint16>& healthyPorts = healthySimulators.ports;
    QProcess hostileSimulator;
    const std::vector<quint16> hostilePorts =
        startSimulator(hostileSimulator, {"--hostile", mode, "--trickle-ms", "2000"});
    if (int(healthyPorts.size()) != healthy || hostilePorts.size() != 1) {
        std::fprintf(stderr, "poll_scale: ctlsim did not start (hostile mode %s)\n", qPrintable(mode));
        return false;
    }
    Application state;
    addControllers(state, hostilePorts);
    addControllers(state, healthyPorts);

    EndReceiver receiver;
    WebThread web(state, &receiver, nullptr);
    std::map<ControllerId, int> reads;
    QObject::connect(&web, &WebThread::checked, &web, [&reads](ControllerId c, const CheckOutcome& outcome) {
        reads[c] += outcome.answered ? 1 : 0;
    });
    int moments = 0;
    int checks = 0;
    bool running = false;
    QTimer period;
    QObject::connect(&period, &QTimer::timeout, &web, [&] {
        ++moments;
        if (running)
            return;
        running = true;
        receiver.ended = false;
        ++checks;
        QCoreApplication::postEvent(&web, new CheckEvent());
    });
    GapProbe gaps;
    QElapsedTimer timer;
    timer.start();
    period.start(periodMs);
    while (timer.elapsed() < seconds * 1000 || running) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        if (receiver.ended)
            running = false;
        if (timer.elapsed() >= seconds * 1000)
            period.stop();
    }
    const double longestGapMs = gaps.longestMs();
    const double longestCpuMs = gaps.longestCpuMs();
    int fewest = checks;
    int most = 0;
    for (auto it = std::next(state.controllers.begin()); it != state.controllers.end(); ++it) {
        fewest = std::min(fewest, reads[it->id]);
        most = std::max(most, reads[it->id]);
    }
    std::printf(
        "one %s controller among %d healthy, %d s, a check moment every %d ms\n  check moments %d, "
        "checks %d, checks read per healthy controller %d to %d, hostile one read %d, longest "
        "event-loop gap %.0f ms (its own CPU time: %.0f ms), events %d, memory %ld MiB (peak %ld MiB)\n",
        qPrintable(mode), healthy, seconds, periodMs, moments, checks, fewest, most,
        reads[state.controllers.front().id], longestGapMs, longestCpuMs, state.getEventCount(), memoryMiB(),
        peakMemoryMiB());
    std::fflush(stdout);
    hostileSimulator.kill();
    hostileSimulator.waitForFinished();
    return true;
}

int argument(int argc, char* argv[], int i, int fallback) {
    return argc > i ? std::atoi(argv[i]) : fallback;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    raiseOpenFileLimit();
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    DiagnosticLog::open();
    const int count = argument(argc, argv, 1, 1000);
    const int silentRun = argument(argc, argv, 2, 100);
    const int largeRun = argument(argc, argv, 3, 10000);
    const int hostileSeconds = argument(argc, argv, 4, 60);
    const QStringList modes =
        QString::fromLocal8Bit(argc > 5 ? argv[5] : "endless-header,trickle,silent,markers,rows")
            .split(QLatin1Char(','), Qt::SkipEmptyParts);
    bool ok = true;
    if (count > 0)
        ok = oneCheck("all controllers answer", count, 0) && ok;
    if (silentRun > 0)
        ok = oneCheck("half never answer (ends at the 25 s bound)", silentRun, silentRun / 2) && ok;
    if (largeRun > 0)
        ok = oneCheck("a large site: all controllers answer", largeRun, 0) && ok;
    if (hostileSeconds > 0) {
        for (const QString& mode : modes)
            ok = hostileRun(mode, std::max(count, 1) - 1, hostileSeconds, 2000) && ok;
    }
    return ok ? 0 : 1;
}
