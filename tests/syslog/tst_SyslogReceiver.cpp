#include "TestSupport.h"

#include "core/Application.h"
#include "core/MetricsRegistry.h"
#include "syslog/SyslogReceiver.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QUdpSocket>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <limits>
#include <thread>

using namespace Warden;
using Business::Application;
using Business::EventKind;

Q_DECLARE_METATYPE(Business::EventKind)

namespace {

const qint64 receiptTime = 1796000000;

QList<Business::Event> storedOldestFirst(const Application& app) {
    QList<Business::Event> out;
    for (const auto& [key, event] : app.events.events())
        out.prepend(event);
    return out;
}

} // namespace

class SyslogReceiverTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void classify_data();
    void classify();
    void senderText_data();
    void senderText();
    void datagram_data();
    void datagram();
    void unknownHost_data();
    void unknownHost();
    void unknownHostFlood_isSummarisedAndControllerStillHeard_data();
    void unknownHostFlood_isSummarisedAndControllerStillHeard();
    void controllerAddressFlood_cappedAndMemoryBounded();
    void sameHostTwice_firstControllerGetsIt();
    void emptyDatagram_isLoggedAndDoesNotBlockTheNext();
    void burstFromTwoSenders_completeAndInOrderPerSender();
    void mainThreadFarBehind_lossesCountedAndLogged();
    void destroyedDuringFlood_returnsPromptly();
    void portTaken_bindFailsAndIsLogged();
    void loggerCommand_storesLogin();

private:
    void send(const QByteArray& message, const QHostAddress& to = QHostAddress::LocalHost);

    std::unique_ptr<Test::ScopedWorkDir> dir_;
    std::unique_ptr<Test::ManualClock> clock_;
    std::unique_ptr<Application> app_;
    std::unique_ptr<SyslogReceiver> receiver_;
};

void SyslogReceiverTest::init() {
    dir_ = std::make_unique<Test::ScopedWorkDir>();
    clock_ = std::make_unique<Test::ManualClock>(receiptTime);
    app_ = std::make_unique<Application>();
    receiver_ = std::make_unique<SyslogReceiver>(*app_);
    QVERIFY(receiver_->bind(0));
}

void SyslogReceiverTest::cleanup() {
    receiver_.reset();
    app_.reset();
    clock_.reset();
    dir_.reset();
}

void SyslogReceiverTest::send(const QByteArray& message, const QHostAddress& to) {
    QUdpSocket sender;
    sender.setProxy(QNetworkProxy::NoProxy);
    QCOMPARE(sender.writeDatagram(message, to, receiver_->port()), qint64(message.size()));
}

void SyslogReceiverTest::classify_data() {
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<EventKind>("kind");
    QTest::newRow("successful authentication")
        << QByteArray("Successful authentication for admin") << EventKind::login_success;
    QTest::newRow("words in the other order")
        << QByteArray("authentication of admin: Successful") << EventKind::login_success;
    QTest::newRow("failed authentication")
        << QByteArray("Failed authentication for admin") << EventKind::login_failure;
    QTest::newRow("both words: success wins")
        << QByteArray("Failed once, then Successful authentication") << EventKind::login_success;
    QTest::newRow("authentication alone") << QByteArray("authentication reset") << EventKind::unknown;
    QTest::newRow("successful without authentication")
        << QByteArray("Successful login") << EventKind::unknown;
    QTest::newRow("case matters") << QByteArray("successful Authentication") << EventKind::unknown;
    QTest::newRow("empty") << QByteArray() << EventKind::unknown;
}

void SyslogReceiverTest::classify() {
    QFETCH(QByteArray, message);
    QFETCH(EventKind, kind);
    QCOMPARE(SyslogReceiver::classify(message), kind);
}

void SyslogReceiverTest::senderText_data() {
    QTest::addColumn<QString>("address");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("IPv4") << QStringLiteral("192.168.1.20") << QByteArray("192.168.1.20");
    QTest::newRow("IPv4-mapped becomes dotted decimal")
        << QStringLiteral("::ffff:192.168.1.20") << QByteArray("192.168.1.20");
    QTest::newRow("IPv6 stays IPv6") << QStringLiteral("fe80::1") << QByteArray("fe80::1");
    QTest::newRow("IPv6 loopback") << QStringLiteral("::1") << QByteArray("::1");
}

void SyslogReceiverTest::senderText() {
    QFETCH(QString, address);
    QFETCH(QByteArray, text);
    QCOMPARE(SyslogReceiver::senderText(QHostAddress(address)), text);
}

void SyslogReceiverTest::datagram_data() {
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("stored");
    QTest::addColumn<EventKind>("kind");

    QByteArray binary(256, Qt::Uninitialized);
    for (int i = 0; i < binary.size(); ++i)
        binary[i] = char(255 - i);
    QByteArray largest(65507, 'x');
    largest.replace(30000, 6, QByteArray("\0\xff\xfe\0\x01\n", 6));

    QTest::newRow("priority and timestamp stay in the raw text")
        << QByteArray("127.0.0.1")
        << QByteArray("<13>Dec  7 09:00:00 rack1 Successful authentication of admin") << true
        << EventKind::login_success;
    QTest::newRow("failed login") << QByteArray("127.0.0.1")
                                  << QByteArray("<11>Failed authentication from 10.1.1.1") << true
                                  << EventKind::login_failure;
    QTest::newRow("other message") << QByteArray("127.0.0.1") << QByteArray("Outlet 3 switched off") << true
                                   << EventKind::unknown;
    QTest::newRow("zero byte in the middle keeps every byte")
        << QByteArray("127.0.0.1") << QByteArray("Successful\0 authentication", 26) << true
        << EventKind::login_success;
    QTest::newRow("one byte") << QByteArray("127.0.0.1") << QByteArray("\0", 1) << true << EventKind::unknown;
    QTest::newRow("binary and invalid UTF-8")
        << QByteArray("127.0.0.1") << binary << true << EventKind::unknown;
    QTest::newRow("largest IPv4 datagram")
        << QByteArray("127.0.0.1") << largest << true << EventKind::unknown;
    QTest::newRow("host configured by a name that resolves to the sender")
        << QByteArray("localhost") << QByteArray("Successful authentication") << true
        << EventKind::login_success;
    QTest::newRow("other address is unknown")
        << QByteArray("127.0.0.2") << QByteArray("Failed authentication") << false << EventKind::unknown;
}

void SyslogReceiverTest::datagram() {
    QFETCH(QByteArray, host);
    QFETCH(QByteArray, message);
    QFETCH(bool, stored);
    QFETCH(EventKind, kind);
    Business::Controller& controller = app_->controllers.emplace_back("rack1", 0, host, 0, "admin", "pw");
    receiver_->resolveHosts(); // as when the settings load
    QTRY_VERIFY(!receiver_->resolving());
    send(message);
    if (!stored) {
        const QByteArray line =
            "Syslog message from unknown host: 127.0.0.1: " + QByteArray::number(message.size()) +
            " bytes: " + message + "\n";
        QTRY_VERIFY(Test::appLog().contains(line));
        QCOMPARE(app_->getEventCount(), 0);
        return;
    }
    QTRY_COMPARE(app_->getEventCount(), 1);
    const Business::Event& event = app_->events.events().begin()->second;
    QCOMPARE(event.raw, message);
    QCOMPARE(event.kind, kind);
    QCOMPARE(event.transport, Business::Transport::syslog);
    QCOMPARE(event.time, receiptTime);
    QCOMPARE(event.owner, controller.id);
    QVERIFY(event.messageId.isEmpty());
    QVERIFY(event.reason.isEmpty());
    QVERIFY(!Test::appLog().contains("unknown host"));
}

void SyslogReceiverTest::unknownHost_data() {
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("logged");
    QTest::newRow("zero byte") << QByteArray("Failed authentication\0!", 23)
                               << QByteArray("Failed authentication\\x00!");
    QTest::newRow("a line feed cannot forge a line")
        << QByteArray("x\nSyslog message from unknown host: 10.0.0.1: 1 bytes: \x1b[2J")
        << QByteArray("x\\nSyslog message from unknown host: 10.0.0.1: 1 bytes: \\x1b[2J");
    QTest::newRow("8 KiB are cut to 2 KiB")
        << QByteArray(8192, 'a') << QByteArray(2048, 'a') + " ... [6144 bytes cut]";
}

void SyslogReceiverTest::unknownHost() {
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, logged);
    app_->controllers.emplace_back("rack1", 0, "127.0.0.2", 0, "admin", "pw");
    send(message);
    QTRY_VERIFY(Test::appLog().contains("Syslog message from unknown host: 127.0.0.1: " +
                                        QByteArray::number(message.size()) + " bytes: " + logged + "\n"));
    const QList<QByteArray> lines = Test::appLog().split('\n');
    QCOMPARE(std::count_if(lines.begin(), lines.end(),
                           [](const QByteArray& line) { return line.startsWith("Syslog message"); }),
             1);
    QCOMPARE(app_->getEventCount(), 0);
}

void SyslogReceiverTest::unknownHostFlood_isSummarisedAndControllerStillHeard_data() {
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("1 KiB lines") << QByteArray(1024, 'z') << QByteArray("Syslog message from unknown host");
    QTest::newRow("empty datagrams") << QByteArray() << QByteArray("Received syslog message 0 bytes in size");
}

void SyslogReceiverTest::unknownHostFlood_isSummarisedAndControllerStillHeard() {
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, line);
    app_->controllers.emplace_back("rack1", 0, "127.0.0.3", 0, "admin", "pw");
    QUdpSocket stranger;
    stranger.setProxy(QNetworkProxy::NoProxy);
    QUdpSocket controller;
    controller.setProxy(QNetworkProxy::NoProxy);
    QVERIFY(controller.bind(QHostAddress(QStringLiteral("127.0.0.3")), 0));
    const int flood = 200;
    for (int i = 0; i < flood; ++i)
        QCOMPARE(stranger.writeDatagram(payload, QHostAddress::LocalHost, receiver_->port()),
                 qint64(payload.size()));
    controller.writeDatagram("after the flood", QHostAddress::LocalHost, receiver_->port());
    QTRY_COMPARE(app_->getEventCount(), 1);
    QCOMPARE(Test::appLog().count(line), SyslogReceiver::unknownHostLines);
    receiver_.reset();
    QVERIFY(Test::appLog().contains(": " + QByteArray::number(flood - SyslogReceiver::unknownHostLines) +
                                    " datagrams from unknown hosts not logged\n"));
}

void SyslogReceiverTest::sameHostTwice_firstControllerGetsIt() {
    Business::Controller& first = app_->controllers.emplace_back("a", 0, "127.0.0.1", 0, "admin", "pw");
    app_->controllers.emplace_back("b", 0, "127.0.0.1", 0, "admin", "pw");
    send("Successful authentication");
    QTRY_COMPARE(app_->getEventCount(), 1);
    QCOMPARE(app_->events.events().begin()->second.owner, first.id);
}

void SyslogReceiverTest::emptyDatagram_isLoggedAndDoesNotBlockTheNext() {
    app_->controllers.emplace_back("rack1", 0, "127.0.0.1", 0, "admin", "pw");
    send(QByteArray());
    send("after the empty one");
    QTRY_COMPARE(app_->getEventCount(), 1);
    QCOMPARE(app_->events.events().begin()->second.raw, QByteArray("after the empty one"));
    QCOMPARE(Test::appLog().count("Received syslog message 0 bytes in size\n"), 1);
}

// Sent while the main thread is busy sending: everything waits for it and comes in several turns.
void SyslogReceiverTest::burstFromTwoSenders_completeAndInOrderPerSender() {
    Business::Controller& first = app_->controllers.emplace_back("rack1", 0, "127.0.0.1", 0, "admin", "pw");
    Business::Controller& second = app_->controllers.emplace_back("rack2", 0, "127.0.0.2", 0, "admin", "pw");
    QUdpSocket one;
    QUdpSocket two;
    for (QUdpSocket* s : {&one, &two})
        s->setProxy(QNetworkProxy::NoProxy);
    QVERIFY(two.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0));
    const int count = 3000;
    receiver_->setControllerBudget(count); // the clock stands still: all in one second
    for (int i = 0; i < count; ++i) {
        one.writeDatagram("one " + QByteArray::number(i), QHostAddress::LocalHost, receiver_->port());
        two.writeDatagram("two " + QByteArray::number(i), QHostAddress::LocalHost, receiver_->port());
    }
    QTRY_COMPARE_WITH_TIMEOUT(app_->getEventCount(), 2 * count, 30000);
    QMap<Business::ControllerId, QList<QByteArray>> received;
    for (const Business::Event& event : storedOldestFirst(*app_))
        received[event.owner].append(event.raw);
    for (const auto& [owner, prefix] :
         {std::pair{first.id, QByteArray("one ")}, {second.id, QByteArray("two ")}}) {
        QCOMPARE(received[owner].size(), count);
        for (int i = 0; i < count; ++i)
            QCOMPARE(received[owner][i], prefix + QByteArray::number(i));
    }
    QVERIFY(!Test::appLog().contains("datagrams lost"));
    // Written a batch at a time, yet complete once the events are stored.
    QFile daily(QString::fromUtf8(Application::dailyLogPath(receiptTime)));
    QVERIFY(daily.open(QIODevice::ReadOnly));
    QCOMPARE(daily.readAll().count('\n'), 2 * count);
}

namespace {

qint64 loggedLosses() {
    static const QRegularExpression line(QStringLiteral("Syslog: (\\d+) datagrams lost"));
    qint64 lost = 0;
    auto matches = line.globalMatch(QString::fromLatin1(Test::appLog()));
    while (matches.hasNext())
        lost += matches.next().captured(1).toLongLong();
    return lost;
}

} // namespace

// What cannot wait is counted and told, never lost in silence; what was taken stays in order.
void SyslogReceiverTest::mainThreadFarBehind_lossesCountedAndLogged() {
    app_->controllers.emplace_back("rack1", 0, "127.0.0.1", 0, "admin", "pw");
    receiver_->setLossWindow(0);
    receiver_->setMaxWaitingBytes(64 * 1024);
    const int count = 200;
    receiver_->setControllerBudget(count);
    QUdpSocket sender;
    sender.setProxy(QNetworkProxy::NoProxy);
    for (int i = 0; i < count; ++i)
        sender.writeDatagram(QByteArray::number(i).leftJustified(1024, '.'), QHostAddress::LocalHost,
                             receiver_->port());
    QTRY_COMPARE_WITH_TIMEOUT(app_->getEventCount() + loggedLosses(), qint64(count), 30000);
    QVERIFY(loggedLosses() > 0);
    // Those that found room once the main thread took some are later ones: gaps, never disorder.
    int previous = -1;
    for (const Business::Event& event : storedOldestFirst(*app_)) {
        const int number = event.raw.left(event.raw.indexOf('.')).toInt();
        QVERIFY2(number > previous, event.raw.left(8).constData());
        QCOMPARE(event.raw, QByteArray::number(number).leftJustified(1024, '.'));
        previous = number;
    }
}

namespace {

// The most this process has held since resetPeakMemory(), in KiB.
qint64 peakMemoryKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

bool resetPeakMemory() {
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    return refs.open(QIODevice::WriteOnly) && refs.write("5") == 1;
}

} // namespace

// Anyone can send under a controller's address. 100 MB of it in one second (the clock stands still)
// leave the controller's budget of events and a bounded queue's worth of memory, and every datagram
// is accounted for: stored, over the budget, or lost and said so.
void SyslogReceiverTest::controllerAddressFlood_cappedAndMemoryBounded() {
    app_->controllers.emplace_back("rack1", 0, "127.0.0.1", 0, "admin", "pw");
    receiver_->setLossWindow(0);
    if (!resetPeakMemory())
        QSKIP("no /proc/self/clear_refs to measure the peak memory with");
    const qint64 before = peakMemoryKiB();
    const MetricsRegistry& registry = MetricsRegistry::instance();
    const qint64 handledBefore = qint64(registry.datagrams(true));
    const int count = 100000;
    std::thread flood([port = receiver_->port()] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const QByteArray text = "Successful authentication " + QByteArray(1000, 'f');
        for (int i = 0; i < count; ++i)
            ::sendto(fd, text.constData(), size_t(text.size()), 0, reinterpret_cast<const sockaddr*>(&to),
                     sizeof to);
        ::close(fd);
    });
    flood.join();
    // Every datagram is either handled (and counted) or lost and told. A stranger's datagram after the
    // flood is handled after all of it and carries the kernel's count of drops: sent again until one
    // gets through, as the kernel may drop it too (and then count it among the losses).
    const std::uint64_t strangersBefore = registry.datagrams(false);
    QUdpSocket stranger;
    stranger.setProxy(QNetworkProxy::NoProxy);
    QVERIFY(stranger.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0));
    const auto settled = [&] {
        if (registry.datagrams(false) == strangersBefore) {
            stranger.writeDatagram("after the flood", QHostAddress::LocalHost, receiver_->port());
            return false;
        }
        return qint64(registry.datagrams(true)) - handledBefore + loggedLosses() >= count;
    };
    QTRY_VERIFY_WITH_TIMEOUT(settled(), 30000);
    const qint64 grownKiB = peakMemoryKiB() - before;
    QCOMPARE(app_->getEventCount(), SyslogReceiver::controllerDatagramsPerSecond);
    if (Warden::Test::memoryFiguresMeaningful)
        QVERIFY2(grownKiB < 64 * 1024, QByteArray::number(grownKiB).constData());
    // The next second has a budget again.
    clock_->advance(1);
    send("Failed authentication");
    QTRY_COMPARE(app_->getEventCount(), SyslogReceiver::controllerDatagramsPerSecond + 1);
    const qint64 handled = qint64(registry.datagrams(true)) - handledBefore;
    receiver_.reset(); // tells what the window held back
    QVERIFY(Test::appLog().contains(
        ": Syslog: " + QByteArray::number(handled - 1 - SyslogReceiver::controllerDatagramsPerSecond) +
        " datagrams from rack1 : Kestrel 2 @ 127.0.0.1 not stored: over its budget of 100 a second\n"));
}

void SyslogReceiverTest::destroyedDuringFlood_returnsPromptly() {
    app_->controllers.emplace_back("rack1", 0, "127.0.0.1", 0, "admin", "pw");
    receiver_->setControllerBudget(std::numeric_limits<int>::max());
    std::atomic<bool> stop{false};
    std::thread flood([&stop, port = receiver_->port()] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const char text[] = "Successful authentication for admin";
        while (!stop.load())
            ::sendto(fd, text, sizeof text - 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        ::close(fd);
    });
    const auto joinFlood = qScopeGuard([&] {
        stop.store(true);
        flood.join();
    });
    QTRY_VERIFY(app_->getEventCount() > 1000);
    QElapsedTimer destroying;
    destroying.start();
    receiver_.reset();
    QVERIFY2(destroying.elapsed() < 5000, QByteArray::number(destroying.elapsed()).constData());
}

void SyslogReceiverTest::portTaken_bindFailsAndIsLogged() {
    SyslogReceiver second(*app_);
    QVERIFY(!second.bind(receiver_->port()));
    QVERIFY(Test::appLog().contains(": Syslog server will not work: may be 514 udp port is opened by another "
                                    "application,\n    or you have no rights to listen 514 udp port\n"));
    // The first receiver still gets everything.
    app_->controllers.emplace_back("rack1", 0, "127.0.0.1", 0, "admin", "pw");
    send("still here");
    QTRY_COMPARE(app_->getEventCount(), 1);
}

void SyslogReceiverTest::loggerCommand_storesLogin() {
    const QString logger = QStandardPaths::findExecutable(QStringLiteral("logger"));
    if (logger.isEmpty())
        QSKIP("util-linux logger is not installed");
    Business::Controller& controller =
        app_->controllers.emplace_back("rack1", 0, "127.0.0.1", 0, "admin", "pw");
    const QByteArray text = "Failed authentication for admin from 10.0.0.9";
    QProcess process;
    process.start(logger, {QStringLiteral("-n"), QStringLiteral("127.0.0.1"), QStringLiteral("-P"),
                           QString::number(receiver_->port()), QStringLiteral("-d"), QStringLiteral("-t"),
                           QStringLiteral("rack1"), QString::fromLatin1(text)});
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 0);
    QTRY_COMPARE(app_->getEventCount(), 1);
    const Business::Event& event = app_->events.events().begin()->second;
    QCOMPARE(event.owner, controller.id);
    QCOMPARE(event.kind, EventKind::login_failure);
    QCOMPARE(event.transport, Business::Transport::syslog);
    // The whole datagram: logger's priority field and header, then the text.
    QVERIFY2(event.raw.startsWith('<') && event.raw.endsWith(text), event.raw.constData());
    QVERIFY(event.raw.contains("rack1"));
}

QTEST_GUILESS_MAIN(SyslogReceiverTest)
#include "tst_SyslogReceiver.moc"
