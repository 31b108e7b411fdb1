// What one check costs when a controller serves hostile pages just under the 4 MiB body cap: the
// time getLogs() takes, the events it stores, the app.log bytes it writes and the peak memory of the
// process, each case in a fresh child process so that one case's peak cannot hide another's.
//   hostile_pages [checks]
// Every case runs `checks` checks (default 2) a minute apart on the same pages and prints one line
// per check; each case runs on a page a quarter that size first, so that the two show whether the
// cost grows in proportion to the page.
#include "core/Application.h"
#include "core/Clock.h"
#include "core/DiagnosticLog.h"
#include "query/ControllerLogs.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <functional>

using namespace Warden;
using namespace Warden::Business;

namespace {

// 06 Dec 2026 16:31:11 UTC; the pages show the time in the zone the process runs in.
constexpr qint64 start = 1796574671;
qint64 now = start;

long peakMemoryKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

QByteArray clockCell(qint64 t) {
    const std::time_t time = t;
    std::tm tm{};
    localtime_r(&time, &tm);
    char cell[64];
    std::snprintf(cell, sizeof cell, "%02d:%02d:%02d %d/%02d/%02d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return "<table><tr><td>" + QByteArray(cell) + "<!-- clock, hours up --></td></tr></table>\n";
}

QByteArray repeated(QByteArrayView piece, int times) {
    QByteArray page;
    page.reserve(piece.size() * times);
    for (int i = 0; i < times; ++i)
        page += piece;
    return page;
}

// Rows one second apart, newest first as the controllers list them, all within the last day.
QByteArray datedRows(int count) {
    QByteArray page;
    page.reserve(count * 48);
    for (int i = 0; i < count; ++i) {
        const std::time_t t = start - 60 - i;
        std::tm tm{};
        localtime_r(&t, &tm);
        char text[64];
        std::strftime(text, sizeof text, "%b %e %H:%M:%S", &tm);
        page += "<tr><td nowrap>" + QByteArray(text) + " Reboot</td></tr>\n";
    }
    return page;
}

struct Case {
    const char* title;
    int count; // markers or rows on the full page
    std::function<QByteArray(int count)> indexPage;
    std::function<QByteArray(int count)> syslogPage;
};

void runCase(const Case& c, int count, int checks) {
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    DiagnosticLog::open();
    Clock::setSource([] { return now; });
    Application state;
    Controller& controller = state.controllers.emplace_back("hostile", 0, "127.0.0.1", 80, "admin", "pw");
    controller.channels = {{"A", 1, 10, 1}, {"B", 1, 10, 1}};
    const QByteArray indexPage = c.indexPage(count);
    const QByteArray syslogPage = c.syslogPage(count);
    const long baseKiB = peakMemoryKiB();
    std::printf("%d %s (index %lld bytes, syslog %lld bytes), before the first check %ld KiB\n", count,
                c.title, static_cast<long long>(indexPage.size()), static_cast<long long>(syslogPage.size()),
                baseKiB);
    qint64 appLogBefore = QFileInfo(QStringLiteral("app.log")).size();
    for (int check = 1; check <= checks; ++check) {
        const int eventsBefore = state.getEventCount();
        QElapsedTimer timer;
        timer.start();
        getLogs(state, controller.id, indexPage, syslogPage);
        const double ms = double(timer.nsecsElapsed()) / 1e6;
        const qint64 appLog = QFileInfo(QStringLiteral("app.log")).size();
        std::printf("  check %d: %9.1f ms, %7d events, app.log +%lld bytes, peak %ld KiB (+%ld)\n", check, ms,
                    state.getEventCount() - eventsBefore, static_cast<long long>(appLog - appLogBefore),
                    peakMemoryKiB(), peakMemoryKiB() - baseKiB);
        appLogBefore = appLog;
        now += 60;
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    const int checks = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2;
    const auto none = [](int) { return QByteArray(); };
    const Case cases[] = {
        {"empty load comments", 400000, [](int n) { return repeated("<!-- RAW ", n); },
         [](int) { return clockCell(now); }},
        {"unclosed empty log rows", 250000, none,
         [](int n) { return clockCell(now) + repeated("<tr><td nowrap>", n); }},
        {"closed empty log rows", 160000, none,
         [](int n) { return clockCell(now) + repeated("<tr><td nowrap></td></tr>", n); }},
        {"dated log rows", 85000, none, [](int n) { return clockCell(now) + datedRows(n); }},
    };
    for (const Case& c : cases) {
        for (const int count : {c.count / 4, c.count}) {
            std::fflush(stdout);
            const pid_t child = fork();
            if (child == 0) {
                QCoreApplication app(argc, argv);
                runCase(c, count, checks);
                std::_Exit(0);
            }
            int status = 0;
            waitpid(child, &status, 0);
        }
    }
    return 0;
}
