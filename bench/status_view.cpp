// The Status tab with 1,000 two-bus controllers: the time to apply one check's results (two readings
// and an outcome per controller, as the querying object delivers them) to the model and a shown view,
// and the longest main-thread stall while they arrive one client at a time, the view sorted worst
// first as on the tab.
//   QT_QPA_PLATFORM=offscreen status_view [controllers] [checks]
#include "core/Application.h"
#include "core/Clock.h"
#include "core/DiagnosticLog.h"
#include "status/StatusModel.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace Warden;
using namespace Warden::Business;

namespace {

Time now = 1'796'000'000;

// What the page parser stores for one controller, then what the querying object tells.
void deliver(Application& state, StatusModel* model, int index, int check) {
    Controller* c = state.controllerAt(index);
    const double ampsB = (index + check) % 10 == 0 ? 10.4 : 1.5; // a tenth over its limit now and then
    state.addEvent({}, now, c->id, EventKind::values, Transport::http,
                   "Current loads on channel A: 230 V, 2.5 A, 575 W", "VAH=230 CAH=2.5");
    state.addEvent({}, now, c->id, EventKind::values, Transport::http,
                   "Current loads on channel B: 230 V, " + QByteArray::number(ampsB) + " A, " +
                       QByteArray::number(230 * ampsB) + " W",
                   "VBH=230 CBH=" + QByteArray::number(ampsB));
    if (model)
        model->setOutcome(c->id, {true, 200, {}});
}

double ms(qint64 ns) {
    return double(ns) / 1e6;
}

// All results in one go, then the views updated: the worst case of one check.
double checkAtOnce(Application& state, StatusModel* model, QTableView& view, int count, int check) {
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < count; ++i)
        deliver(state, model, i, check);
    if (model)
        model->flush();
    view.viewport()->repaint();
    return ms(timer.nsecsElapsed());
}

// Results one per event-loop pass, as clients end. The gaps between the passes of a zero timer, which
// delivers one result each time, are the main thread's stalls: deliveries, row updates and repaints.
std::pair<double, double> checkSpread(Application& state, StatusModel* model, QTableView& view, int count,
                                      int check) {
    QElapsedTimer total;
    QElapsedTimer gap;
    qint64 longest = 0;
    int delivered = 0;
    QTimer pass;
    pass.setInterval(0);
    QObject::connect(&pass, &QTimer::timeout, &view, [&] {
        longest = std::max(longest, gap.nsecsElapsed());
        gap.restart();
        if (delivered < count)
            deliver(state, model, delivered, check);
        ++delivered;
    });
    total.start();
    gap.start();
    pass.start();
    // Two passes more: the last rows and the repaint they ask for.
    while (delivered < count + 2)
        QCoreApplication::processEvents();
    pass.stop();
    return {ms(total.nsecsElapsed()), ms(longest)};
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    DiagnosticLog::open();
    Clock::setSource([] { return now; });
    Application state;
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int checks = argc > 2 ? std::atoi(argv[2]) : 5;
    for (int i = 0; i < count; ++i) {
        Controller& c = state.controllers.emplace_back("rack" + QByteArray::number(i), 0, "10.0.0.1", 80,
                                                       "admin", "secret");
        c.channels = {{"A", 0.5, 10, 1}, {"B", 0, 10, 1}};
    }

    QTableView view;
    view.resize(1200, 700);
    view.show();
    std::vector<double> bare;
    std::vector<double> atOnce;
    std::vector<double> spread;
    std::vector<double> stall;
    std::vector<double> bareStall;
    for (int check = 0; check < checks; ++check, now += 60) {
        bare.push_back(checkAtOnce(state, nullptr, view, count, check));
        bareStall.push_back(checkSpread(state, nullptr, view, count, check).second);
    }
    // Fixed column widths, as on the tab: sizing columns to their contents measures every row at every
    // change and made one check of 1,000 controllers, a row at a time, take minutes.
    StatusModel model(state);
    const QMetaObject::Connection listener =
        QObject::connect(&state, &Application::eventAdded, &model, &StatusModel::eventAdded);
    // Sorted worst first through a proxy, as on the tab: a tenth of the rows change places per check.
    QSortFilterProxyModel order;
    order.setSourceModel(&model);
    order.setSortRole(StatusModel::sortRole);
    order.setDynamicSortFilter(true);
    view.setModel(&order);
    view.setSortingEnabled(true);
    view.sortByColumn(StatusModel::state, Qt::AscendingOrder);
    for (int check = 0; check < checks; ++check, now += 60)
        atOnce.push_back(checkAtOnce(state, &model, view, count, check));
    for (int check = 0; check < checks; ++check, now += 60) {
        const auto [took, longest] = checkSpread(state, &model, view, count, check);
        spread.push_back(took);
        stall.push_back(longest);
    }
    const auto worst = [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); };
    const auto best = [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); };
    const auto line = [&](const char* what, const std::vector<double>& v) {
        std::printf("  %-44s %8.2f / %8.2f\n", what, best(v), worst(v));
    };
    std::printf("%d controllers, %d checks each (best / worst, ms)\n", count, checks);
    line("one check at once, store only:", bare);
    line("  longest stall, one client per pass:", bareStall);
    line("one check at once, store + status model + view:", atOnce);
    line("one check, one client per pass:", spread);
    line("  longest stall meanwhile:", stall);
    QObject::disconnect(listener);
    state.shutdown();
    return 0;
}
