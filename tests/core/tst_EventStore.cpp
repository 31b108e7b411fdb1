#include "TestSupport.h"

#include "core/Application.h"
#include "core/ClockText.h"
#include "core/EventFiles.h"

#include <QDir>
#include <QRandomGenerator>
#include <QtTest>

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

using namespace Warden::Business;
using Warden::clockText;
using Warden::Test::appLog;
using Warden::Test::localSeconds;
using Warden::Test::readFile;
using Warden::Test::ScopedWorkDir;

namespace {

Controller& addController(Application& app, const QByteArray& name, qint32 type = 2) {
    return app.controllers.emplace_back(name, type, "10.0.0." + name.right(1), 0, "admin", "pw");
}

void add(Application& app, Controller& c, Time t, EventKind kind = EventKind::values,
         const QByteArray& raw = "raw") {
    app.addEvent("", t, c.id, kind, Transport::http, "", raw);
}

QList<Time> storedTimes(const Application& app) {
    QList<Time> times;
    for (const auto& [key, event] : app.events.events())
        times << event.time;
    return times;
}

QByteArray snapshotFile(Application& app) {
    app.flushSnapshot();
    return readFile(QStringLiteral("AMW.log"));
}

} // namespace

class EventStoreTest : public QObject {
    Q_OBJECT

private slots:
    void addEvent_keepsNewestFirstAndPutsEqualTimesAhead();
    void addEvent_unknownController_logsAndStoresNothing();
    void prune_data();
    void prune();
    void prune_ownerlessEventsStay();
    void incrementalPrune_matchesWalkingTheWholeList();
    void eventLine_and_row_haveTheDocumentedLayout();
    void dailyLog_keepsEventsOlderThanControllerClock();
    void dailyLogPath_data();
    void dailyLogPath();
    void removedController_showsNoControllerAndLogsPerRewrite();
    void eventFiles_escapeNetworkText_data();
    void eventFiles_escapeNetworkText();
    void dailyLog_followsItsPathWhenMovedOrDeleted_data();
    void dailyLog_followsItsPathWhenMovedOrDeleted();
    void snapshot_failedRewriteKeepsThePreviousOne_data();
    void snapshot_failedRewriteKeepsThePreviousOne();
    void createdFiles_areOwnerOnly_data();
    void createdFiles_areOwnerOnly();
    void between_isInclusiveAndPerController();
    void snapshot_followsTheStoreWithinTheDelay();
    void unwritableFiles_doNotStopTheStore();
};

void EventStoreTest::addEvent_keepsNewestFirstAndPutsEqualTimesAhead() {
    ScopedWorkDir dir;
    Application app;
    Controller& c = addController(app, "a");
    add(app, c, 100, EventKind::values, "first");
    add(app, c, 300);
    add(app, c, 200, EventKind::values, "old 200");
    QCOMPARE(storedTimes(app), (QList<Time>{300, 200, 100}));
    add(app, c, 200, EventKind::values, "new 200");
    QCOMPARE(storedTimes(app), (QList<Time>{300, 200, 200, 100}));
    QCOMPARE(std::next(app.events.events().begin())->second.raw, QByteArray("new 200"));
}

void EventStoreTest::addEvent_unknownController_logsAndStoresNothing() {
    ScopedWorkDir dir;
    Application app;
    Controller stray("stray", 0, "1.2.3.4", 80, "a", "p");
    app.addEvent("", 5, stray.id, EventKind::unknown, Transport::syslog, "", "x");
    QCOMPARE(app.getEventCount(), 0);
    QVERIFY(appLog().contains("Application::addEvent(): error: controller " + QByteArray::number(stray.id) +
                              " not found\n"));
}

void EventStoreTest::prune_data() {
    QTest::addColumn<int>("count");
    QTest::addColumn<Time>("lastReport");
    QTest::addColumn<int>("expected");
    QTest::newRow("20 reported events all stay") << 20 << Time(10000) << 20;
    QTest::newRow("25 reported: five oldest go") << 25 << Time(10000) << 20;
    QTest::newRow("25 unreported all stay") << 25 << Time(0) << 25;
    QTest::newRow("report time inside: only older beyond 20 go") << 30 << Time(1005) << 25;
    QTest::newRow("report time equal to an event keeps it") << 30 << Time(1000) << 30;
}

void EventStoreTest::prune() {
    QFETCH(int, count);
    QFETCH(Time, lastReport);
    QFETCH(int, expected);
    ScopedWorkDir dir;
    Application app;
    Controller& c = addController(app, "a");
    for (int i = 0; i < count; ++i)
        add(app, c, 1000 + i);
    QCOMPARE(app.getEventCount(), count);
    app.setReportTime(c, lastReport);
    app.prune();
    QCOMPARE(app.getEventCount(), expected);
    // The newest always stay.
    QCOMPARE(storedTimes(app).first(), Time(1000 + count - 1));
    QCOMPARE(snapshotFile(app).count('\n'), expected);
}

void EventStoreTest::prune_ownerlessEventsStay() {
    ScopedWorkDir dir;
    Application app;
    Controller& gone = addController(app, "g");
    Controller& kept = addController(app, "k");
    for (int i = 0; i < 10; ++i)
        add(app, gone, i);
    for (int i = 0; i < 30; ++i)
        add(app, kept, 100 + i);
    app.removeControllerRecord(gone.id);
    app.setReportTime(kept, 1000);
    app.prune();
    QCOMPARE(app.getEventCount(), 30); // 20 newest of `kept` and the 10 ownerless ones
}

// The store prunes incrementally; this walks the list the plain way after every change and demands
// the same survivors.
void EventStoreTest::incrementalPrune_matchesWalkingTheWholeList() {
    ScopedWorkDir dir;
    Application app;
    QRandomGenerator random(4711);
    std::vector<Controller*> cs{&addController(app, "a"), &addController(app, "b"), &addController(app, "c")};
    std::vector<std::pair<Time, Controller*>> reference; // newest first, like the store
    auto referencePrune = [&] {
        std::size_t position = 0;
        for (auto it = reference.begin(); it != reference.end();) {
            if (reference.size() <= EventStore::keep)
                break;
            if (position >= EventStore::keep && it->first < it->second->lastReport) {
                it = reference.erase(it);
            } else {
                ++it;
                ++position;
            }
        }
    };
    for (int step = 0; step < 3000; ++step) {
        Controller* c = cs[random.bounded(3)];
        if (random.bounded(20) == 0) {
            c->check(c->lastCheck + 1 + random.bounded(50));
            app.markReported(*c);
            app.prune();
            referencePrune();
        } else {
            const Time t = random.bounded(2000);
            add(app, *c, t);
            auto at =
                std::find_if(reference.begin(), reference.end(), [t](const auto& e) { return e.first <= t; });
            reference.insert(at, {t, c});
            referencePrune();
        }
        QList<Time> expected;
        for (const auto& e : reference)
            expected << e.first;
        QCOMPARE(storedTimes(app), expected);
    }
}

void EventStoreTest::eventLine_and_row_haveTheDocumentedLayout() {
    ScopedWorkDir dir;
    Application app;
    Controller& c = addController(app, "a");
    app.addEvent("", 1000, c.id, EventKind::login_success, Transport::syslog, "", "user root logged in");
    const Event& e = app.events.events().begin()->second;
    const QByteArray when = clockText(1000);
    QCOMPARE(app.eventLine(e),
             " \"" + when + "\" \"a : Heron @ 10.0.0.a\" login_success syslog \"\" user root logged in");
    QCOMPARE(Application::eventDescription(e),
             " \"" + when + "\" login_success syslog \"\" user root logged in");
    QCOMPARE(app.eventRow(e), (QList<QByteArray>{"", when, "a : Heron @ 10.0.0.a", "login_success", "",
                                                 "user root logged in", "syslog"}));
    QCOMPARE(snapshotFile(app), app.eventLine(e) + "\n");
}

void EventStoreTest::dailyLog_keepsEventsOlderThanControllerClock() {
    ScopedWorkDir dir;
    Application app;
    Controller& c = addController(app, "a");
    const Time day = localSeconds(2026, 12, 6, 12);
    c.lastLog = day;
    add(app, c, day - 10, EventKind::values, "before");
    add(app, c, day, EventKind::values, "at");
    add(app, c, day + 10, EventKind::values, "after");
    const QByteArray daily = readFile(QString::fromUtf8(Application::dailyLogPath(day)));
    // A reading taken by our clock while the controller's runs ahead is still history.
    QVERIFY(daily.contains(" before\n"));
    QVERIFY(daily.contains(" at\n"));
    QVERIFY(daily.endsWith(" after\n"));
    QVERIFY(snapshotFile(app).contains(" before\n"));
}

void EventStoreTest::dailyLogPath_data() {
    QTest::addColumn<Time>("time");
    QTest::addColumn<QByteArray>("path");
    QTest::newRow("1 February 2027") << localSeconds(2027, 2, 1, 0, 0, 0)
                                     << QByteArray("log/2027/Feb/2027_Feb_1.log");
    QTest::newRow("last second of a year")
        << localSeconds(2026, 12, 31, 23, 59, 59) << QByteArray("log/2026/Dec/2026_Dec_31.log");
    QTest::newRow("after 2038") << localSeconds(2040, 7, 4, 12) << QByteArray("log/2040/Jul/2040_Jul_4.log");
}

void EventStoreTest::dailyLogPath() {
    QFETCH(Time, time);
    QFETCH(QByteArray, path);
    QCOMPARE(Application::dailyLogPath(time), path);
    ScopedWorkDir dir;
    Application app;
    Controller& c = addController(app, "a");
    add(app, c, time - 86400, EventKind::values, "day before");
    add(app, c, time, EventKind::values, "the day");
    QVERIFY(readFile(QString::fromUtf8(path)).endsWith(" the day\n"));
    QVERIFY(!readFile(QString::fromUtf8(path)).contains("day before"));
}

void EventStoreTest::removedController_showsNoControllerAndLogsPerRewrite() {
    ScopedWorkDir dir;
    Application app;
    Controller& gone = addController(app, "g");
    Controller& kept = addController(app, "k");
    add(app, gone, 10, EventKind::values, "orphan");
    add(app, kept, 20);
    app.removeControllerRecord(gone.id);
    QCOMPARE(app.controllerCount(), 1);
    const Event& orphan = std::next(app.events.events().begin())->second;
    QCOMPARE(app.eventRow(orphan).at(2), QByteArray("(no controller)"));
    const qsizetype before =
        appLog().count("Application::getControllerName(): error: there are no controller for event #");
    QVERIFY(snapshotFile(app).contains("\"(no controller)\" values http \"\" orphan\n"));
    QCOMPARE(appLog().count("Application::getControllerName(): error: there are no controller for event #1 "),
             before + 1);
}

void EventStoreTest::eventFiles_escapeNetworkText_data() {
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QByteArray>("written");
    QTest::newRow("a line feed cannot start a forged event")
        << QByteArray("Reboot\n \"Sun Dec  6 16:31:11 2026\" \"x\" login_success syslog \"\" admin")
        << QByteArray("Reboot\\n \"Sun Dec  6 16:31:11 2026\" \"x\" login_success syslog \"\" admin");
    QTest::newRow("terminal controls") << QByteArray("\x1b]0;owned\x07\x1b[2J\r\tend\x7f")
                                       << QByteArray("\\x1b]0;owned\\x07\\x1b[2J\\r\\tend\\x7f");
    QTest::newRow("zero byte and invalid UTF-8")
        << QByteArray("nul\0 \xff\xfe\xc3", 8) << QByteArray("nul\\x00 \\xff\\xfe\\xc3");
    QTest::newRow("a backslash cannot forge an escape")
        << QByteArray("C:\\x41\\n") << QByteArray("C:\\\\x41\\\\n");
    QTest::newRow("printable UTF-8 as it came")
        << QByteArray("Итого: 12,50 руб. → ok") << QByteArray("Итого: 12,50 руб. → ok");
}

void EventStoreTest::eventFiles_escapeNetworkText() {
    QFETCH(QByteArray, raw);
    QFETCH(QByteArray, written);
    ScopedWorkDir dir;
    Application app;
    Controller& c = addController(app, "a");
    app.addEvent("", 1000, c.id, EventKind::unknown, Transport::syslog, raw, raw);
    QCOMPARE(app.events.events().begin()->second.raw, raw);
    const QByteArray line = " \"" + clockText(1000) + "\" \"a : Heron @ 10.0.0.a\" unknown syslog \"" +
                            written + "\" " + written + "\n";
    QCOMPARE(snapshotFile(app), line);
    QCOMPARE(readFile(QString::fromUtf8(Application::dailyLogPath(1000))), line);
}

void EventStoreTest::dailyLog_followsItsPathWhenMovedOrDeleted_data() {
    QTest::addColumn<QString>("moved");  // where the file or directory goes; empty: deleted
    QTest::addColumn<bool>("wholeTree"); // the "log" directory instead of the file
    QTest::addColumn<bool>("batched");   // the next lines come as one batch, as syslog datagrams do
    QTest::newRow("file rotated aside") << QStringLiteral("rotated.log") << false << false;
    QTest::newRow("file deleted") << QString() << false << false;
    QTest::newRow("log directory moved") << QStringLiteral("log.old") << true << false;
    QTest::newRow("log directory deleted") << QString() << true << false;
    QTest::newRow("log directory deleted, then a batch") << QString() << true << true;
}

// The very next line, at once, lands in a new file at the path.
void EventStoreTest::dailyLog_followsItsPathWhenMovedOrDeleted() {
    QFETCH(QString, moved);
    QFETCH(bool, wholeTree);
    QFETCH(bool, batched);
    ScopedWorkDir dir;
    const Time t = localSeconds(2026, 12, 6, 12);
    const QString path = QString::fromUtf8(Application::dailyLogPath(t));
    DailyLog log;
    log.append(t, "before\n");
    const QString target = wholeTree ? QStringLiteral("log") : path;
    if (moved.isEmpty())
        QVERIFY(wholeTree ? QDir(target).removeRecursively() : QFile::remove(target));
    else
        QVERIFY(QFile::rename(target, moved));
    if (batched)
        log.hold();
    log.append(t, "after\n");
    log.append(t + 1, "then\n");
    if (batched)
        log.release();
    QCOMPARE(readFile(path), QByteArray("after\nthen\n"));
    if (!moved.isEmpty())
        QCOMPARE(readFile(wholeTree ? moved + path.mid(3) : moved), QByteArray("before\n"));
}

void EventStoreTest::snapshot_failedRewriteKeepsThePreviousOne_data() {
    // A file size limit stands in for a full disk: writes past it fail as they would there.
    QTest::addColumn<int>("limit");
    QTest::addColumn<int>("rawSize");
    QTest::newRow("fails when the last buffer is flushed") << 8192 << 500;
    QTest::newRow("fails in the middle of writing") << 65536 << 10000;
}

void EventStoreTest::snapshot_failedRewriteKeepsThePreviousOne() {
    QFETCH(int, limit);
    QFETCH(int, rawSize);
    ScopedWorkDir dir;
    Application app;
    Controller& c = addController(app, "a");
    add(app, c, 1, EventKind::values, "kept");
    const QByteArray previous = snapshotFile(app);
    QVERIFY(previous.endsWith(" kept\n"));

    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &saved) == 0);
    rlimit small = saved;
    small.rlim_cur = rlim_t(limit);
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
    for (int i = 0; i < 22; ++i)
        add(app, c, 10 + i, EventKind::values, QByteArray(rawSize, 'x'));
    app.flushSnapshot();
    add(app, c, 100, EventKind::values, "another change");
    app.flushSnapshot();
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &saved) == 0);

    QCOMPARE(readFile(QStringLiteral("AMW.log")), previous);
    QCOMPARE(appLog().count("AMW.log was not written"), 1);
    // With room again the next rewrite catches up, without waiting for another change.
    QCOMPARE(snapshotFile(app).count('\n'), 24);
}

void EventStoreTest::createdFiles_areOwnerOnly_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("mode");
    const QString daily = QString::fromUtf8(Application::dailyLogPath(1000));
    QTest::newRow("app.log") << QStringLiteral("app.log") << 0600;
    QTest::newRow("AMW.log") << QStringLiteral("AMW.log") << 0600;
    QTest::newRow("daily log") << daily << 0600;
    QTest::newRow("log") << QStringLiteral("log") << 0700;
    QTest::newRow("year") << daily.section(QLatin1Char('/'), 0, 1) << 0700;
    QTest::newRow("month") << daily.section(QLatin1Char('/'), 0, 2) << 0700;
}

void EventStoreTest::createdFiles_areOwnerOnly() {
    QFETCH(QString, path);
    QFETCH(int, mode);
    const mode_t previous = ::umask(022);
    ScopedWorkDir dir;
    Application app;
    Controller& c = addController(app, "a");
    add(app, c, 1000);
    app.flushSnapshot();
    ::umask(previous);
    struct stat st {};
    QVERIFY2(::stat(QFile::encodeName(path).constData(), &st) == 0, qPrintable(path));
    QCOMPARE(int(st.st_mode & 0777), mode);
}

void EventStoreTest::between_isInclusiveAndPerController() {
    ScopedWorkDir dir;
    Application app;
    Controller& a = addController(app, "a");
    Controller& b = addController(app, "b");
    for (Time t = 100; t <= 110; ++t) {
        add(app, a, t);
        add(app, b, t);
    }
    add(app, a, 105, EventKind::values, "second at 105");
    auto [begin, end] = app.events.between(a.id, 103, 105);
    QList<Time> times;
    for (auto it = begin; it != end; ++it) {
        QCOMPARE(it->second->owner, a.id);
        times << it->second->time;
    }
    QCOMPARE(times, (QList<Time>{105, 105, 104, 103}));
    auto [none, noneEnd] = app.events.between(a.id, 200, 300);
    QVERIFY(none == noneEnd);
    auto [reversed, reversedEnd] = app.events.between(a.id, 105, 103);
    QVERIFY(reversed == reversedEnd);
}

void EventStoreTest::snapshot_followsTheStoreWithinTheDelay() {
    ScopedWorkDir dir;
    Application app;
    app.setSnapshotDelay(50);
    Controller& c = addController(app, "a");
    add(app, c, 1, EventKind::values, "one");
    add(app, c, 2, EventKind::values, "two");
    QTRY_VERIFY_WITH_TIMEOUT(readFile(QStringLiteral("AMW.log")).count('\n') == 2, 2000);
    add(app, c, 3, EventKind::values, "three");
    QTRY_VERIFY_WITH_TIMEOUT(
        readFile(QStringLiteral("AMW.log")).startsWith(app.eventLine(app.events.events().begin()->second)),
        2000);
}

void EventStoreTest::unwritableFiles_doNotStopTheStore() {
    ScopedWorkDir dir;
    Application app;
    // A plain file where the "log" directory belongs, and a directory where "AMW.log" belongs.
    QFile blocker(QStringLiteral("log"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QVERIFY(QDir().mkdir(QStringLiteral("AMW.log")));
    Controller& c = addController(app, "a");
    for (int i = 0; i < 30; ++i)
        add(app, c, i);
    app.flushSnapshot();
    QCOMPARE(app.getEventCount(), 30);
}

QTEST_GUILESS_MAIN(EventStoreTest)
#include "tst_EventStore.moc"
