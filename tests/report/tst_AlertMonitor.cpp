#include "TestSupport.h"

#include "core/Application.h"
#include "report/AlertMonitor.h"

#include <QSignalSpy>
#include <QTest>

#include <optional>

using namespace Warden;
using namespace Warden::Business;

namespace {

constexpr qint64 start = 1796000000;

// rack1, bus A 0.5 A to 13 A, bus B 0.5 A to 10 A, two recipients; every alert switch as given.
Controller& setUp(Application& app, bool switchesOn) {
    Controller& rack = app.controllers.emplace_back("rack1", 0, "127.0.0.1", 8080, "admin", "pw");
    MailServer& server = app.mailServers.emplace_back("127.0.0.1", 2525, "", "", false);
    app.mailAccounts.push_back({"ops@example.com", "warden@example.com", &server});
    app.mailAccounts.push_back({"oncall@example.com", "warden@example.com", &server});
    app.report.alertCurrent = app.report.alertNoAnswer = app.report.alertLogins = switchesOn;
    return rack;
}

int alertEvents(const Application& app) {
    int count = 0;
    for (const auto& [key, event] : app.events.events())
        count += event.reason.startsWith("Alert: ") ? 1 : 0;
    return count;
}

// One check as a word: "-" no answer (connection refused), "." an answer without readings, "B10.4"
// bus B at 10.4 A.
CheckOutcome outcomeOf(const QByteArray& word, const Controller& rack) {
    CheckOutcome outcome;
    outcome.answered = word != "-";
    if (!outcome.answered)
        outcome.failure = {CheckFailure::Kind::refused, 0, "127.0.0.1:8080"};
    if (word.size() > 1) {
        const ChannelSettings& channel = rack.channels[word[0] == 'A' ? 0 : 1];
        outcome.readings.push_back(
            {word.left(1), word.mid(1).toDouble(), channel.undercurrent, channel.overcurrent});
    }
    return outcome;
}

} // namespace

class tst_AlertMonitor : public QObject {
    Q_OBJECT

private slots:
    void init() { workDir_.emplace(); }
    void cleanup() { workDir_.reset(); }

    void checks_alertOncePerTransition_data();
    void checks_alertOncePerTransition();
    void acknowledgement_silencesTheMarkUntilTheAlarmChanges_data();
    void acknowledgement_silencesTheMarkUntilTheAlarmChanges();
    void failedLogins_alertOncePerBurst_data();
    void failedLogins_alertOncePerBurst();
    void plainTextBody_isSevenBitWithCrLf_data();
    void plainTextBody_isSevenBitWithCrLf();

private:
    std::optional<Test::ScopedWorkDir> workDir_;
};

void tst_AlertMonitor::checks_alertOncePerTransition_data() {
    // One check per word: "-" no answer, "." an answer without readings, "B10.4" bus B at 10.4 A.
    QTest::addColumn<QByteArray>("checks");
    QTest::addColumn<bool>("switchesOn");
    QTest::addColumn<QStringList>("alerts");
    QTest::addColumn<bool>("alarmAtEnd");

    const QString overB = QStringLiteral("Over-current on rack1 bus B: 10.4 A > 10 A");
    const QString silent = QStringLiteral("No answer from rack1 for 3 checks");
    QTest::newRow("within limits, the limits themselves included")
        << QByteArray("B9 B10 A0.5 A13") << true << QStringList{} << false;
    QTest::newRow("over: one mail while it lasts")
        << QByteArray("B9 B10.4 B11 B12 . B10.5") << true << QStringList{overB} << true;
    QTest::newRow("back within limits on the next normal reading")
        << QByteArray("B10.4 B11 B9.8 B9") << true
        << QStringList{overB, QStringLiteral("rack1 bus B back within limits: 9.8 A")} << false;
    QTest::newRow("under, then straight over")
        << QByteArray("A0.2 A0.1 A14") << true
        << QStringList{QStringLiteral("Under-current on rack1 bus A: 0.2 A < 0.5 A"),
                       QStringLiteral("Over-current on rack1 bus A: 14 A > 13 A")}
        << true;
    QTest::newRow("buses apart") << QByteArray("B10.4 A9") << true << QStringList{overB} << true;
    QTest::newRow("two missed checks are no alarm")
        << QByteArray("- - . - - B9") << true << QStringList{} << false;
    QTest::newRow("three missed: one mail however long it lasts")
        << QByteArray("- - - - - -") << true << QStringList{silent} << true;
    QTest::newRow("and one when it answers")
        << QByteArray("- - - - .") << true << QStringList{silent, QStringLiteral("rack1 answers again")}
        << false;
    QTest::newRow("switched off: the alarm shows, nothing is mailed")
        << QByteArray("B10.4 - - -") << false << QStringList{overB, silent} << true;
}

void tst_AlertMonitor::checks_alertOncePerTransition() {
    QFETCH(QByteArray, checks);
    QFETCH(bool, switchesOn);
    QFETCH(QStringList, alerts);
    QFETCH(bool, alarmAtEnd);

    Test::ManualClock clock(start);
    Application app;
    Controller& rack = setUp(app, switchesOn);
    rack.channels = {{"A", 0.5, 13, 1}, {"B", 0.5, 10, 0.9}};
    std::vector<OutboxMail> mails;
    AlertMonitor monitor(app, [&mails](OutboxMail mail) { mails.push_back(std::move(mail)); });
    QSignalSpy alerted(&monitor, &AlertMonitor::alerted);

    for (const QByteArray& word : checks.split(' ')) {
        monitor.checked(rack.id, outcomeOf(word, rack));
        clock.advance(300);
    }

    QStringList subjects;
    for (const QList<QVariant>& signal : alerted)
        subjects << signal.at(0).toString();
    QCOMPARE(subjects, alerts);
    QCOMPARE(monitor.alarms(), alarmAtEnd ? QStringList{QStringLiteral("rack1")} : QStringList{});
    const int sent = switchesOn ? int(alerts.size()) : 0;
    QCOMPARE(alertEvents(app), sent);
    QCOMPARE(int(mails.size()), sent * 2);
    for (std::size_t i = 0; i < mails.size(); ++i) {
        QCOMPARE(mails[i].to, i % 2 ? QByteArray("oncall@example.com") : QByteArray("ops@example.com"));
        QCOMPARE(QString::fromUtf8(mails[i].subject), alerts[int(i / 2)]);
        QCOMPARE(mails[i].controller, rack.displayName());
        // A silent controller's mail says why its checks failed.
        QCOMPARE(mails[i].body.contains("Reason: connection refused: 127.0.0.1:8080."),
                 mails[i].subject.startsWith("No answer"));
    }
}

void tst_AlertMonitor::acknowledgement_silencesTheMarkUntilTheAlarmChanges_data() {
    // Checks as in checks_alertOncePerTransition; "ack" acknowledges with a note.
    QTest::addColumn<QByteArray>("checks");
    QTest::addColumn<QByteArray>("logged"); // the event reason of the acknowledgement; empty: none taken
    QTest::addColumn<bool>("markedAtEnd");

    const QByteArray overB = "Acknowledged: bus B over-current; note: fan swap";
    QTest::newRow("over, acknowledged, still over") << QByteArray("B10.4 ack B11 B12") << overB << false;
    QTest::newRow("another bus over") << QByteArray("B10.4 ack A14") << overB << true;
    QTest::newRow("over turns under") << QByteArray("B10.4 ack B0.2") << overB << true;
    QTest::newRow("ends and comes back the same") << QByteArray("B10.4 ack B9 B10.4") << overB << true;
    QTest::newRow("no answer acknowledged")
        << QByteArray("- - - ack - -") << QByteArray("Acknowledged: no answer; note: fan swap") << false;
    QTest::newRow("no answer, then an answer with a bus over")
        << QByteArray("- - - ack B10.4") << QByteArray("Acknowledged: no answer; note: fan swap") << true;
    QTest::newRow("nothing to acknowledge") << QByteArray("B9 ack") << QByteArray() << false;
}

void tst_AlertMonitor::acknowledgement_silencesTheMarkUntilTheAlarmChanges() {
    QFETCH(QByteArray, checks);
    QFETCH(QByteArray, logged);
    QFETCH(bool, markedAtEnd);

    Test::ManualClock clock(start);
    Application app;
    Controller& rack = setUp(app, true);
    rack.channels = {{"A", 0.5, 13, 1}, {"B", 0.5, 10, 0.9}};
    AlertMonitor monitor(app, [](const OutboxMail&) {});
    std::optional<QByteArray> acknowledged;
    for (const QByteArray& word : checks.split(' ')) {
        if (word == "ack") {
            acknowledged = monitor.acknowledge(rack.id, " fan\nswap ");
            continue;
        }
        monitor.checked(rack.id, outcomeOf(word, rack));
        clock.advance(300);
    }

    QCOMPARE(acknowledged.value_or(QByteArray()), logged);
    QCOMPARE(monitor.unacknowledged(), markedAtEnd ? QStringList{QStringLiteral("rack1")} : QStringList{});
}

void tst_AlertMonitor::failedLogins_alertOncePerBurst_data() {
    // Seconds after the start at which failed logins come; "s" before a time: by syslog, else HTTP.
    QTest::addColumn<QByteArray>("failures");
    QTest::addColumn<QList<int>>("burstSizes"); // the burst mails, by how many failures each lists

    QTest::newRow("four in ten minutes") << QByteArray("0 60 120 180") << QList<int>{};
    QTest::newRow("five in ten minutes") << QByteArray("0 60 120 180 240") << QList<int>{5};
    QTest::newRow("five over more than ten minutes") << QByteArray("0 200 400 600 800") << QList<int>{};
    QTest::newRow("a long attack is one burst")
        << QByteArray("0 30 60 90 120 150 180 210 240 270") << QList<int>{5};
    QTest::newRow("ten quiet minutes end a burst")
        << QByteArray("0 10 20 30 40 700 710 720 730 740") << QList<int>{5, 5};
    QTest::newRow("read late, in any order") << QByteArray("-200 -500 -300 -400 -100") << QList<int>{5};
    QTest::newRow("history read at the first check")
        << QByteArray("-3000 -2990 -2980 -2970 -2960") << QList<int>{};
    QTest::newRow("syslog and log table report the same logins")
        << QByteArray("0 s0 60 s60 120 s120 180 s180") << QList<int>{};
}

void tst_AlertMonitor::failedLogins_alertOncePerBurst() {
    QFETCH(QByteArray, failures);
    QFETCH(QList<int>, burstSizes);

    Test::ManualClock clock(start);
    Application app;
    Controller& rack = setUp(app, true);
    std::vector<OutboxMail> mails;
    AlertMonitor monitor(app, [&mails](OutboxMail mail) { mails.push_back(std::move(mail)); });
    QObject::connect(&app, &Application::eventAdded, &monitor, &AlertMonitor::eventAdded);

    for (const QByteArray& word : failures.split(' ')) {
        const bool bySyslog = word.startsWith('s');
        const qint64 at = start + word.mid(bySyslog ? 1 : 0).toLongLong();
        clock.set(std::max(clock.now(), at));
        app.addEvent({}, at, rack.id, EventKind::login_failure,
                     bySyslog ? Transport::syslog : Transport::http, {},
                     "Failed authentication for admin from 10.0.0.9");
        // Neither other logins nor the alert events count.
        app.addEvent({}, at, rack.id, EventKind::login_success, Transport::http, {}, "Successful");
    }

    QCOMPARE(int(mails.size()), int(burstSizes.size()) * 2);
    for (int i = 0; i < int(burstSizes.size()); ++i) {
        const OutboxMail& mail = mails[std::size_t(i) * 2];
        QCOMPARE(mail.subject, QByteArray::number(burstSizes[i]) + " failed logins on rack1");
        QCOMPARE(mail.body.count("Failed authentication"), burstSizes[i]);
    }
    QCOMPARE(alertEvents(app), int(burstSizes.size()));
    QVERIFY(monitor.alarms().isEmpty());
}

void tst_AlertMonitor::plainTextBody_isSevenBitWithCrLf_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("encoding");

    QTest::newRow("ASCII as it is") << QByteArray("Over-current\n\nTime: now\n") << QByteArray("7bit");
    QTest::newRow("CR LF kept single") << QByteArray("one\r\ntwo") << QByteArray("7bit");
    QTest::newRow("non-ASCII name") << QByteArray("Over-current on Stromschiene Süd") << QByteArray("base64");
    QTest::newRow("bare CR from a log row") << QByteArray("row\rBcc: x") << QByteArray("base64");
    QTest::newRow("a line SMTP would cut") << QByteArray(1200, 'x') << QByteArray("base64");
}

void tst_AlertMonitor::plainTextBody_isSevenBitWithCrLf() {
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, encoding);

    const QByteArray body = plainTextBody(text);
    const qsizetype split = body.indexOf("\r\n\r\n");
    QVERIFY(split > 0);
    QVERIFY(body.left(split).contains("Content-Type: text/plain; charset=utf-8\r\n"));
    QVERIFY(body.left(split).contains("Content-Transfer-Encoding: " + encoding));
    // Only CR LF ends a line, none is longer than SMTP allows, and every byte is 7-bit.
    const QByteArrayList lines = body.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray line = i + 1 < lines.size() ? lines[i].chopped(1) : lines[i];
        QVERIFY(i + 1 == lines.size() || lines[i].endsWith('\r'));
        QVERIFY(line.size() <= 998);
        QVERIFY(std::all_of(line.begin(), line.end(), [](char c) { return c > 0 && c != '\r'; }));
    }
    const QByteArray content = body.mid(split + 4);
    const QByteArray decoded = encoding == "base64" ? QByteArray::fromBase64(content) : content;
    QCOMPARE(decoded, QByteArray(text).replace("\r\n", "\n").replace("\n", "\r\n"));
}

QTEST_GUILESS_MAIN(tst_AlertMonitor)
#include "tst_AlertMonitor.moc"
