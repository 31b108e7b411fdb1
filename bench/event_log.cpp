// The Event Log over a million stored events (100 controllers, 40 % of the events our own polling
// logins): the time to open it, to sort by each column and to filter by controller, kind and text,
// each with a shown table view repainted, and to take in new and pruned events.
//   QT_QPA_PLATFORM=offscreen event_log [events]
#include "core/EventStore.h"
#include "eventlog/EventLogModel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QRandomGenerator>
#include <QTableView>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <list>
#include <unordered_map>

using namespace Warden;
using namespace Warden::Business;

namespace {

QByteArray num(double value) {
    return QByteArray::number(value, 'g', 6);
}

// What the page parser and the syslog receiver store, in their proportions: each check of a
// controller adds its polling login (on the log page and by syslog) and two readings.
Event make(QRandomGenerator& random, Time t, int i) {
    const double volts = 225 + random.bounded(100) / 10.0;
    const double amps = random.bounded(1600) / 100.0;
    switch (i % 10) {
    case 0:
    case 1:
    case 2:
    case 3:
        return {"",
                t,
                EventKind::login_success,
                i % 2 ? Transport::syslog : Transport::http,
                "",
                "Successful authentication of user admin from 10.0.0.1"};
    case 4:
        return {"",
                t,
                EventKind::login_failure,
                Transport::syslog,
                "",
                "Failed authentication of user guest from 10.0.7." + QByteArray::number(random.bounded(255))};
    case 5:
        return {"", t, EventKind::overcurrent, Transport::http, "Overcurrent on channel B", ""};
    default:
        const QByteArray bus = i % 2 ? "A" : "B";
        return {"",
                t,
                EventKind::values,
                Transport::http,
                "Current loads on channel " + bus + ": " + num(volts) + " V, " + num(amps) + " A, " +
                    num(volts * amps * 0.95) + " W",
                "V" + bus + "H=" + num(volts) + " C" + bus + "H=" + num(amps)};
    }
}

Event sample(QRandomGenerator& random, Controller* owner, Time t, int i) {
    Event event = make(random, t, i);
    event.owner = owner->id;
    return event;
}

double worst = 0;

// One user action: the model's work and the repaint of the view.
double cpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// One user action: the model's work and the repaint of the view. The processor time is printed too:
// on a machine busy with other work it is the fairer figure.
void timed(const char* what, QTableView& view, const std::function<void()>& action) {
    QElapsedTimer timer;
    const double cpuBefore = cpuMs();
    timer.start();
    action();
    view.viewport()->repaint();
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    const double cpu = cpuMs() - cpuBefore;
    worst = std::max(worst, cpu);
    auto* model = static_cast<EventLogModel*>(view.model());
    std::printf("%-44s %8.1f ms %8.1f ms cpu %8d rows\n", what, ms, cpu, model ? model->shownCount() : 0);
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const int total = argc > 1 ? std::atoi(argv[1]) : 1000000;

    std::list<Controller> controllers;
    std::vector<Controller*> owners;
    owners.reserve(100);
    for (int i = 0; i < 100; ++i)
        owners.push_back(&controllers.emplace_back("rack" + QByteArray::number(i), i % 7,
                                                   "10.1.0." + QByteArray::number(i), 80, "admin", "secret"));
    EventStore store;
    QRandomGenerator random(1);
    Time t = 1796000000;
    for (int i = 0; i < total; ++i) {
        t += random.bounded(2);
        store.insert(sample(random, owners[static_cast<std::size_t>(i / 10 % 100)], t, i));
    }
    std::printf("%d events in the store\n", total);

    std::unordered_map<ControllerId, const Controller*> byId;
    for (const Controller* c : owners)
        byId[c->id] = c;
    const auto naming = [&byId](const Event& e) {
        const auto it = byId.find(e.owner);
        return it != byId.end() ? it->second->displayName() : QByteArray("(no controller)");
    };
    const auto adminOf = [&byId](ControllerId id) {
        const auto it = byId.find(id);
        return it != byId.end() ? it->second->admin : QByteArray();
    };
    QTableView view;
    // As the Event Log tab sets its table up.
    view.verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view.setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    view.resize(1000, 600);
    view.show();
    QApplication::processEvents();
    std::unique_ptr<EventLogModel> model;
    timed("open (own polling logins hidden)", view, [&] {
        model = std::make_unique<EventLogModel>(store, naming, OwnPollingLogins({"10.0.0.1"}, adminOf));
        view.setModel(model.get());
    });
    view.selectRow(5);
    const auto sortBy = [&](int column, Qt::SortOrder order) { model->sort(column, order); };
    static const char* const names[] = {"message ID", "when", "controller", "type",
                                        "reason",     "raw",  "transport"};
    for (int column = 0; column < eventLogColumns; ++column) {
        const QByteArray what = QByteArray("sort by ") + names[column];
        timed(what.constData(), view, [&] { sortBy(column, Qt::AscendingOrder); });
    }
    timed("sort by when, newest first", view, [&] { sortBy(whenColumn, Qt::DescendingOrder); });
    EventLogFilter filter;
    const auto apply = [&](const char* what) { timed(what, view, [&] { model->setFilter(filter); }); };
    filter.controller = owners[42]->displayName();
    apply("filter by controller");
    filter.controller.clear();
    filter.kind = EventKind::login_failure;
    apply("filter by kind (widened)");
    filter.kind.reset();
    filter.text = "10.0.7";
    apply("search \"10.0.7\" (widened)");
    filter.text = "10.0.7.12";
    apply("search typed on to \"10.0.7.12\"");
    filter.text = "OVERCURRENT";
    apply("search \"OVERCURRENT\" (another text)");
    filter.text.clear();
    filter.hideOwnPolling = false;
    apply("everything, own polling logins shown");
    timed("sort by raw, all events", view, [&] { sortBy(rawColumn, Qt::AscendingOrder); });

    timed("one new event, shown", view, [&] {
        store.insert(sample(random, owners[3], ++t, 6));
        model->flush();
    });

    timed("a check of 100 controllers (400 events)", view, [&] {
        ++t;
        for (int i = 0; i < 400; ++i) {
            store.insert(sample(random, owners[static_cast<std::size_t>(i / 4)], t, i));
        }
        model->flush();
    });
    timed("prune 10000 events of a controller", view, [&] {
        store.pruneOwner(owners[7]->id, t, 10000);
        model->flush();
    });
    std::printf("longest action: %.1f ms processor time\n", worst);
    return 0;
}
