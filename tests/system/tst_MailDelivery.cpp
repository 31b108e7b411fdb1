#include "PostfixServer.h"
#include "ProgramProcess.h"
#include "TestSupport.h"

#include "core/Application.h"
#include "report/MailQueue.h"
#include "report/Outbox.h"
#include "report/OutboxMail.h"
#include "report/QMailer.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <csignal>
#include <memory>
#include <optional>

using Warden::MailQueue;
using Warden::Outbox;
using Warden::OutboxMail;
using Warden::Business::Application;
using Warden::Test::PostfixServer;

namespace {

OutboxMail reportTo(const QByteArray& to, const QByteArray& host, quint16 port, const QByteArray& subject,
                    const QByteArray& text) {
    OutboxMail mail;
    mail.to = to;
    mail.from = "warden@example.test";
    mail.serverHost = host;
    mail.serverPort = port;
    mail.serverId = Warden::mailServerId(host, port, QByteArray(), false, QByteArray());
    mail.controller = "rack1";
    mail.subject = subject;
    mail.body = "Content-Type: text/plain\r\n\r\n" + text;
    return mail;
}

// Big enough that handing it over and sending it take a while: lines a reader can check.
QByteArray longText() {
    QByteArray text;
    for (int i = 0; i < 40000; ++i)
        text += "line " + QByteArray::number(i).rightJustified(6, '0') +
                " of the report, whole or not at all\r\n";
    return text;
}

// Header value and body of a delivered message, in the maildir's line ends.
QByteArray headerOf(const QByteArray& message, const QByteArray& name) {
    const QByteArray head = message.left(message.indexOf("\n\n") + 1);
    const qsizetype at = head.indexOf("\n" + name + ": ");
    return at < 0 ? QByteArray()
                  : head.mid(at + name.size() + 3, head.indexOf('\n', at + 1) - at - name.size() - 3);
}

QByteArray bodyOf(const QByteArray& message) {
    return message.mid(message.indexOf("\n\n") + 2);
}

QList<QByteArray> deliveredSubjects(const PostfixServer& postfix) {
    QList<QByteArray> subjects;
    for (const QString& path : postfix.messages())
        subjects << headerOf(Warden::Test::readFile(path), "Subject");
    return subjects;
}

// The postwing that `parent` started, or 0.
pid_t postwingOf(pid_t parent) {
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        const QByteArray stat =
            Warden::Test::readFile(QStringLiteral("/proc/") + entry + QStringLiteral("/stat"));
        // "pid (comm) state ppid ..."
        const qsizetype close = stat.lastIndexOf(')');
        if (close < 0 || !stat.contains("(postwing)"))
            continue;
        const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
        if (fields.value(1).toLong() == parent)
            return static_cast<pid_t>(entry.toLong());
    }
    return 0;
}

bool gone(pid_t pid) {
    const QByteArray stat = Warden::Test::readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    return close < 0 || stat.mid(close + 2, 1) == "Z";
}

QByteArray settings(quint16 smtpPort) {
    QByteArray xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<Ampwarden>
    <Controllers/>
    <MTAs>
        <MTA><id>0</id><host>127.0.0.1</host><port>PORT</port><user></user><password></password><useTLS>0</useTLS></MTA>
    </MTAs>
    <EMails>
        <EMail><to>ops@example.test</to><from>warden@example.test</from><MTA>0</MTA></EMail>
    </EMails>
    <Report>
        <checkEveryUnits>1</checkEveryUnits>
        <checkEveryUnit>Day</checkEveryUnit>
        <reportEveryUnits>1</reportEveryUnits>
        <reportEveryUnit>Day</reportEveryUnit>
    </Report>
</Ampwarden>)";
    return xml.replace("PORT", QByteArray::number(smtpPort));
}

} // namespace

class tst_MailDelivery : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void killedProgram_deliversNoDamagedMessage_data();
    void killedProgram_deliversNoDamagedMessage();
    void blockedMail_othersStillDelivered_data();
    void blockedMail_othersStillDelivered();
    void slowEndOfData_eachReportOnce_data();
    void slowEndOfData_eachReportOnce();

private:
    QTemporaryDir runtimeDir_;
};

void tst_MailDelivery::initTestCase() {
    if (const QString why = PostfixServer::unavailable(); !why.isEmpty())
        QSKIP(qPrintable(why));
    QVERIFY(runtimeDir_.isValid());
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir_.path()));
}

void tst_MailDelivery::init() {
    Warden::setPostwingProgram(QStringLiteral(POSTWING_BINARY));
}

void tst_MailDelivery::cleanup() {
    Warden::setPostwingProgram(QString());
}

// The program killed at a moment of a send: the server gets the report whole or not at all.
void tst_MailDelivery::killedProgram_deliversNoDamagedMessage_data() {
    QTest::addColumn<int>("afterMs");    // after postwing started; -1: once the mail counts as delivered
    QTest::addColumn<bool>("delivered"); // false: whole or not at all
    QTest::newRow("as postwing starts") << 0 << false;
    QTest::newRow("5 ms: handing the message over") << 5 << false;
    QTest::newRow("50 ms") << 50 << false;
    QTest::newRow("after the send") << -1 << true;
}

void tst_MailDelivery::killedProgram_deliversNoDamagedMessage() {
    QFETCH(int, afterMs);
    QFETCH(bool, delivered);
    PostfixServer postfix;
    QVERIFY2(postfix.isRunning(), qPrintable(postfix.error()));
    QTemporaryDir work;
    QVERIFY(QDir(work.path()).mkpath(QStringLiteral("outbox")));
    const QByteArray text = longText();
    QFile config(QDir(work.path()).filePath(QStringLiteral("Ampwarden.xml")));
    QVERIFY(config.open(QIODevice::WriteOnly) && config.write(settings(postfix.port())) > 0);
    config.close();
    QFile waiting(QDir(work.path()).filePath(QStringLiteral("outbox/000000000001-000000.mail")));
    QVERIFY(waiting.open(QIODevice::WriteOnly));
    waiting.write(reportTo("ops@example.test", "127.0.0.1", postfix.port(), "whole", text).toFile());
    waiting.close();

    Warden::Test::ProgramProcess program(QStringLiteral(AMPWARDEN_BINARY), work.path());
    QVERIFY(program.start(Warden::Test::programArguments(
        Warden::Test::uniqueInstanceKey(), Warden::Test::freeUdpPort(), QStringLiteral("hidden"))));
    const auto parent = static_cast<pid_t>(program.pid());
    pid_t postwing = 0;
    QTRY_VERIFY_WITH_TIMEOUT((postwing = postwingOf(parent)) != 0, 15000);
    if (afterMs < 0)
        QTRY_VERIFY_WITH_TIMEOUT(!waiting.exists(), 60000);
    else
        QThread::msleep(static_cast<unsigned long>(afterMs));
    ::kill(parent, SIGKILL);
    program.kill();
    QTRY_VERIFY_WITH_TIMEOUT(gone(postwing), 15000);
    QTRY_VERIFY_WITH_TIMEOUT(postfix.queueEmpty(), 15000);

    const QStringList messages = postfix.messages();
    QVERIFY2(messages.size() <= 1, qPrintable(QString::number(messages.size())));
    if (delivered)
        QCOMPARE(messages.size(), 1);
    const QByteArray whole = QByteArray(text).replace("\r\n", "\n");
    for (const QString& path : messages) {
        const QByteArray body = bodyOf(Warden::Test::readFile(path));
        QVERIFY2(body == whole,
                 qPrintable(QStringLiteral("%1 of %2 bytes").arg(body.size()).arg(whole.size())));
    }
}

enum class Blocker { fullMailbox, silentServer };

void tst_MailDelivery::blockedMail_othersStillDelivered_data() {
    QTest::addColumn<Blocker>("blocker");
    QTest::newRow("a full mailbox holds only its recipient's mails") << Blocker::fullMailbox;
    QTest::newRow("a server that never answers holds only its own mails") << Blocker::silentServer;
}

void tst_MailDelivery::blockedMail_othersStillDelivered() {
    QFETCH(Blocker, blocker);
    PostfixServer::Options options;
    options.fullMailboxes = {QStringLiteral("full@example.test")};
    PostfixServer postfix(options);
    QVERIFY2(postfix.isRunning(), qPrintable(postfix.error()));
    // Takes connections into its backlog and never greets.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));

    Warden::Test::ScopedWorkDir work;
    Application app;
    app.mailServers.emplace_back("127.0.0.1", postfix.port(), "", "", false);
    app.mailServers.emplace_back("127.0.0.1", silent.serverPort(), "", "", false);
    const quint16 blockedPort = blocker == Blocker::fullMailbox ? postfix.port() : silent.serverPort();
    MailQueue queue;
    Outbox outbox(app, queue);
    outbox.add(reportTo("full@example.test", "127.0.0.1", blockedPort, "blocked 1", "x\r\n"));
    outbox.add(reportTo("ops@example.test", "127.0.0.1", postfix.port(), "ok 1", "x\r\n"));
    outbox.add(reportTo("full@example.test", "127.0.0.1", blockedPort, "blocked 2", "x\r\n"));
    outbox.add(reportTo("ops@example.test", "127.0.0.1", postfix.port(), "ok 2", "x\r\n"));

    QTRY_COMPARE_WITH_TIMEOUT(deliveredSubjects(postfix).size(), 2, 15000);
    QCOMPARE(deliveredSubjects(postfix), (QList<QByteArray>{"ok 1", "ok 2"}));
    // The server may file a message before postwing has ended and the outbox has taken it off.
    QTRY_COMPARE_WITH_TIMEOUT(outbox.count(), 2, 15000);
    outbox.stop(0);
}

// The reply to the end of the data after 35 s: one attempt, one copy. Stop does not wait the ten
// minutes a server may take, and does not hide that the mail may then come twice.
void tst_MailDelivery::slowEndOfData_eachReportOnce_data() {
    QTest::addColumn<bool>("stopMeanwhile");
    QTest::newRow("waited for") << false;
    QTest::newRow("Stop meanwhile says what it cut off") << true;
}

void tst_MailDelivery::slowEndOfData_eachReportOnce() {
    QFETCH(bool, stopMeanwhile);
    PostfixServer::Options options;
    options.endOfDataDelaySeconds = 35;
    PostfixServer postfix(options);
    QVERIFY2(postfix.isRunning(), qPrintable(postfix.error()));
    Warden::Test::ScopedWorkDir work;
    Application app;
    app.mailServers.emplace_back("127.0.0.1", postfix.port(), "", "", false);
    MailQueue queue;
    Outbox outbox(app, queue, QString::fromLatin1(Outbox::defaultDirectory), Warden::RetrySchedule::every(1));
    outbox.add(reportTo("ops@example.test", "127.0.0.1", postfix.port(), "slow", "x\r\n"));

    if (stopMeanwhile) {
        QTRY_VERIFY_WITH_TIMEOUT(postfix.endOfDataSeen(), 15000);
        outbox.stop(500);
        QCOMPARE(QDir(QStringLiteral("outbox")).entryList({QStringLiteral("*.mail")}).size(), 1);
        const QByteArray log = Warden::Test::appLog();
        QVERIFY2(log.contains("cut off the send of the report mail of rack1 to ops@example.test") &&
                     log.contains("arrives twice") &&
                     log.contains("Outbox: 1 report mail(s) wait for the next start"),
                 log.constData());
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(outbox.count(), 0, 70000);
    QTRY_VERIFY_WITH_TIMEOUT(postfix.queueEmpty(), 15000);
    QCOMPARE(deliveredSubjects(postfix), QList<QByteArray>{"slow"});
}

QTEST_GUILESS_MAIN(tst_MailDelivery)
#include "tst_MailDelivery.moc"
