#include "eventlog/EventLogModel.h"

#include "core/Application.h"

#include <QAbstractItemModelTester>
#include <QtTest>

using namespace Warden;
using namespace Warden::Business;

namespace {

// Two controllers polled from this host (10.0.0.1). Each event's message ID is its label.
struct Fixture {
    EventStore store;
    std::list<Controller> controllers;
    Controller* rack;
    Controller* lab;

    const Controller* find(ControllerId id) const {
        for (const Controller& c : controllers)
            if (c.id == id)
                return &c;
        return nullptr;
    }
    EventLogModel::Naming naming() const {
        return [this](const Event& event) {
            const Controller* owner = find(event.owner);
            return owner ? owner->name : QByteArray("(no controller)");
        };
    }
    OwnPollingLogins polling(QList<QByteArray> addresses) const {
        return OwnPollingLogins(std::move(addresses), [this](ControllerId id) {
            const Controller* owner = find(id);
            return owner ? owner->admin : QByteArray();
        });
    }

    Fixture() {
        rack = &controllers.emplace_back("rack", 2, "10.0.0.8", 0, "admin", "pw");
        lab = &controllers.emplace_back("lab", 2, "10.0.0.9", 0, "root", "pw");
        add("e1", 100, rack, EventKind::values, Transport::http, "Current loads on channel A: 230 V, 2 A",
            "VAH=230");
        add("e2", 200, lab, EventKind::overcurrent, Transport::http, "Overcurrent on channel B", "");
        add("e3", 300, rack, EventKind::login_success, Transport::syslog, "",
            "Successful authentication of user admin from 10.0.0.1");
        add("e4", 300, lab, EventKind::login_failure, Transport::syslog, "",
            "Failed authentication of user guest from 10.0.0.7");
        add("e5", 400, lab, EventKind::login_success, Transport::http, "",
            "Successful authentication of user root from 10.0.0.1");
        add("e6", 500, rack, EventKind::login_success, Transport::http, "",
            "Successful authentication of user admin from 192.168.1.4");
    }
    void add(const QByteArray& id, Time time, Controller* owner, EventKind kind, Transport transport,
             const QByteArray& reason, const QByteArray& raw) {
        store.insert(Event{id, time, kind, transport, reason, raw, owner->id});
    }
};

QStringList labels(const EventLogModel& model) {
    QStringList out;
    for (int row = 0; row < model.rowCount(); ++row)
        out << model.index(row, messageIdColumn).data().toString();
    return out;
}

EventLogModel* newModel(Fixture& f, bool hidePolling = false) {
    auto* model = new EventLogModel(f.store, f.naming(), f.polling({"10.0.0.1"}));
    new QAbstractItemModelTester(model, QAbstractItemModelTester::FailureReportingMode::QtTest, model);
    EventLogFilter all;
    all.hideOwnPolling = hidePolling;
    model->setFilter(all);
    return model;
}

} // namespace

class tst_EventLogModel : public QObject {
    Q_OBJECT

private slots:
    void sort_data();
    void sort();
    void sortByText_manyTexts_data();
    void sortByText_manyTexts();
    void pages_loadAsViewedAndFollowTheSelection();
    void filter_data();
    void filter();
    void ownPollingLogin_data();
    void ownPollingLogin();
    void changedAdmin_loginsJudgedAgain();
    void selection_staysOnItsEvent();
    void newEvents_takeTheirPlaceInTheOrder();
    void removedController_rowsStayUnnamed();
    void bigBlocks_keepTheirContentsAcrossSizes();
    void foldedSearch_findsWhatAPlainScanFinds();
};

void tst_EventLogModel::sort_data() {
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("order");
    QTest::addColumn<QStringList>("expected");
    const auto rows = [](const char* name, int column, Qt::SortOrder order, const QString& expected) {
        QTest::newRow(name) << column << int(order) << expected.split(' ');
    };
    // Equal times and equal texts: the newest (the later added) first, in both directions.
    rows("when, newest first", whenColumn, Qt::DescendingOrder, "e6 e5 e4 e3 e2 e1");
    rows("when, oldest first", whenColumn, Qt::AscendingOrder, "e1 e2 e3 e4 e5 e6");
    rows("controller", controllerColumn, Qt::AscendingOrder, "e5 e4 e2 e6 e3 e1");
    rows("controller, descending", controllerColumn, Qt::DescendingOrder, "e6 e3 e1 e5 e4 e2");
    rows("type by name", kindColumn, Qt::AscendingOrder, "e4 e6 e5 e3 e2 e1");
    rows("type by name, descending", kindColumn, Qt::DescendingOrder, "e1 e2 e6 e5 e3 e4");
    rows("reason", reasonColumn, Qt::AscendingOrder, "e6 e5 e4 e3 e1 e2");
    rows("raw", rawColumn, Qt::DescendingOrder, "e1 e5 e6 e3 e4 e2");
    rows("transport", transportColumn, Qt::AscendingOrder, "e6 e5 e2 e1 e4 e3");
    rows("message ID, descending", messageIdColumn, Qt::DescendingOrder, "e6 e5 e4 e3 e2 e1");
}

void tst_EventLogModel::sort() {
    QFETCH(int, column);
    QFETCH(int, order);
    QFETCH(QStringList, expected);
    Fixture f;
    std::unique_ptr<EventLogModel> model(newModel(f));
    // From another order than the store's, so that each order starts from whatever was shown.
    model->sort(rawColumn, Qt::AscendingOrder);
    model->sort(column, Qt::SortOrder(order));
    QCOMPARE(labels(*model), expected);
}

void tst_EventLogModel::sortByText_manyTexts_data() {
    QTest::addColumn<int>("order");
    // Every text starting alike, a third of them one and the same, as our own polling logins are.
    QTest::addColumn<bool>("alike");
    QTest::newRow("ascending") << int(Qt::AscendingOrder) << false;
    QTest::newRow("descending") << int(Qt::DescendingOrder) << false;
    QTest::newRow("alike, ascending") << int(Qt::AscendingOrder) << true;
    QTest::newRow("alike, descending") << int(Qt::DescendingOrder) << true;
}

// Enough texts for the sort by eight-byte pieces, with long shared beginnings, texts that are the
// beginnings of others, zero bytes, and many equal: the same order as comparing whole texts.
void tst_EventLogModel::sortByText_manyTexts() {
    QFETCH(int, order);
    QFETCH(bool, alike);
    Fixture f;
    QRandomGenerator random(7);
    const QByteArray shared = "Successful authentication of user admin from ";
    const QByteArray pieces[] = {"Current loads on channel ", "A", "B: ", "2", "23", "0.5",
                                 QByteArray("\0", 1),         ""};
    for (int i = 0; i < 400; ++i) {
        QByteArray reason;
        for (int n = random.bounded(5); n > 0; --n)
            reason += pieces[random.bounded(8)];
        if (alike)
            reason = shared + (i % 3 == 0 ? QByteArray("10.0.0.1") : reason);
        f.add(QByteArray::number(i), random.bounded(50), f.rack, EventKind::values, Transport::http, reason,
              "");
    }
    if (alike) // the newest, so the first of its group: the beginning of all the others
        f.add("newest", 60, f.rack, EventKind::values, Transport::http, shared, "");
    std::unique_ptr<EventLogModel> model(newModel(f));
    model->sort(reasonColumn, Qt::SortOrder(order));
    std::vector<std::pair<QByteArray, QString>> expected; // reason, label; the store's order first
    for (const auto& [key, event] : f.store.events())
        expected.emplace_back(event.reason, QString::fromLatin1(event.messageId));
    std::stable_sort(expected.begin(), expected.end(), [order](const auto& a, const auto& b) {
        return order == Qt::AscendingOrder ? a.first < b.first : b.first < a.first;
    });
    QStringList expectedLabels;
    for (const auto& [reason, label] : expected)
        expectedLabels << label;
    QCOMPARE(labels(*model), expectedLabels);
}

void tst_EventLogModel::pages_loadAsViewedAndFollowTheSelection() {
    Fixture f;
    // Without the model tester, which loads rows to look at them.
    auto model = std::make_unique<EventLogModel>(f.store, f.naming(), OwnPollingLogins());
    model->setPageSize(2);
    model->sort(whenColumn, Qt::AscendingOrder);
    QCOMPARE(labels(*model), (QStringList{"e1", "e2"}));
    QVERIFY(model->canFetchMore({}));
    model->fetchMore({});
    QCOMPARE(model->rowCount(), 4);
    f.add("old", 10, f.lab, EventKind::values, Transport::http, "", ""); // into the loaded rows
    model->flush();
    f.add("new", 900, f.lab, EventKind::values, Transport::http, "", ""); // past them
    model->flush();
    QCOMPARE(labels(*model), (QStringList{"old", "e1", "e2", "e3", "e4"}));
    QCOMPARE(model->shownCount(), 8);
    model->fetchMore({});
    const QPersistentModelIndex chosen = model->index(int(labels(*model).indexOf("e6")), 0);
    model->setChosen(chosen);
    model->sort(whenColumn, Qt::DescendingOrder);
    QCOMPARE(model->rowCount(), 2 + 2); // e6 and a page beyond
    model->sort(whenColumn, Qt::AscendingOrder);
    QCOMPARE(model->index(chosen.row(), messageIdColumn).data().toString(), QStringLiteral("e6"));
    QCOMPARE(model->rowCount(), 8);
}

void tst_EventLogModel::filter_data() {
    QTest::addColumn<QByteArray>("controller");
    QTest::addColumn<int>("kind"); // -1: every kind
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("hidePolling");
    QTest::addColumn<QByteArray>("before"); // the search text shown before this one
    QTest::addColumn<QStringList>("expected");
    const int any = -1;
    QTest::newRow("everything") << QByteArray() << any << QByteArray() << false << QByteArray()
                                << QStringList{"e6", "e5", "e4", "e3", "e2", "e1"};
    QTest::newRow("own polling logins hidden, others' logins stay")
        << QByteArray() << any << QByteArray() << true << QByteArray() << QStringList{"e6", "e4", "e2", "e1"};
    QTest::newRow("controller") << QByteArray("lab") << any << QByteArray() << false << QByteArray()
                                << QStringList{"e5", "e4", "e2"};
    QTest::newRow("controller and kind") << QByteArray("rack") << int(EventKind::login_success)
                                         << QByteArray() << false << QByteArray() << QStringList{"e6", "e3"};
    QTest::newRow("text in raw, either case")
        << QByteArray() << any << QByteArray("USER ROOT") << false << QByteArray() << QStringList{"e5"};
    QTest::newRow("text in reason") << QByteArray() << any << QByteArray("channel") << false << QByteArray()
                                    << QStringList{"e2", "e1"};
    QTest::newRow("text in controller name")
        << QByteArray() << any << QByteArray("LA") << false << QByteArray() << QStringList{"e5", "e4", "e2"};
    QTest::newRow("text in type and transport")
        << QByteArray() << any << QByteArray("sysl") << false << QByteArray() << QStringList{"e4", "e3"};
    QTest::newRow("typed on: narrowed from what was shown")
        << QByteArray() << any << QByteArray("192.168") << false << QByteArray("192") << QStringList{"e6"};
    QTest::newRow("deleted back: wider than what was shown")
        << QByteArray("rack") << any << QByteArray("a") << false << QByteArray("admin")
        << QStringList{"e6", "e3", "e1"};
    QTest::newRow("nothing matches") << QByteArray("rack") << any << QByteArray("guest") << false
                                     << QByteArray() << QStringList{};
}

void tst_EventLogModel::filter() {
    QFETCH(QByteArray, controller);
    QFETCH(int, kind);
    QFETCH(QByteArray, text);
    QFETCH(bool, hidePolling);
    QFETCH(QByteArray, before);
    QFETCH(QStringList, expected);
    Fixture f;
    std::unique_ptr<EventLogModel> model(newModel(f));
    EventLogFilter filter;
    filter.controller = controller;
    if (kind >= 0)
        filter.kind = EventKind(kind);
    filter.hideOwnPolling = hidePolling;
    filter.text = before;
    model->setFilter(filter);
    filter.text = text;
    model->setFilter(filter);
    QCOMPARE(labels(*model), expected);
    QCOMPARE(model->storedCount(), 6);
}

void tst_EventLogModel::ownPollingLogin_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<bool>("ours");
    const int success = int(EventKind::login_success);
    QTest::newRow("our admin from our address")
        << success << QByteArray("user admin logged in from 10.0.0.1") << true;
    QTest::newRow("address ending a sentence")
        << success << QByteArray("admin: login from 10.0.0.1.") << true;
    QTest::newRow("another address") << success << QByteArray("user admin from 10.0.0.17") << false;
    QTest::newRow("address inside a longer one")
        << success << QByteArray("user admin from 110.0.0.1") << false;
    QTest::newRow("another user") << success << QByteArray("user administrator from 10.0.0.1") << false;
    QTest::newRow("failed login of ours")
        << int(EventKind::login_failure) << QByteArray("Failed authentication of user admin from 10.0.0.1")
        << false;
    QTest::newRow("no address") << success << QByteArray("Successful authentication of user admin") << false;
}

void tst_EventLogModel::ownPollingLogin() {
    QFETCH(int, kind);
    QFETCH(QByteArray, raw);
    QFETCH(bool, ours);
    Fixture f;
    const Event event{"", 1, EventKind(kind), Transport::syslog, "", raw, f.rack->id};
    const OwnPollingLogins polling = f.polling({"10.0.0.1", "::1"});
    // Judged after one of ours, as the logins come: the answer for that text must not stick.
    const Event previous{"",        0, EventKind::login_success, Transport::syslog, "", "admin from 10.0.0.1",
                         f.rack->id};
    QVERIFY(polling.matches(previous));
    QCOMPARE(polling.matches(event), ours);
    // Without an owner there is no admin to compare with.
    Event orphan = event;
    orphan.owner = 0;
    QVERIFY(!f.polling({"10.0.0.1"}).matches(orphan));
}

void tst_EventLogModel::changedAdmin_loginsJudgedAgain() {
    Fixture f;
    std::unique_ptr<EventLogModel> model(newModel(f, true));
    QVERIFY(!labels(*model).contains("e3"));
    // The admin logins are kept per controller: an edited one must not be judged by the old login.
    f.rack->admin = "operator";
    model->controllersChanged();
    model->flush();
    QVERIFY(labels(*model).contains("e3"));
}

void tst_EventLogModel::selection_staysOnItsEvent() {
    Fixture f;
    // Pruning leaves the newest 20 events alone.
    for (int i = 0; i < 20; ++i)
        f.add("later", 1000 + i, f.lab, EventKind::values, Transport::http, "", "");
    std::unique_ptr<EventLogModel> model(newModel(f));
    const QPersistentModelIndex selected = model->index(int(labels(*model).indexOf("e3")), reasonColumn);
    const QPersistentModelIndex doomed = model->index(int(labels(*model).indexOf("e1")), rawColumn);
    const auto selectedLabel = [&] {
        return model->index(selected.row(), messageIdColumn).data().toString();
    };

    f.add("new", 600, f.lab, EventKind::values, Transport::http, "", "");
    model->flush();
    QCOMPARE(selectedLabel(), QStringLiteral("e3"));
    QCOMPARE(selected.column(), int(reasonColumn));

    model->sort(controllerColumn, Qt::AscendingOrder);
    QCOMPARE(selectedLabel(), QStringLiteral("e3"));

    // Events go while their rows are still shown: those rows read empty until the table catches up.
    f.store.pruneOwner(f.rack->id, 150, 10); // only e1 is older than 150
    QVERIFY(!model->index(doomed.row(), messageIdColumn).data().isValid());
    model->flush();
    QVERIFY(!doomed.isValid());
    QCOMPARE(selectedLabel(), QStringLiteral("e3"));
    QVERIFY(!labels(*model).contains("e1"));

    EventLogFilter filter;
    filter.hideOwnPolling = false;
    filter.kind = EventKind::login_success;
    model->setFilter(filter);
    QCOMPARE(selectedLabel(), QStringLiteral("e3"));
    filter.kind = EventKind::values;
    model->setFilter(filter);
    QVERIFY(!selected.isValid());

    f.store.clear();
    QCOMPARE(model->rowCount(), 0);
}

void tst_EventLogModel::newEvents_takeTheirPlaceInTheOrder() {
    Fixture f;
    std::unique_ptr<EventLogModel> model(newModel(f, true));
    model->sort(reasonColumn, Qt::AscendingOrder);
    f.add("a", 50, f.rack, EventKind::values, Transport::http, "Overcurrent on channel A", "");
    f.add("b", 700, f.lab, EventKind::values, Transport::http, "Current loads on channel B", "");
    f.add("ours", 800, f.rack, EventKind::login_success, Transport::http, "",
          "Successful authentication of user admin from 10.0.0.1");
    f.add("z", 900, f.lab, EventKind::values, Transport::http, "Zz", "");
    QCOMPARE(model->rowCount(), 4); // not yet: gathered until the next flush
    model->flush();
    QCOMPARE(labels(*model), (QStringList{"e6", "e4", "e1", "b", "a", "e2", "z"}));
    // The same as reading the whole store afresh.
    auto fresh = std::unique_ptr<EventLogModel>(newModel(f, true));
    fresh->sort(reasonColumn, Qt::AscendingOrder);
    QCOMPARE(labels(*fresh), labels(*model));
}

void tst_EventLogModel::removedController_rowsStayUnnamed() {
    Fixture f;
    std::unique_ptr<EventLogModel> model(newModel(f));
    EventLogFilter filter;
    filter.hideOwnPolling = false;
    filter.controller = "(no controller)";
    model->setFilter(filter);
    QCOMPARE(model->rowCount(), 0);
    f.store.dropOwner(f.lab->id);
    f.controllers.remove_if([&f](const Controller& c) { return &c == f.lab; });
    model->flush();
    QCOMPARE(labels(*model), (QStringList{"e5", "e4", "e2"}));
    QCOMPARE(model->index(0, controllerColumn).data().toString(), QStringLiteral("(no controller)"));
    f.rack->name = "rack 2";
    model->controllersChanged();
    model->flush();
    filter.controller = "rack 2";
    model->setFilter(filter);
    QCOMPARE(labels(*model), (QStringList{"e6", "e3", "e1"}));
}

QTEST_GUILESS_MAIN(tst_EventLogModel)
void tst_EventLogModel::bigBlocks_keepTheirContentsAcrossSizes() {
    // From small blocks into mapped ones of several huge pages and back into a small one.
    BigVector<quint64> values;
    for (quint64 i = 0; i < 700000; ++i)
        values.push_back(i * 7919);
    QCOMPARE(reinterpret_cast<std::uintptr_t>(values.data()) % (2u << 20), 0u);
    values.resize(1000);
    values.shrink_to_fit();
    values.push_back(0);
    for (quint64 i = 0; i < 1000; ++i)
        QCOMPARE(values[i], i * 7919);
}

// The skipping search against the plain scan, over texts of a few bytes where the skips, repeats and
// both cases meet at every place.
void tst_EventLogModel::foldedSearch_findsWhatAPlainScanFinds() {
    QRandomGenerator random(11);
    const char alphabet[] = "aAbB.1";
    const auto text = [&](int longest) {
        QByteArray out;
        for (int n = random.bounded(longest + 1); n > 0; --n)
            out += alphabet[random.bounded(6)];
        return out;
    };
    for (int i = 0; i < 3000; ++i) {
        const QByteArray needle = text(5);
        const QByteArray haystack = text(16);
        QCOMPARE(FoldedSearch(needle).in(haystack),
                 EventLogFilter::containsFolded(haystack, EventLogFilter::folded(needle)));
    }
}

#include "tst_EventLogModel.moc"
