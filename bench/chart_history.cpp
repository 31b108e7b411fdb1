// The Status chart's history at start: a week of daily logs of controllers checked every minute (two
// readings and the polling login per check) read back for the three chart ranges. Prints the time to
// write the logs (not part of the start), the time to read them, the buckets held, the resident memory
// they added, and for comparison the time the start already spends bringing back a week of unreported
// events into the store.
//   chart_history [controllers] [days]
#include "core/Application.h"
#include "core/DiagnosticLog.h"
#include "core/EventRestore.h"
#include "status/BusLoad.h"
#include "status/LoadHistory.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <vector>

using namespace Warden;
using namespace Warden::Business;

namespace {

// The machine may be busy with other work: the CPU time taken says what the start costs by itself.
double cpuMs(std::clock_t since) {
    return double(std::clock() - since) * 1000.0 / CLOCKS_PER_SEC;
}

long residentKb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

void writeLogs(const Application& app, const std::vector<Controller*>& controllers, Time from, Time till) {
    std::map<QString, QFile*> files;
    for (Time t = from; t < till; t += 60) {
        const QString path = QString::fromUtf8(Application::dailyLogPath(t));
        QFile*& file = files[path];
        if (!file) {
            QDir().mkpath(QFileInfo(path).path());
            file = new QFile(path);
            file->open(QIODevice::WriteOnly);
        }
        for (std::size_t i = 0; i < controllers.size(); ++i) {
            const double amps = 2 + double((t / 60 + Time(i)) % 40) / 10;
            const QByteArray tail =
                ": 230 V, " + QByteArray::number(amps) + " A, " + QByteArray::number(230 * amps) + " W";
            for (const Event& e : {Event{{},
                                         t,
                                         EventKind::login_success,
                                         Transport::http,
                                         {},
                                         "Successful authentication of user admin",
                                         controllers[i]->id},
                                   Event{{},
                                         t,
                                         EventKind::values,
                                         Transport::http,
                                         "Current loads on channel A" + tail,
                                         "VAH=230",
                                         controllers[i]->id},
                                   Event{{},
                                         t,
                                         EventKind::values,
                                         Transport::http,
                                         "Current loads on channel B" + tail,
                                         "VBH=230",
                                         controllers[i]->id}})
                file->write(app.eventLine(e) + '\n');
        }
    }
    for (auto& [path, file] : files)
        delete file;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 10;
    const int days = argc > 2 ? std::atoi(argv[2]) : 8;
    QTemporaryDir work;
    QDir::setCurrent(work.path());
    DiagnosticLog::open();
    const Time now = 1'796'000'000;
    Application state;
    state.settingsBook.savingEnabled = false;
    std::vector<Controller*> controllers;
    controllers.reserve(static_cast<std::size_t>(std::max(count, 0)));
    for (int i = 0; i < count; ++i)
        controllers.push_back(&state.controllers.emplace_back(
            "rack" + QByteArray::number(i), 0, "10.0.0." + QByteArray::number(i + 1), 0, "admin", "pw"));

    QElapsedTimer timer;
    timer.start();
    writeLogs(state, controllers, now - Time(days) * 86400, now);
    std::printf("wrote %d days of logs for %d controllers (a check a minute): %.0f ms\n", days, count,
                double(timer.nsecsElapsed()) / 1e6);

    std::vector<LoadHistory::Source> sources;
    sources.reserve(controllers.size());
    for (Controller* c : controllers)
        sources.push_back({c->id, c->displayName(), busCount(*c)});
    const long before = residentKb();
    LoadHistory history;
    history.setSources(sources);
    timer.restart();
    std::clock_t cpu = std::clock();
    const LoadHistory::LoadResult result = history.readLogs(work.path(), now);
    const double readMs = double(timer.nsecsElapsed()) / 1e6;
    std::printf("chart history read: %.0f ms (%.0f ms CPU), %lld readings, %zu buckets, %ld KiB resident "
                "added\n",
                readMs, cpuMs(cpu), result.readings, history.bucketCount(), residentKb() - before);

    // What the start already does with the same files: the events since the last report (a week ago).
    for (Controller* c : controllers)
        c->lastReport = now - 7 * 86400;
    timer.restart();
    cpu = std::clock();
    const RestoreResult restored = restoreEvents(state, work.path(), controllers, now);
    std::printf("for comparison, the store's restore of a week of unreported events: %.0f ms (%.0f ms CPU), "
                "%lld events\n",
                double(timer.nsecsElapsed()) / 1e6, cpuMs(cpu), restored.events);
    return 0;
}
