// The energy side of a monthly report on a large store: 30 days of minute readings on both buses of
// 100 controllers plus 100,000 other events. Prints, for one controller, the time of getEnergy() over
// the month, of the power bill and of the three monthly histograms, and checks the energies against
// the plain walk over the whole store and against the transitions.
//
//   report_energy [controllers] [days]
#include "FullWalkEnergy.h"

#include "ReadingTexts.h"
#include "core/Application.h"
#include "core/DiagnosticLog.h"
#include "energy/Energy.h"
#include "energy/Histogram.h"
#include "energy/PowerBill.h"
#include "energy/ReadingWindow.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <bit>
#include <cstdio>
#include <ctime>
#include <vector>

using namespace Warden::Business;
using Warden::Test::fullWalkEnergy;

namespace {

// CPU time of this thread: the machine the figures come from is often shared, and wall-clock time
// would then mostly measure the other processes.
double threadMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

class Stopwatch {
public:
    Stopwatch() { restart(); }
    void restart() {
        wall_.start();
        cpu_ = threadMilliseconds();
    }
    double cpuMilliseconds() const { return threadMilliseconds() - cpu_; }
    double wallMilliseconds() const { return static_cast<double>(wall_.nsecsElapsed()) / 1e6; }

private:
    QElapsedTimer wall_;
    double cpu_ = 0;
};

double milliseconds(const Stopwatch& timer) {
    return timer.cpuMilliseconds();
}

bool sameBits(double a, double b) {
    return std::bit_cast<quint64>(a) == std::bit_cast<quint64>(b);
}

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int controllerCount = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    const int days = argc > 2 ? std::max(1, std::atoi(argv[2])) : 30;
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    Warden::DiagnosticLog::open();
    Application state;

    std::vector<Controller*> controllers;
    controllers.reserve(static_cast<std::size_t>(controllerCount));
    for (int i = 0; i < controllerCount; ++i)
        controllers.push_back(&state.controllers.emplace_back(
            "rack" + QByteArray::number(i), 0, "10.1.0." + QByteArray::number(i), 80, "admin", "secret"));

    QRandomGenerator random(1);
    const Warden::Bench::ReadingTexts texts = Warden::Bench::readingTexts(random);
    const std::vector<QByteArray>& textsA = texts.a;
    const std::vector<QByteArray>& textsB = texts.b;

    const Time till = 1796083200; // a midnight in late 2026
    const Time from = till - days * Time{86400};
    Stopwatch timer;
    for (Time t = from - 60; t < till + 120; t += 60) {
        for (Controller* c : controllers) {
            state.events.insert(
                Event{"", t, EventKind::values, Transport::http, textsA[random.bounded(500u)], "", c->id});
            state.events.insert(
                Event{"", t, EventKind::values, Transport::http, textsB[random.bounded(500u)], "", c->id});
        }
    }
    for (int i = 0; i < 100000; ++i) {
        Controller* c = controllers[random.bounded(static_cast<quint32>(controllerCount))];
        const Time t = from + random.bounded(static_cast<int>(till - from));
        state.events.insert(Event{"", t, i % 2 ? EventKind::login_success : EventKind::unknown,
                                  Transport::syslog, "user admin logged in", "raw", c->id});
    }
    std::printf("times are CPU time of the benchmark's thread\n");
    std::printf("store:                 %zu events, filled in %.1f s\n", state.events.size(),
                milliseconds(timer) / 1000);

    const Controller& controller = *controllers[static_cast<std::size_t>(controllerCount / 2)];
    state.report.reportEveryUnit = ReportSettings::monthPeriod;
    state.report.reportEveryUnits = 1;
    state.report.kWHPriceUSD = 0.31;
    state.report.currency = "EUR";

    timer.restart();
    const ChannelEnergies month = getEnergy(state.events, controller, from, till);
    std::printf("getEnergy, month:      %.3f ms\n", milliseconds(timer));

    timer.restart();
    const ChannelEnergies reference = fullWalkEnergy(state.events, controller, from, till);
    std::printf("full walk, month:      %.3f ms (reference)\n", milliseconds(timer));
    bool identical = sameBits(month.a, reference.a) && sameBits(month.b, reference.b);

    timer.restart();
    const PowerBill bill = getPowerBill(state.events, state.report, controller, from, till);
    std::printf("power bill:            %.3f ms\n", milliseconds(timer));

    const HistogramLayout layout = histogramLayout(state.report, from, till);
    timer.restart();
    const ReadingWindow readings(controller, from, till, state.events);
    const QByteArray pngA = createPngImage(controller, "A", layout, bill.energies.a, readings);
    const QByteArray pngB = createPngImage(controller, "B", layout, bill.energies.b, readings);
    const QByteArray pngTotal = createPngImage(controller, "", layout, bill.energies.total(), readings);
    const double histograms = milliseconds(timer);
    std::printf("3 histograms, %d bars: %.3f ms (target < 150 ms; %.0f ms wall-clock)\n", layout.bars(),
                histograms, timer.wallMilliseconds());

    // The same pictures for a controller with a single reading: drawing and PNG encoding alone.
    Controller& quiet = state.controllers.emplace_back("quiet", 0, "10.2.0.1", 80, "admin", "secret");
    state.events.insert(Event{"", from, EventKind::values, Transport::http, textsA[0], "", quiet.id});
    state.events.insert(Event{"", from, EventKind::values, Transport::http, textsB[0], "", quiet.id});
    timer.restart();
    const ChannelEnergies quietEnergy = getEnergy(state.events, quiet, from, till);
    const ReadingWindow quietReadings(quiet, from, till, state.events);
    createPngImage(quiet, "A", layout, quietEnergy.a, quietReadings);
    createPngImage(quiet, "B", layout, quietEnergy.b, quietReadings);
    createPngImage(quiet, "", layout, quietEnergy.total(), quietReadings);
    std::printf("  of which drawing:    %.3f ms (the same 3 pictures of a controller with one reading)\n",
                milliseconds(timer));

    // Every bar's energy against the plain walk as well.
    timer.restart();
    for (int i = 0; i < layout.bars(); ++i) {
        const Time s = layout.edges[static_cast<std::size_t>(i)];
        const Time e = layout.edges[static_cast<std::size_t>(i) + 1];
        const ChannelEnergies bar = getEnergy(state.events, controller, s, e);
        const ChannelEnergies plain = fullWalkEnergy(state.events, controller, s, e);
        identical &= sameBits(bar.a, plain.a) && sameBits(bar.b, plain.b);
    }
    std::printf("full walk, %d bars:    %.0f ms (reference, per histogram)\n", layout.bars(),
                milliseconds(timer));

    timer.restart();
    double tA = 0;
    double tB = 0;
    getTransitions(isUnderOverCurrent(controller, from, till, state.events, 0), from, till, tA);
    getTransitions(isUnderOverCurrent(controller, from, till, state.events, 1), from, till, tB);
    std::printf("transitions, month:    %.3f ms (the tests' cross-check, both channels with traces)\n",
                milliseconds(timer));

    QFile logFile(QStringLiteral("app.log"));
    const QByteArray log = logFile.open(QIODevice::ReadOnly) ? logFile.readAll() : QByteArray();
    std::printf("energy A, B:           %.9f, %.9f kWh\n", month.a, month.b);
    std::printf("same as the full walk: %s\n", identical ? "yes, to the last bit" : "NO");
    std::printf("transitions agree:     %s\n",
                !energiesDiffer(month.a, tA) && !energiesDiffer(month.b, tB) ? "yes" : "NO");
    std::printf("energy errors logged:  %s\n", log.contains("nergy error") ? "YES" : "none");
    std::printf("PNG sizes:             %lld, %lld, %lld base64 bytes\n", static_cast<long long>(pngA.size()),
                static_cast<long long>(pngB.size()), static_cast<long long>(pngTotal.size()));
    return identical ? 0 : 1;
}
