#include "TestSupport.h"
#include "core/Application.h"
#include "core/CycleEvents.h"
#include "core/EventLine.h"
#include "query/WebClient.h"
#include "query/WebThread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <vector>

using namespace Warden;
using namespace Warden::Business;

namespace {

// A ctlsim process; its controllers' ports are read from its output.
class Simulator {
public:
    explicit Simulator(const QStringList& arguments) {
        process_.setProgram(QStringLiteral(CTLSIM_BINARY));
        process_.setArguments(arguments);
        process_.start();
        QByteArray output;
        while (!output.contains("ready\n") && process_.waitForReadyRead(5000))
            output += process_.readAllStandardOutput();
        for (const QByteArray& line : output.split('\n')) {
            if (line.startsWith("controller "))
                ports.push_back(quint16(line.split(' ').value(2).toUInt()));
        }
    }
    ~Simulator() {
        process_.kill();
        process_.waitForFinished(5000);
    }

    std::vector<quint16> ports;

private:
    QProcess process_;
};

// Stands in for the main window's cycle: counts the end-of-check events.
class EndReceiver : public QObject {
public:
    bool event(QEvent* event) override {
        if (event->type() == CycleEvents::clientDone() || event->type() == CycleEvents::clientFailed()) {
            types.push_back(event->type());
            return true;
        }
        return QObject::event(event);
    }
    std::vector<QEvent::Type> types;
};

Controller& addController(Application& app, quint16 port, const QByteArray& password = "secret") {
    Controller& c = app.controllers.emplace_back("rack", 0, "127.0.0.1", port, "admin", password);
    c.channels = {{"A", 0, 10, 1}, {"B", 0, 10, 1}};
    return c;
}

int countKind(const Application& app, const Controller& c, EventKind kind) {
    int n = 0;
    for (const auto& [key, event] : app.events.ownedBy(c.id))
        n += event->kind == kind;
    return n;
}

// What the checked signal told, per controller: whether it answered and how many bus currents it read.
std::map<ControllerId, std::pair<bool, std::size_t>> outcomes(const QSignalSpy& spy) {
    std::map<ControllerId, std::pair<bool, std::size_t>> told;
    for (const QList<QVariant>& signal : spy) {
        const auto outcome = signal.at(1).value<CheckOutcome>();
        told[signal.at(0).value<ControllerId>()] = {outcome.answered, outcome.readings.size()};
    }
    return told;
}

// Why each controller's check failed, as the checked signal told it; empty for none.
std::map<ControllerId, QByteArray> reasons(const QSignalSpy& spy) {
    std::map<ControllerId, QByteArray> told;
    for (const QList<QVariant>& signal : spy)
        told[signal.at(0).value<ControllerId>()] = signal.at(1).value<CheckOutcome>().failure.text();
    return told;
}

// Whether app.log holds `text` on one line that starts with the clock text of its time.
bool timedLine(const QByteArray& log, const QByteArray& text) {
    for (const QByteArray& line : log.split('\n')) {
        if (line.contains(text))
            return clockFields(line.left(24)).has_value() && line.mid(24, 2) == ": ";
    }
    return false;
}

// Runs one check and waits for its end; then a little longer, to see that no second end follows.
std::vector<QEvent::Type> runCheck(WebThread& web, EndReceiver& receiver, int waitMs = 10000) {
    QCoreApplication::postEvent(&web, new CheckEvent());
    if (!QTest::qWaitFor([&] { return !receiver.types.empty(); }, waitMs))
        return {};
    QTest::qWait(100);
    return receiver.types;
}

// Answers every request with `head` and then `filler` again and again, written as the socket drains,
// until `limit` bytes have gone or the client leaves.
class FloodServer : public QObject {
public:
    FloodServer(QByteArray head, QByteArray filler, qint64 limit)
        : head_(std::move(head))
        , filler_(std::move(filler))
        , limit_(limit) {
        server_.listen(QHostAddress::LocalHost, 0);
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* socket = server_.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                socket->readAll();
                if (socket->property("answered").toBool())
                    return;
                socket->setProperty("answered", true);
                socket->write(head_);
                sent += head_.size();
            });
            connect(socket, &QTcpSocket::bytesWritten, socket, [this, socket] {
                if (socket->bytesToWrite() > 4 * filler_.size())
                    return;
                if (sent >= limit_) {
                    socket->disconnectFromHost();
                    return;
                }
                socket->write(filler_);
                sent += filler_.size();
            });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        });
    }
    quint16 port() const { return server_.serverPort(); }
    qint64 sent = 0;

private:
    QTcpServer server_;
    QByteArray head_;
    QByteArray filler_;
    qint64 limit_;
};

quint16 closedPort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

} // namespace

class tst_WebThread : public QObject {
    Q_OBJECT

private slots:
    void normalCheck_storesEventsOfBothModels();
    void statusOtherThan200_logsMaskedLineAndParses_data();
    void statusOtherThan200_logsMaskedLineAndParses();
    void unreachableController_failsAtOnce();
    void stuckController_endsAtTheBound_data();
    void stuckController_endsAtTheBound();
    void oneEndEvent_afterTheLastClient();
    void connectionsCapped_eachDeadlineFromItsStart();
    void bodyCutAtZeroByte();
    void oversizedAnswer_endsTheCheckAtOnce_data();
    void oversizedAnswer_endsTheCheckAtOnce();
    void lateAnswers_readUntilTheDeadline();
    void answerForms_givePage_data();
    void answerForms_givePage();
    void requestCarriesHostCloseAndBasicAuthorization();
};

void tst_WebThread::normalCheck_storesEventsOfBothModels() {
    Test::ScopedWorkDir dir;
    Application app;
    Simulator clockSim({"--log-rows", "3"});
    Simulator uptimeSim({"--log-rows", "3", "--model", "uptime", "--uptime", "7200"});
    QCOMPARE(clockSim.ports.size(), 1u);
    QCOMPARE(uptimeSim.ports.size(), 1u);
    Controller& clocked = addController(app, clockSim.ports[0]);
    Controller& uptimed = addController(app, uptimeSim.ports[0]);
    EndReceiver receiver;
    WebThread web(app, &receiver, nullptr);
    QSignalSpy checked(&web, &WebThread::checked);

    const auto ends = runCheck(web, receiver);

    QCOMPARE(ends, std::vector<QEvent::Type>{CycleEvents::clientDone()});
    QCOMPARE(web.activeClients(), 0u);
    const std::pair<bool, std::size_t> answeredWithTwoBuses{true, 2};
    QCOMPARE(outcomes(checked), (std::map<ControllerId, std::pair<bool, std::size_t>>{
                                    {clocked.id, answeredWithTwoBuses}, {uptimed.id, answeredWithTwoBuses}}));
    for (const Controller* c : {&clocked, &uptimed}) {
        QCOMPARE(countKind(app, *c, EventKind::values), 2);
        // Three rows at start and the login of this check.
        QCOMPARE(countKind(app, *c, EventKind::login_success), 2);
        QCOMPARE(countKind(app, *c, EventKind::login_failure), 1);
        QCOMPARE(countKind(app, *c, EventKind::unknown), 1);
        QVERIFY(qAbs(c->lastCheck - QDateTime::currentSecsSinceEpoch()) < 5);
    }
    const QByteArray log = Test::appLog();
    QVERIFY2(!log.contains("error"), log.constData());
}

void tst_WebThread::statusOtherThan200_logsMaskedLineAndParses_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QByteArray>("statusLine");
    QTest::addColumn<QByteArray>("reason");

    QTest::newRow("device answers 401")
        << QStringList{"--fault", "401", "--password", "pa55:word"} << QByteArray("pa55:word")
        << QByteArray("handleHttp() error: status code 401 Unauthorized, ")
        << QByteArray("login refused (401)");
    QTest::newRow("wrong password") << QStringList{} << QByteArray("pa55:word")
                                    << QByteArray("handleHttp() error: status code 401 Unauthorized, ")
                                    << QByteArray("login refused (401)");
    QTest::newRow("device answers 500")
        << QStringList{"--fault", "500"} << QByteArray("pa55:word")
        << QByteArray("handleHttp() error: status code 500 Internal Server Error, ")
        << QByteArray("error page (500): Internal Server Error");
}

void tst_WebThread::statusOtherThan200_logsMaskedLineAndParses() {
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, password);
    QFETCH(QByteArray, statusLine);
    QFETCH(QByteArray, reason);
    Test::ScopedWorkDir dir;
    Application app;
    Simulator sim(arguments);
    const Controller& c = addController(app, sim.ports.at(0), password);
    EndReceiver receiver;
    WebThread web(app, &receiver, nullptr);
    QSignalSpy checked(&web, &WebThread::checked);

    const auto ends = runCheck(web, receiver);

    QCOMPARE(ends, std::vector<QEvent::Type>{CycleEvents::clientDone()});
    // An error page counts as no answer for the alerts.
    QCOMPARE(outcomes(checked), (std::map<ControllerId, std::pair<bool, std::size_t>>{{c.id, {false, 0}}}));
    // The status decides the reason, not the page without a clock that follows from it.
    QCOMPARE(reasons(checked), (std::map<ControllerId, QByteArray>{{c.id, reason}}));
    const QByteArray log = Test::appLog();
    const QByteArray port = QByteArray::number(sim.ports[0]);
    QVERIFY2(timedLine(log, statusLine + "host_:port_ = 127.0.0.1:" + port +
                                ", user:password = admin:*********, resource_ = /index.htm"),
             log.constData());
    QVERIFY2(!log.contains(password), log.constData());
    QVERIFY2(!log.contains(QByteArray("admin:" + password).toBase64()), log.constData());
    // The parser still ran, with nothing to read.
    QVERIFY(log.contains("getTime() error: cannot find \"s up -->\" in \n"));
}

void tst_WebThread::unreachableController_failsAtOnce() {
    Test::ScopedWorkDir dir;
    Application app;
    const quint16 port = closedPort();
    const Controller& c = addController(app, port);
    EndReceiver receiver;
    WebThread web(app, &receiver, nullptr);
    QSignalSpy checked(&web, &WebThread::checked);

    const auto ends = runCheck(web, receiver);

    QCOMPARE(ends, std::vector<QEvent::Type>{CycleEvents::clientFailed()});
    QCOMPARE(outcomes(checked), (std::map<ControllerId, std::pair<bool, std::size_t>>{{c.id, {false, 0}}}));
    QCOMPARE(reasons(checked), (std::map<ControllerId, QByteArray>{
                                   {c.id, "connection refused: 127.0.0.1:" + QByteArray::number(port)}}));
    const QByteArray log = Test::appLog();
    QVERIFY2(timedLine(log, "WebClient::clientDone() error: Connection refused, host_:port_ = 127.0.0.1:" +
                                QByteArray::number(port)),
             log.constData());
    QVERIFY(!log.contains("getTime()"));
}

void tst_WebThread::stuckController_endsAtTheBound_data() {
    QTest::addColumn<QString>("fault");
    QTest::newRow("connection accepted, never answered") << QStringLiteral("silent");
    QTest::newRow("half a page, then silence") << QStringLiteral("hang");
    QTest::newRow("page trickling in") << QStringLiteral("slow");
}

void tst_WebThread::stuckController_endsAtTheBound() {
    QFETCH(QString, fault);
    Test::ScopedWorkDir dir;
    Application app;
    Simulator sim({"--fault", fault, "--trickle-ms", "100"});
    const Controller& c = addController(app, sim.ports.at(0));
    EndReceiver receiver;
    WebThread web(app, &receiver, nullptr);
    QSignalSpy checked(&web, &WebThread::checked);
    web.setClientTimeout(1500);
    QElapsedTimer elapsed;
    elapsed.start();

    const auto ends = runCheck(web, receiver);

    QCOMPARE(ends, std::vector<QEvent::Type>{CycleEvents::clientFailed()});
    QVERIFY(elapsed.elapsed() >= 1400);
    QCOMPARE(reasons(checked), (std::map<ControllerId, QByteArray>{{c.id, "no answer within 1.5 s"}}));
    const QByteArray log = Test::appLog();
    QVERIFY2(timedLine(
                 log, "WebClient::requestTimeout() error: host_:port_ = 127.0.0.1:" +
                          QByteArray::number(sim.ports[0]) +
                          ", ids = 1, 2, 0, no answer within 1.5 s, index.htm: 0 bytes, syslog.htm: 0 bytes"),
             log.constData());
    QVERIFY(!log.contains("getTime()"));
}

void tst_WebThread::oneEndEvent_afterTheLastClient() {
    Test::ScopedWorkDir dir;
    Application app;
    Simulator sim({"--count", "3", "--fault", "silent", "--fault-first", "1"});
    QCOMPARE(sim.ports.size(), 3u);
    for (quint16 port : sim.ports)
        addController(app, port);
    EndReceiver receiver;
    WebThread web(app, &receiver, nullptr);
    web.setClientTimeout(1000);

    const auto ends = runCheck(web, receiver);

    // The silent controller finishes last, so its type ends the check.
    QCOMPARE(ends, std::vector<QEvent::Type>{CycleEvents::clientFailed()});
    QCOMPARE(web.activeClients(), 0u);
    auto it = app.controllers.begin();
    QCOMPARE(countKind(app, *it++, EventKind::values), 0);
    QCOMPARE(countKind(app, *it++, EventKind::values), 2);
    QCOMPARE(countKind(app, *it, EventKind::values), 2);
}

// Five controllers that never answer, two connections at a time: three rounds of the deadline, and
// each controller has its whole deadline however long it waited for a place.
void tst_WebThread::connectionsCapped_eachDeadlineFromItsStart() {
    Test::ScopedWorkDir dir;
    Application app;
    Simulator sim({"--count", "5", "--fault", "silent"});
    QCOMPARE(sim.ports.size(), 5u);
    for (quint16 port : sim.ports)
        addController(app, port);
    EndReceiver receiver;
    WebThread web(app, &receiver, nullptr);
    web.setClientTimeout(1000);
    web.setMaxConnections(2);
    QElapsedTimer elapsed;
    elapsed.start();

    const auto ends = runCheck(web, receiver);

    QCOMPARE(ends, std::vector<QEvent::Type>{CycleEvents::clientFailed()});
    QVERIFY2(elapsed.elapsed() >= 2900, QByteArray::number(elapsed.elapsed()).constData());
    const QByteArray log = Test::appLog();
    for (quint16 port : sim.ports)
        QVERIFY2(log.contains("WebClient::requestTimeout() error: host_:port_ = 127.0.0.1:" +
                              QByteArray::number(port) + ", ids = 1, 2, 0, "),
                 log.constData());
}

void tst_WebThread::bodyCutAtZeroByte() {
    Test::ScopedWorkDir dir;
    Application app;
    Simulator sim({"--fault", "nul", "--log-rows", "3"});
    Controller& c = addController(app, sim.ports.at(0));
    EndReceiver receiver;
    WebThread web(app, &receiver, nullptr);

    runCheck(web, receiver);

    // Bus B and all log rows but the newest come after the zero byte.
    QCOMPARE(countKind(app, c, EventKind::values), 1);
    QCOMPARE(app.events.ownedBy(c.id).size(), 2u);
}

void tst_WebThread::oversizedAnswer_endsTheCheckAtOnce_data() {
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<QByteArray>("filler");
    const QByteArray block(64 * 1024, 'x');
    QTest::newRow("endless chunked body")
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
        << "10000\r\n" + block + "\r\n";
    QTest::newRow("endless body until the connection closes")
        << QByteArray("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n") << block;
    QTest::newRow("announced length past the limit")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 1000000000\r\n\r\n") << block;
    QTest::newRow("header line without end")
        << QByteArray("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"") << block;
    QTest::newRow("header lines without end")
        << QByteArray("HTTP/1.1 200 OK\r\n") << QByteArray("X-Filler: 0123456789\r\n").repeated(3000);
    QTest::newRow("interim answers without end")
        << QByteArray("HTTP/1.1 100 Continue\r\n\r\n")
        << QByteArray("HTTP/1.1 100 Continue\r\n\r\n").repeated(2500);
    QTest::newRow("one-byte chunks") << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
                                     << QByteArray("1\r\nx\r\n").repeated(10000);
    QTest::newRow("line ends without end between chunks")
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nx")
        << QByteArray(block.size(), '\n');
}

// Far sooner than the deadline, and without the page held in memory.
void tst_WebThread::oversizedAnswer_endsTheCheckAtOnce() {
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, filler);
    Test::ScopedWorkDir dir;
    Application app;
    FloodServer server(head, filler, 256 * 1024 * 1024);
    addController(app, server.port());
    EndReceiver receiver;
    WebThread web(app, &receiver, nullptr);
    web.setClientTimeout(20000);
    QElapsedTimer elapsed;
    elapsed.start();

    const auto ends = runCheck(web, receiver, 30000);

    QCOMPARE(ends, std::vector<QEvent::Type>{CycleEvents::clientFailed()});
    QVERIFY2(elapsed.elapsed() < 10000, QByteArray::number(elapsed.elapsed()).constData());
    QVERIFY2(server.sent < 4 * WebClient::maxPageBytes, QByteArray::number(server.sent).constData());
    QCOMPARE(web.activeClients(), 0u);
    const QByteArray log = Test::appLog();
    QVERIFY2(log.contains("answer too large: host_:port_ = 127.0.0.1:" + QByteArray::number(server.port())),
             log.right(500).constData());
}

// One check at the real deadline: a controller that takes 6 s over each answer is read, also while
// another one sends headers without end; one that takes 13 s over each (26 s for both pages) is cut
// at 25 s.
void tst_WebThread::lateAnswers_readUntilTheDeadline() {
    Test::ScopedWorkDir dir;
    Application app;
    Simulator late({"--answer-delay-ms", "6000"});
    Simulator tooLate({"--answer-delay-ms", "13000"});
    FloodServer endlessHeader("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"",
                              QByteArray(64 * 1024, 'x'), 256 * 1024 * 1024);
    const Controller& read = addController(app, late.ports.at(0));
    const Controller& cut = addController(app, tooLate.ports.at(0));
    const Controller& flooding = addController(app, endlessHeader.port());
    EndReceiver receiver;
    WebThread web(app, &receiver, nullptr);
    QSignalSpy checked(&web, &WebThread::checked);
    QElapsedTimer elapsed;
    elapsed.start();

    const auto ends = runCheck(web, receiver, 40000);

    QCOMPARE(ends, std::vector<QEvent::Type>{CycleEvents::clientFailed()});
    QVERIFY2(elapsed.elapsed() >= 24500 && elapsed.elapsed() < 30000,
             QByteArray::number(elapsed.elapsed()).constData());
    QCOMPARE(outcomes(checked), (std::map<ControllerId, std::pair<bool, std::size_t>>{
                                    {read.id, {true, 2}}, {cut.id, {false, 0}}, {flooding.id, {false, 0}}}));
    QCOMPARE(reasons(checked),
             (std::map<ControllerId, QByteArray>{
                 {read.id, ""},
                 {cut.id, "no answer within 25 s"},
                 {flooding.id, "answer too large: /index.htm: headers of more than 65536 bytes"}}));
    QVERIFY2(endlessHeader.sent < 4 * WebClient::maxPageBytes,
             QByteArray::number(endlessHeader.sent).constData());
    const QByteArray log = Test::appLog();
    // The page that came is counted in the line, and shown only in the debug output.
    QVERIFY2(timedLine(log, "WebClient::requestTimeout() error: host_:port_ = 127.0.0.1:" +
                                QByteArray::number(tooLate.ports[0]) +
                                ", ids = 1, 2, 3, no answer within 25 s, index.htm: "),
             log.constData());
    QVERIFY2(!log.contains("<html>"), log.constData());
    QCOMPARE(log.count("WebClient::requestTimeout()"), 1);
    QVERIFY2(
        log.contains("answer too large: host_:port_ = 127.0.0.1:" + QByteArray::number(endlessHeader.port())),
        log.constData());
}

void tst_WebThread::answerForms_givePage_data() {
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QByteArray>("logged"); // empty: no line about this answer
    const QByteArray page = "<!-- RAW VAH=230 CAH=1.5 -->";
    QTest::newRow("chunks") << "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n" + page.left(5) +
                                   "\r\n17;x=y\r\n" + page.mid(5) + "\r\n0\r\nX-Trailer: 1\r\n\r\n"
                            << QByteArray();
    QTest::newRow("no length: up to the close") << "HTTP/1.0 200 OK\r\n\r\n" + page << QByteArray();
    QTest::newRow("interim answer first, bare line feeds")
        << "HTTP/1.1 100 Continue\n\nHTTP/1.1 200 OK\nContent-Length: 28\n\n" + page << QByteArray();
    QTest::newRow("broken off after the status line")
        << "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + page
        << QByteArray("handleHttp(): http error: /index.htm, ");
}

// Whatever HTTP form a controller's answer takes, the page reaches the parser.
void tst_WebThread::answerForms_givePage() {
    QFETCH(QByteArray, answer);
    QFETCH(QByteArray, logged);
    Test::ScopedWorkDir dir;
    Application app;
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    connect(&server, &QTcpServer::newConnection, &server, [&] {
        QTcpSocket* socket = server.nextPendingConnection();
        connect(socket, &QTcpSocket::readyRead, socket, [&answer, socket] {
            socket->readAll();
            socket->write(answer);
            socket->disconnectFromHost();
        });
    });
    const Controller& c = addController(app, server.serverPort());
    EndReceiver receiver;
    WebThread web(app, &receiver, nullptr);

    const auto ends = runCheck(web, receiver);

    QCOMPARE(ends, std::vector<QEvent::Type>{CycleEvents::clientDone()});
    QCOMPARE(countKind(app, c, EventKind::values), 1);
    const QByteArray log = Test::appLog();
    QVERIFY2(logged.isEmpty() ? !log.contains("WebClient") && !log.contains("handleHttp")
                              : log.contains(logged),
             log.constData());
}

void tst_WebThread::requestCarriesHostCloseAndBasicAuthorization() {
    Test::ScopedWorkDir dir;
    Application app;
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QByteArrayList requests;
    connect(&server, &QTcpServer::newConnection, &server, [&] {
        QTcpSocket* socket = server.nextPendingConnection();
        connect(socket, &QTcpSocket::readyRead, socket, [&requests, socket] {
            const QByteArray request = socket->readAll();
            requests.append(request);
            socket->write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
            socket->disconnectFromHost();
        });
    });
    addController(app, server.serverPort(), "pw");
    EndReceiver receiver;
    WebThread web(app, &receiver, nullptr);

    runCheck(web, receiver);

    QCOMPARE(requests.size(), 2);
    const QByteArray host = "\r\nHost: 127.0.0.1:" + QByteArray::number(server.serverPort()) + "\r\n";
    QVERIFY2(requests[0].startsWith("GET /index.htm HTTP/1.1\r\n"), requests[0].constData());
    QVERIFY2(requests[1].startsWith("GET /syslog.htm HTTP/1.1\r\n"), requests[1].constData());
    for (const QByteArray& request : requests) {
        QVERIFY2(request.contains(host), request.constData());
        QVERIFY2(request.contains("\r\nConnection: close\r\n"), request.constData());
        QVERIFY2(request.contains("\r\nAuthorization: Basic YWRtaW46cHc=\r\n"), request.constData());
        QCOMPARE(request.count("Host:"), 1);
    }
}

QTEST_GUILESS_MAIN(tst_WebThread)
#include "tst_WebThread.moc"
