// One monthly report run of many metering controllers, each with a reading a minute on both buses: the
// wall-clock time of the run on the report runner's thread pool, on one thread, and all on the main
// thread as before the runner, on the same store filled anew each time, and the longest time the main
// thread's event loop went without turning during each run. Delivery is a stub that keeps a digest of the
// mails, so that the two runs can be compared mail by mail; the composing is what is measured.
//
//   report_run [controllers] [days]
#include "ComposedReport.h"
#include "ReadingTexts.h"
#include "core/Application.h"
#include "core/DiagnosticLog.h"
#include "report/Report.h"
#include "report/ReportRunner.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

using namespace Warden;
using namespace Warden::Business;

namespace {

const Time till = 1796083200; // a midnight in late 2026

double cpuMilliseconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// The same store every time: the random generator starts from the same seed.
void fillStore(Application& state, int controllerCount, Time from) {
    std::vector<Controller*> controllers;
    for (int i = 0; i < controllerCount; ++i) {
        Controller& c = state.controllers.emplace_back(
            "rack" + QByteArray::number(i), 0,
            "10.1." + QByteArray::number(i / 250) + "." + QByteArray::number(i % 250), 80, "admin", "secret");
        state.setReportTime(c, from);
        c.lastCheck = till;
        controllers.push_back(&c);
    }
    QRandomGenerator random(1);
    const Warden::Bench::ReadingTexts texts = Warden::Bench::readingTexts(random);
    const std::vector<QByteArray>& textsA = texts.a;
    const std::vector<QByteArray>& textsB = texts.b;
    for (Time t = from - 60; t < till + 120; t += 60) {
        for (Controller* c : controllers) {
            state.events.insert(
                Event{"", t, EventKind::values, Transport::http, textsA[random.bounded(500u)], "", c->id});
            state.events.insert(
                Event{"", t, EventKind::values, Transport::http, textsB[random.bounded(500u)], "", c->id});
            if (t % 86400 == 3600)
                state.events.insert(Event{"login", t, EventKind::login_success, Transport::syslog,
                                          "user admin logged in", "raw", c->id});
        }
    }
}

struct RunFigures {
    double wallMs = 0;
    double mainCpuMs = 0;
    double otherCpuMs = 0; // the pool's threads (and Qt's own)
    double longestGapMs = 0;
    int mails = 0;
    qint64 bytes = 0;
    QByteArray digest;
    std::size_t eventsAfter = 0;
};

RunFigures runOnce(Application& state, int threads, Time from) {
    RunFigures figures;
    QCryptographicHash digest(QCryptographicHash::Sha256);
    ReportRunner runner(state, [&](const OutboxMail& mail) {
        ++figures.mails;
        figures.bytes += mail.body.size();
        digest.addData(mail.controller);
        digest.addData(mail.body);
    });
    runner.setMaxThreads(threads);

    // A timer every few milliseconds: the longest gap between two of its ticks is the longest the
    // event loop did not turn.
    QElapsedTimer sinceTick;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        figures.longestGapMs =
            std::max(figures.longestGapMs, static_cast<double>(sinceTick.nsecsElapsed()) / 1e6);
        sinceTick.restart();
    });
    QEventLoop loop;
    QElapsedTimer wall;
    wall.start();
    const double cpu = cpuMilliseconds(CLOCK_THREAD_CPUTIME_ID);
    const double processCpu = cpuMilliseconds(CLOCK_PROCESS_CPUTIME_ID);
    sinceTick.start();
    ticker.start(2);
    runner.run(from, till, [&loop] { loop.quit(); });
    loop.exec();
    figures.wallMs = static_cast<double>(wall.nsecsElapsed()) / 1e6;
    figures.mainCpuMs = cpuMilliseconds(CLOCK_THREAD_CPUTIME_ID) - cpu;
    figures.otherCpuMs = cpuMilliseconds(CLOCK_PROCESS_CPUTIME_ID) - processCpu - figures.mainCpuMs;
    // The gap up to the end counts too.
    figures.longestGapMs =
        std::max(figures.longestGapMs, static_cast<double>(sinceTick.nsecsElapsed()) / 1e6);
    ticker.stop();
    figures.digest = digest.result().toHex().left(16);
    figures.eventsAfter = state.events.size();
    return figures;
}

// The run as it was before the report runner: every controller composed, reported and the store pruned
// on the main thread, which is one stall from start to end.
RunFigures runOnMainThread(Application& state, Time from) {
    RunFigures figures;
    QCryptographicHash digest(QCryptographicHash::Sha256);
    QElapsedTimer wall;
    wall.start();
    const double cpu = cpuMilliseconds(CLOCK_THREAD_CPUTIME_ID);
    for (Controller& controller : state.controllers) {
        const QByteArray body = Warden::Test::composedReport(state.events, controller, from, till, state.report);
        ++figures.mails;
        figures.bytes += body.size();
        digest.addData(controller.displayName());
        digest.addData(body);
        state.markReported(controller);
    }
    state.prune();
    figures.wallMs = static_cast<double>(wall.nsecsElapsed()) / 1e6;
    figures.mainCpuMs = cpuMilliseconds(CLOCK_THREAD_CPUTIME_ID) - cpu;
    figures.longestGapMs = figures.wallMs;
    figures.digest = digest.result().toHex().left(16);
    figures.eventsAfter = state.events.size();
    return figures;
}

void print(const char* label, const RunFigures& f) {
    std::printf("%-12s wall %7.0f ms, CPU main %6.0f ms + others %6.0f ms, longest event-loop gap %7.1f ms, "
                "%d mails, %.1f MB, digest %s, %zu events left\n",
                label, f.wallMs, f.mainCpuMs, f.otherCpuMs, f.longestGapMs, f.mails,
                static_cast<double>(f.bytes) / 1e6, f.digest.constData(), f.eventsAfter);
}

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int controllerCount = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const int days = argc > 2 ? std::max(1, std::atoi(argv[2])) : 30;
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    DiagnosticLog::open();
    // Each run starts from the same state: the settings stay, the controllers and events go. A state
    // writes its files when it goes, after the run's figures are taken.
    const auto configure = [](Application& state) {
        ReportSettings& settings = state.report;
        settings.reportEveryUnit = ReportSettings::monthPeriod;
        settings.reportEveryUnits = 1;
        settings.sendOnLogin = true;
        settings.sendUnderOverCurrent = true;
        settings.sendPowerBill = true;
        settings.sendHistogram = true;
        settings.kWHPriceUSD = 0.31;
        settings.currency = "EUR";
        MailServer& server = state.mailServers.emplace_back("127.0.0.1", 25, "", "", false);
        state.mailAccounts.push_back({"ops@example.test", "warden@example.test", &server});
    };

    const Time from = till - days * Time{86400};
    const int threads = std::max(1, QThread::idealThreadCount());
    // What the program uses: a composing thread per core but the main thread's.
    const int programThreads = std::max(1, threads - 1);
    std::printf("%d controllers, %d days of minute readings on two buses, %d cores\n", controllerCount, days,
                threads);

    // The font database is filled on first use, once per process: not part of either run.
    {
        Application state;
        configure(state);
        fillStore(state, 1, till - 86400);
        runOnce(state, 1, till - 86400);
    }

    // The program's pool, a composing thread per core (when that differs), one thread, and 0:
    // everything on the main thread, as before the report runner.
    std::vector<int> counts{programThreads};
    if (threads != programThreads)
        counts.push_back(threads);
    if (programThreads != 1)
        counts.push_back(1);
    counts.push_back(0);
    std::vector<RunFigures> figures;
    for (const int t : counts) {
        Application state;
        configure(state);
        QElapsedTimer fill;
        fill.start();
        fillStore(state, controllerCount, from);
        std::printf("store: %zu events, filled in %.1f s\n", state.events.size(),
                    static_cast<double>(fill.elapsed()) / 1000.0);
        figures.push_back(t == 0 ? runOnMainThread(state, from) : runOnce(state, t, from));
        const QByteArray label =
            t == 0 ? QByteArray("main thread:") : QByteArray::number(t) + (t == 1 ? " thread:" : " threads:");
        print(label.constData(), figures.back());
        // The snapshot file follows the pruned store half a second after the run; written as the state
        // goes, it does not fall into the next run.
    }
    bool same = true;
    for (const RunFigures& f : figures)
        same = same && f.digest == figures.front().digest && f.mails == figures.front().mails;
    std::printf("speed-up:    %.2f x with the program's %d threads against everything on the main thread\n",
                figures.back().wallMs / figures.front().wallMs, programThreads);
    std::printf("same mails:  %s\n", same ? "yes" : "NO");
    return same ? 0 : 1;
}
