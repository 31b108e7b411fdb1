// The metrics endpoint with 1,000 two-bus controllers, each with a few readings per bus: the time to
// draw the exposition on the main thread, and the time of one scrape over HTTP on loopback (median and
// slowest of a series), with the snapshot republished between scrapes as a running program does.
// --alike gives every controller the same name and address, which the exposition has to tell apart.
// Drawing is the one thing the endpoint does on the main thread; its slowest is held against 1 s.
//   metrics [controllers] [scrapes] [--alike]
#include "core/Application.h"
#include "core/DiagnosticLog.h"
#include "metrics/MetricsExposition.h"
#include "metrics/MetricsServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QStringList>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace Warden;
using namespace Warden::Business;

namespace {

double ms(qint64 ns) {
    return double(ns) / 1e6;
}

// One GET /metrics; the body's size, or -1 on a failure.
qint64 scrape(quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return -1;
    socket.write("GET /metrics HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n");
    QByteArray answer;
    answer.reserve(4 << 20);
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(5000))
        answer += socket.readAll();
    answer += socket.readAll();
    if (!answer.startsWith("HTTP/1.1 200"))
        return -1;
    return answer.size() - (answer.indexOf("\r\n\r\n") + 4);
}

void report(const char* what, std::vector<double> times) {
    std::sort(times.begin(), times.end());
    std::printf("%-34s median %8.2f ms   slowest %8.2f ms   (%zu runs)\n", what, times[times.size() / 2],
                times.back(), times.size());
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    const bool alike = args.removeAll(QStringLiteral("--alike")) > 0;
    const int count = args.size() > 0 ? std::max(1, args[0].toInt()) : 1000;
    const int runs = args.size() > 1 ? std::max(1, args[1].toInt()) : 50;
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    DiagnosticLog::open();

    Application state;
    MetricsExposition exposition(state);
    QObject::connect(&state, &Application::eventAdded,
                     [&exposition](const Event& event) { exposition.eventAdded(event); });
    const Time start = 1'796'000'000;
    for (int i = 0; i < count; ++i) {
        Controller& c = state.controllers.emplace_back(
            alike ? QByteArray("rack") : "rack " + QByteArray::number(i), 0,
            alike ? QByteArray("10.0.0.1")
                  : "10.0." + QByteArray::number(i / 250) + '.' + QByteArray::number(i % 250),
            80, "admin", "secret");
        c.channels = {ChannelSettings{"A", 0.5, 16, 1}, ChannelSettings{"B", 0.5, 16, 1}};
    }
    for (int reading = 0; reading < 10; ++reading) {
        for (Controller& c : state.controllers) {
            for (const char* bus : {"A", "B"})
                state.addEvent({}, start + reading * 60, c.id, EventKind::values, Transport::http,
                               QByteArray("Current loads on channel ") + bus + ": 230 V, 2.5 A, 575 W", {});
            exposition.checked(c.id, {true, 200, {}}, start + reading * 60);
        }
    }

    MetricsServer server;
    const MetricsServer::Result started = server.start({QHostAddress::LocalHost, 0});
    if (!started.ok) {
        std::fprintf(stderr, "metrics: server did not start: %s\n", started.reason.constData());
        return 1;
    }
    std::vector<double> renders;
    std::vector<double> scrapes;
    qint64 size = 0;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        QByteArray text = exposition.render(0);
        renders.push_back(ms(timer.nsecsElapsed()));
        server.publish(std::move(text));
        timer.restart();
        size = scrape(server.port());
        scrapes.push_back(ms(timer.nsecsElapsed()));
        if (size < 0) {
            std::fprintf(stderr, "metrics: scrape %d failed\n", run);
            return 1;
        }
    }
    std::printf("%d two-bus controllers%s, exposition of %lld bytes\n", count,
                alike ? " configured alike" : "", static_cast<long long>(size));
    report("snapshot drawn on the main thread", renders);
    report("scrape over HTTP (loopback)", scrapes);
    const double slowest = *std::max_element(renders.begin(), renders.end());
    std::printf("longest main-thread stall: %.0f ms (target < 1000 ms): %s\n", slowest,
                slowest < 1000 ? "met" : "MISSED");
    server.stop();
    return 0;
}
