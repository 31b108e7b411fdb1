#include "metrics/MetricsExposition.h"
#include "metrics/MetricsServer.h"

#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>

using Warden::MetricsServer;

namespace {

// Sends `request` as it is and reads until the server closes or `timeoutMs` pass.
QByteArray exchange(quint16 port, const QByteArray& request, int timeoutMs = 5000,
                    const QHostAddress& host = QHostAddress(QHostAddress::LocalHost),
                    const QHostAddress& from = QHostAddress()) {
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    if (!from.isNull() && !socket.bind(from, 0))
        return "not bound";
    socket.connectToHost(host, port);
    if (!socket.waitForConnected(timeoutMs))
        return "not connected";
    socket.write(request);
    socket.waitForBytesWritten(timeoutMs);
    QByteArray answer;
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired() && socket.state() == QAbstractSocket::ConnectedState) {
        if (socket.waitForReadyRead(int(std::max<qint64>(deadline.remainingTime(), 1))))
            answer += socket.readAll();
    }
    return answer + socket.readAll();
}

QByteArray get(quint16 port, const QByteArray& method, const QByteArray& path) {
    return exchange(port, method + ' ' + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
}

} // namespace

class tst_MetricsServer : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void parseEndpoint_data();
    void parseEndpoint();
    void requests_data();
    void requests();
    void slowClient_othersAreServed();
    void trickler_cutTenSecondsAfterAccept();
    void slowClientsFillTheCaps_scraperGetsIn_data();
    void slowClientsFillTheCaps_scraperGetsIn();
    void publish_whileScraped_servesWholeTexts();
    void bindFailure_isReported();
    void ipv6Loopback_isServed();

private:
    MetricsServer server_;
};

void tst_MetricsServer::initTestCase() {
    const auto result = server_.start({QHostAddress::LocalHost, 0});
    QVERIFY2(result.ok, result.reason.constData());
    QVERIFY(server_.port() != 0);
    server_.publish("ampwarden_up{controller=\"a\"} 1\n");
}

void tst_MetricsServer::parseEndpoint_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<quint16>("port");
    QTest::newRow("IPv4") << QByteArray("127.0.0.1:9647") << true << quint16(9647);
    QTest::newRow("every address") << QByteArray("0.0.0.0:1") << true << quint16(1);
    QTest::newRow("IPv6 bracketed") << QByteArray("[::1]:9647") << true << quint16(9647);
    QTest::newRow("IPv6 without brackets") << QByteArray("::1:9647") << false << quint16(0);
    QTest::newRow("IPv4 in brackets") << QByteArray("[127.0.0.1]:9647") << false << quint16(0);
    QTest::newRow("no port") << QByteArray("127.0.0.1") << false << quint16(0);
    QTest::newRow("port 0") << QByteArray("127.0.0.1:0") << false << quint16(0);
    QTest::newRow("port too large") << QByteArray("127.0.0.1:65536") << false << quint16(0);
    QTest::newRow("host name") << QByteArray("localhost:9647") << false << quint16(0);
    QTest::newRow("empty") << QByteArray() << false << quint16(0);
}

void tst_MetricsServer::parseEndpoint() {
    QFETCH(QByteArray, text);
    QFETCH(bool, valid);
    QFETCH(quint16, port);
    const auto endpoint = MetricsServer::parseEndpoint(text);
    QCOMPARE(endpoint.has_value(), valid);
    if (endpoint)
        QCOMPARE(endpoint->port, port);
}

void tst_MetricsServer::requests_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QByteArray>("contains");
    const QByteArray end = " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    QTest::newRow("GET /metrics") << "GET /metrics" + end << QByteArray("HTTP/1.1 200")
                                  << QByteArray("Content-Type: text/plain; version=0.0.4; charset=utf-8");
    QTest::newRow("GET body") << "GET /metrics" + end << QByteArray("HTTP/1.1 200")
                              << QByteArray("\r\n\r\nampwarden_up{controller=\"a\"} 1\n");
    QTest::newRow("HEAD has no body")
        << "HEAD /metrics" + end << QByteArray("HTTP/1.1 200") << QByteArray("Content-Length: 31\r\n");
    QTest::newRow("other path") << "GET /" + end << QByteArray("HTTP/1.1 404") << QByteArray();
    QTest::newRow("query is no other path")
        << "GET /metrics?x=1" + end << QByteArray("HTTP/1.1 200") << QByteArray();
    QTest::newRow("POST") << "POST /metrics" + end << QByteArray("HTTP/1.1 405")
                          << QByteArray("Allow: GET, HEAD");
    QTest::newRow("garbage request line")
        << QByteArray("\x01\x02\xff nonsense\r\n\r\n") << QByteArray("HTTP/1.1 400") << QByteArray();
    QTest::newRow("huge headers") << "GET /metrics HTTP/1.1\r\nX: " + QByteArray(200000, 'a') + "\r\n\r\n"
                                  << QByteArray("HTTP/1.1 431") << QByteArray();
}

void tst_MetricsServer::requests() {
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, status);
    QFETCH(QByteArray, contains);
    const QByteArray answer = exchange(server_.port(), request);
    QVERIFY2(answer.startsWith(status), answer.left(300).constData());
    QVERIFY2(answer.contains(contains), answer.left(300).constData());
    if (request.startsWith("HEAD"))
        QVERIFY(answer.endsWith("\r\n\r\n"));
    // Whatever came before, the next client is served.
    QVERIFY(get(server_.port(), "GET", "/metrics").startsWith("HTTP/1.1 200"));
}

void tst_MetricsServer::slowClient_othersAreServed() {
    QTcpSocket slow;
    slow.connectToHost(QHostAddress::LocalHost, server_.port());
    QVERIFY(slow.waitForConnected(5000));
    slow.write("GET /metr");
    QVERIFY(slow.waitForBytesWritten(5000));
    QElapsedTimer timer;
    timer.start();
    QVERIFY(get(server_.port(), "GET", "/metrics").startsWith("HTTP/1.1 200"));
    QVERIFY2(timer.elapsed() < 2000, QByteArray::number(timer.elapsed()).constData());
    QCOMPARE(slow.state(), QAbstractSocket::ConnectedState);
}

// One byte a second keeps the library's idle timeout from ever running out; the deadline counts from
// the accept all the same, and others are served meanwhile.
void tst_MetricsServer::trickler_cutTenSecondsAfterAccept() {
    QTcpSocket slow;
    slow.setProxy(QNetworkProxy::NoProxy);
    QElapsedTimer sinceAccept;
    qint64 cutAfterMs = -1;
    connect(&slow, &QTcpSocket::disconnected, this, [&] { cutAfterMs = sinceAccept.elapsed(); });
    slow.connectToHost(QHostAddress::LocalHost, server_.port());
    QVERIFY(slow.waitForConnected(5000));
    sinceAccept.start();
    const QByteArray request = "GET /metrics HTTP/1.1\r\nX-Slow: " + QByteArray(100, 'a');
    qsizetype sent = 0;
    QTimer trickle;
    connect(&trickle, &QTimer::timeout, this, [&] {
        if (slow.state() == QAbstractSocket::ConnectedState && sent < request.size())
            slow.write(request.mid(sent++, 1));
    });
    trickle.start(1000);
    QTRY_VERIFY(sent >= 2);
    QVERIFY(get(server_.port(), "GET", "/metrics").startsWith("HTTP/1.1 200"));
    QTRY_VERIFY_WITH_TIMEOUT(cutAfterMs >= 0, 20000);
    const qint64 deadlineMs = MetricsServer::timeoutSeconds * 1000;
    QVERIFY2(cutAfterMs >= deadlineMs - 500 && cutAfterMs < deadlineMs + 5000,
             QByteArray::number(cutAfterMs).constData());
}

void tst_MetricsServer::slowClientsFillTheCaps_scraperGetsIn_data() {
    QTest::addColumn<int>("addresses");
    QTest::addColumn<int>("perAddress");
    // As the probe found it: 64 slow connections from 4 addresses once locked every scraper out.
    QTest::newRow("4 addresses, 16 each") << 4 << 16;
    QTest::newRow("8 addresses, 8 each: every connection") << 8 << 8;
}

void tst_MetricsServer::slowClientsFillTheCaps_scraperGetsIn() {
    QFETCH(int, addresses);
    QFETCH(int, perAddress);
    const auto slowAddress = [](int k) { return QHostAddress(QStringLiteral("127.0.1.%1").arg(k + 1)); };
    std::vector<std::unique_ptr<QTcpSocket>> slow;
    for (int i = 0; i < perAddress; ++i) {
        for (int k = 0; k < addresses; ++k) {
            auto& socket = slow.emplace_back(std::make_unique<QTcpSocket>());
            socket->setProxy(QNetworkProxy::NoProxy);
            QVERIFY(socket->bind(slowAddress(k), 0));
            socket->connectToHost(QHostAddress::LocalHost, server_.port());
            QVERIFY(socket->waitForConnected(5000));
            socket->write("GET /metr");
        }
    }
    const unsigned held =
        std::min(MetricsServer::connectionLimit,
                 unsigned(addresses) * std::min(unsigned(perAddress), MetricsServer::connectionsPerAddress));
    QTRY_COMPARE(server_.connections(), held);
    // Answered well before the 10 s deadline could have freed a place: one was made for it.
    for (const QHostAddress& from : {slowAddress(0), QHostAddress(QStringLiteral("127.0.2.1"))}) {
        const QByteArray answer =
            exchange(server_.port(), "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 5000,
                     QHostAddress(QHostAddress::LocalHost), from);
        QVERIFY2(answer.startsWith("HTTP/1.1 200"),
                 (from.toString().toLatin1() + ": " + answer.left(100)).constData());
    }
    slow.clear();
    QTRY_COMPARE(server_.connections(), 0u);
}

void tst_MetricsServer::publish_whileScraped_servesWholeTexts() {
    // Each text is one line repeated: a torn or mixed answer shows as lines of two texts.
    std::atomic<bool> done{false};
    std::thread publisher([this, &done] {
        for (int i = 0; !done; ++i)
            server_.publish(QByteArray("ampwarden_up{controller=\"a\"} ") + QByteArray::number(i % 7) + "\n");
    });
    int served = 0;
    for (int i = 0; i < 40; ++i) {
        const QByteArray answer = get(server_.port(), "GET", "/metrics");
        const QByteArray body = answer.mid(answer.indexOf("\r\n\r\n") + 4);
        QVERIFY2(body.startsWith("ampwarden_up{controller=\"a\"} ") && body.count('\n') == 1,
                 answer.constData());
        ++served;
    }
    done = true;
    publisher.join();
    QCOMPARE(served, 40);
}

void tst_MetricsServer::bindFailure_isReported() {
    MetricsServer second;
    const auto result = second.start({QHostAddress::LocalHost, server_.port()});
    QVERIFY(!result.ok);
    QVERIFY(!result.reason.isEmpty());
    QVERIFY(!second.running());
    QCOMPARE(second.port(), quint16(0));
}

void tst_MetricsServer::ipv6Loopback_isServed() {
    if (QTcpServer probe; !probe.listen(QHostAddress::LocalHostIPv6, 0))
        QSKIP("no IPv6 loopback here");
    MetricsServer server;
    const auto result = server.start({QHostAddress::LocalHostIPv6, 0});
    QVERIFY2(result.ok, result.reason.constData());
    server.publish("x 1\n");
    const QByteArray answer = exchange(server.port(), "GET /metrics HTTP/1.0\r\n\r\n", 5000,
                                       QHostAddress(QHostAddress::LocalHostIPv6));
    QVERIFY2(answer.startsWith("HTTP/1.0 200") || answer.startsWith("HTTP/1.1 200"), answer.constData());
    QVERIFY(answer.endsWith("\r\n\r\nx 1\n"));
}

QTEST_GUILESS_MAIN(tst_MetricsServer)
#include "tst_MetricsServer.moc"
