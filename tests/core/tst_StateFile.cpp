#include "TestSupport.h"

#include "core/Application.h"
#include "core/EventRestore.h"
#include "core/MetricsRegistry.h"
#include "core/StateFile.h"

#include <QDirIterator>
#include <QFile>
#include <QtTest>

#include <optional>

#include <sys/stat.h>

using namespace Warden::Business;
using Warden::MetricsRegistry;
using Warden::Test::appLog;
using Warden::Test::localSeconds;
using Warden::Test::readFile;
using Warden::Test::ScopedWorkDir;

namespace {

Controller& addRack(Application& app, quint16 port = 80) {
    return app.controllers.emplace_back("rack1", 0, "10.0.0.5", port, "admin", "pw");
}

QByteArray dailyLogs() {
    QByteArray all;
    QDirIterator it(QStringLiteral("log"), {QStringLiteral("*.log")}, QDir::Files,
                    QDirIterator::Subdirectories);
    QStringList files;
    while (it.hasNext())
        files << it.next();
    files.sort();
    for (const QString& file : std::as_const(files))
        all += readFile(file);
    return all;
}

QByteArrayList storedLines(const Application& app) {
    QByteArrayList lines;
    for (const auto& [key, event] : app.events.events())
        lines << app.eventLine(event);
    return lines;
}

bool writeState(const QByteArray& text) {
    QFile file(StateFile::path());
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

} // namespace

class StateFileTest : public QObject {
    Q_OBJECT

private slots:
    void marks_comeBackForTheSameControllerOnly_data();
    void marks_comeBackForTheSameControllerOnly();
    void damagedOrMissingFile_readsAsNoMarks_data();
    void damagedOrMissingFile_readsAsNoMarks();
    void restore_bringsBackEventsSinceLastReportOnce_data();
    void restore_bringsBackEventsSinceLastReportOnce();
};

void StateFileTest::marks_comeBackForTheSameControllerOnly_data() {
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("restored");
    QTest::newRow("the same controller") << QByteArray("rack1") << 0 << QByteArray("10.0.0.5") << 80 << true;
    QTest::newRow("another port") << QByteArray("rack1") << 0 << QByteArray("10.0.0.5") << 8080 << false;
    QTest::newRow("another host") << QByteArray("rack1") << 0 << QByteArray("10.0.0.6") << 80 << false;
    QTest::newRow("another name") << QByteArray("rack2") << 0 << QByteArray("10.0.0.5") << 80 << false;
    QTest::newRow("another model") << QByteArray("rack1") << 1 << QByteArray("10.0.0.5") << 80 << false;
}

void StateFileTest::marks_comeBackForTheSameControllerOnly() {
    QFETCH(QByteArray, name);
    QFETCH(int, type);
    QFETCH(QByteArray, host);
    QFETCH(int, port);
    QFETCH(bool, restored);
    ScopedWorkDir dir;
    Warden::Test::ManualClock clock(1'800'000'500);
    std::optional<Application> app;
    app.emplace();
    Controller& rack = addRack(*app);
    QVERIFY(app->stateFile.restore().empty()); // no file yet: nothing, silently
    rack.logRowsUpTo = 1'800'000'123;
    rack.lastReport = 1'800'000'100;
    app->stateFile.setLastReportMoment(1'800'000'000);
    app->stateFile.flush();
    QFileInfo file(StateFile::path());
    QVERIFY(file.exists());
    QCOMPARE(file.permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());

    // The next start, with the controller as the configuration then gives it.
    app.emplace();
    Controller& next =
        app->controllers.emplace_back(name, type, host, static_cast<quint16>(port), "admin", "pw");
    const std::vector<Controller*> found = app->stateFile.restore();
    QCOMPARE(found.size(), restored ? 1u : 0u);
    QCOMPARE(next.logRowsUpTo, restored ? 1'800'000'123 : 0);
    QCOMPARE(next.lastReport, restored ? 1'800'000'100 : 0);
    QCOMPARE(next.lastCheck, 0); // the first check after a start is still the first one
    QCOMPARE(app->stateFile.lastReportMoment(), 1'800'000'000); // the program's, whatever the controllers
    QVERIFY2(!appLog().contains("StateFile"), appLog().constData());
}

void StateFileTest::damagedOrMissingFile_readsAsNoMarks_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("logged");
    const QByteArray valid = R"({"version": 1, "controllers": [{"name": "rack1", "model": "Kestrel 2",
        "host": "10.0.0.5", "port": 80, "logRowsUpTo": 1800000000, "lastReport": 1800000000}]})";
    QTest::newRow("missing") << QByteArray() << false;
    QTest::newRow("not JSON") << QByteArray("rack1 1800000000 1800000000\n") << true;
    QTest::newRow("cut short") << valid.left(valid.size() / 2) << true;
    QTest::newRow("other version") << QByteArray(valid).replace("\"version\": 1", "\"version\": 7") << true;
    QTest::newRow("mark years ahead")
        << QByteArray(valid).replace("\"lastReport\": 1800000000", "\"lastReport\": 4000000000") << true;
    QTest::newRow("port out of range")
        << QByteArray(valid).replace("\"port\": 80", "\"port\": 70000") << true;
}

void StateFileTest::damagedOrMissingFile_readsAsNoMarks() {
    QFETCH(QByteArray, content);
    QFETCH(bool, logged);
    ScopedWorkDir dir;
    Warden::Test::ManualClock clock(1'800'000'500);
    Application app;
    Controller& rack = addRack(app);
    if (!content.isEmpty())
        QVERIFY(writeState(content));
    QVERIFY(app.stateFile.restore().empty());
    QCOMPARE(rack.logRowsUpTo, 0);
    QCOMPARE(rack.lastReport, 0);
    QCOMPARE(appLog().count("Ampwarden.state"), logged ? 1 : 0);
    // The file is whole again with the next marks.
    rack.logRowsUpTo = 1'800'000'400;
    app.stateFile.marksChanged();
    app.stateFile.flush();
    const auto entries = StateFile::parse(readFile(StateFile::path()));
    QVERIFY(entries && entries->size() == 1);
    QCOMPARE(entries->front().logRowsUpTo, 1'800'000'400);
}

void StateFileTest::restore_bringsBackEventsSinceLastReportOnce_data() {
    QTest::addColumn<qint64>("lastReport");
    QTest::addColumn<qint64>("since");
    const qint64 now = localSeconds(2026, 3, 29, 12);
    QTest::newRow("since the last report") << now - 3600 << now - 3600;
    QTest::newRow("across days and a change of daylight saving") << now - 2 * 86400 << now - 2 * 86400;
    QTest::newRow("never reported: the last 32 days") << qint64(0) << now - restoreSpan;
}

void StateFileTest::restore_bringsBackEventsSinceLastReportOnce() {
    QFETCH(qint64, lastReport);
    QFETCH(qint64, since);
    ScopedWorkDir dir;
    const qint64 now = localSeconds(2026, 3, 29, 12);
    Warden::Test::ManualClock clock(now);
    std::optional<Application> app;
    app.emplace();
    // A run that stored events, some of them reported, and ended.
    Controller* rack = &addRack(*app);
    Controller* gone = &app->controllers.emplace_back("gone", 2, "10.0.0.9", 0, "admin", "pw");
    const QList<qint64> times{now - 40 * 86400, now - 3 * 86400, now - 2 * 86400 - 1,
                              now - 2 * 86400,  now - 3601,      now - 3600,
                              now - 60,         now + 120};
    for (const qint64 t : times) {
        app->addEvent({}, t, rack->id, EventKind::login_success, Transport::syslog, {},
                      "<13>login at " + QByteArray::number(t) + " \"quoted\" a\\b\n\x1b");
        app->addEvent({}, t, rack->id, EventKind::values, Transport::http,
                      "Current loads on channel A: 230 V, 2 A, 460 W", "VAH=230 CAH=2");
        app->addEvent({}, t, gone->id, EventKind::unknown, Transport::http, "Alert: \"gone\" \" ", {});
    }
    rack->lastReport = lastReport;
    rack->logRowsUpTo = now;
    QByteArrayList kept;
    for (const auto& [key, event] : app->events.events()) {
        if (event.owner == rack->id && event.time >= since)
            kept << app->eventLine(event);
    }
    app->stateFile.restore();
    app->stateFile.marksChanged();
    app->shutdown();
    const QByteArray logs = dailyLogs();
    app.emplace();

    // The next start: "gone" is no longer configured.
    app->controllers.emplace_back("rack1", 0, "10.0.0.5", 80, "admin", "pw");
    int heard = 0;
    QObject::connect(&*app, &Application::eventAdded, [&heard](const Event&) { ++heard; });
    const auto counted = MetricsRegistry::instance().events(EventKind::login_success, Transport::syslog);
    restoreAtStart(*app);
    QCOMPARE(storedLines(*app), kept);
    QVERIFY(kept.size() >= 4);
    QCOMPARE(heard, 0);
    QCOMPARE(MetricsRegistry::instance().events(EventKind::login_success, Transport::syslog), counted);
    app->shutdown();
    QCOMPARE(dailyLogs(), logs);
    // What the controller sent comes back byte for byte.
    QVERIFY(std::any_of(app->events.events().begin(), app->events.events().end(),
                        [](const auto& e) { return e.second.raw.endsWith(" \"quoted\" a\\b\n\x1b"); }));
}

QTEST_GUILESS_MAIN(StateFileTest)
#include "tst_StateFile.moc"
