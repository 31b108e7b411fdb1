#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>

#include <deque>
#include <optional>

class QTcpServer;
class QTcpSocket;
class QUdpSocket;

namespace CtlSim {

enum class Model { clock, uptime };

// How a controller answers; `none` is a healthy controller. The last four (with silent) are hostile:
// they attack the poller's budgets rather than fail (flood pages just under the size cap, headers
// without end, an answer a byte every few seconds).
enum class Fault {
    none,
    unauthorized,
    serverError,
    slow,
    hang,
    silent,
    nul,
    noClock,
    markerFlood,
    rowFlood,
    endlessHeader,
    trickle
};

std::optional<Fault> faultFromName(const QByteArray& name);
QByteArray faultNames();
// The modes --hostile takes.
bool isHostile(Fault fault);
QByteArray hostileNames();

struct Settings {
    QHostAddress bind = QHostAddress::LocalHost;
    QByteArray user = "admin";
    QByteArray password = "secret";
    Model model = Model::clock;
    int buses = 2;
    double volts = 230;
    double ampsA = 2.5;
    double ampsB = 1.5;
    int logRows = 5;
    int logMax = 50;
    qint64 clockOffset = 0;
    qint64 uptime = 3600;
    int trickleMs = 500;
    // How long every answer waits, headers included: a busy device that answers late.
    int answerDelayMs = 0;
    bool verbose = false;
};

// One simulated power controller: an HTTP server for "/index.htm" (and "/"), "/syslog.htm" with
// Basic authentication, the load of its buses, and its own log table, which grows by one row for
// every login to "/index.htm".
class SimController final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SimController)

public:
    SimController(int number, const Settings& settings, QObject* parent = nullptr);

    bool listen(quint16 port);
    quint16 port() const;
    int number() const { return number_; }

    void setFault(Fault fault) { fault_ = fault; }
    void setLoad(char bus, double volts, double amps);
    void addLogRow(const QByteArray& text);
    // The datagram a syslog-capable controller would push for this text.
    QByteArray syslogMessage(const QByteArray& text) const;

    QByteArray indexPage() const;
    QByteArray syslogPage() const;

private:
    struct Row {
        qint64 time;
        QByteArray text;
    };

    void onConnection();
    void onReadable(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const QByteArray& path, const QByteArray& authorization);
    void send(QTcpSocket* socket, int code, const QByteArray& reason, const QByteArray& body,
              const QByteArray& extraHeaders = {});
    void trickle(QTcpSocket* socket, QByteArray rest, bool finish);
    void sendHeadersWithoutEnd(QTcpSocket* socket);
    qint64 controllerNow() const;
    QByteArray rowTime(qint64 t) const;

    const int number_;
    const Settings settings_;
    QTcpServer* server_;
    Fault fault_ = Fault::none;
    double volts_[2];
    double amps_[2];
    qint64 bootTime_;
    std::deque<Row> log_;
};

} // namespace CtlSim
