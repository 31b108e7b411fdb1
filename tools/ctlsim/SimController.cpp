#include "SimController.h"

#include <QDateTime>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>
#include <QTimer>

#include <array>
#include <cstdio>
#include <ctime>

namespace CtlSim {

namespace {

struct FaultName {
    const char* name;
    Fault fault;
};

constexpr std::array<FaultName, 12> faultTable{{
    {"none", Fault::none},
    {"401", Fault::unauthorized},
    {"500", Fault::serverError},
    {"slow", Fault::slow},
    {"hang", Fault::hang},
    {"silent", Fault::silent},
    {"nul", Fault::nul},
    {"noclock", Fault::noClock},
    {"markers", Fault::markerFlood},
    {"rows", Fault::rowFlood},
    {"endless-header", Fault::endlessHeader},
    {"trickle", Fault::trickle},
}};

// The flood pages are just under the poller's 4 MiB page cap: every repetition an empty load marker
// or an empty log row.
constexpr int floodMarkers = 400000;
constexpr int floodRows = 250000;

const char* const monthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::tm localTm(qint64 t) {
    const std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    localtime_r(&tt, &tm);
    return tm;
}

QByteArray twoDigits(qint64 v) {
    return QByteArray::number(v).rightJustified(2, '0');
}

QByteArray decimal(double v) {
    return QByteArray::number(v, 'g', 6);
}

} // namespace

std::optional<Fault> faultFromName(const QByteArray& name) {
    for (const FaultName& f : faultTable) {
        if (name == f.name)
            return f.fault;
    }
    return std::nullopt;
}

QByteArray faultNames() {
    QByteArray names;
    for (const FaultName& f : faultTable)
        names += (names.isEmpty() ? "" : ", ") + QByteArray(f.name);
    return names;
}

bool isHostile(Fault fault) {
    return fault == Fault::markerFlood || fault == Fault::rowFlood || fault == Fault::endlessHeader ||
           fault == Fault::trickle || fault == Fault::silent;
}

QByteArray hostileNames() {
    QByteArray names;
    for (const FaultName& f : faultTable) {
        if (isHostile(f.fault))
            names += (names.isEmpty() ? "" : ", ") + QByteArray(f.name);
    }
    return names;
}

SimController::SimController(int number, const Settings& settings, QObject* parent)
    : QObject(parent)
    , number_(number)
    , settings_(settings)
    , server_(new QTcpServer(this))
    , volts_{settings.volts, settings.volts}
    , amps_{settings.ampsA, settings.ampsB} {
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    bootTime_ = now - settings.uptime;
    static const char* const sample[] = {
        "Successful authentication of user admin from 10.0.0.5",
        "Failed authentication of user guest from 10.0.0.7",
        "Outlet 3 switched off by admin",
    };
    for (int i = settings.logRows; i > 0; --i)
        log_.push_back({now - i * 60, sample[(settings.logRows - i) % 3]});
    connect(server_, &QTcpServer::newConnection, this, &SimController::onConnection);
}

bool SimController::listen(quint16 port) {
    return server_->listen(settings_.bind, port);
}

quint16 SimController::port() const {
    return server_->serverPort();
}

void SimController::setLoad(char bus, double volts, double amps) {
    const int i = bus == 'B' ? 1 : 0;
    volts_[i] = volts;
    amps_[i] = amps;
}

void SimController::addLogRow(const QByteArray& text) {
    log_.push_back({QDateTime::currentSecsSinceEpoch(), text});
    while (int(log_.size()) > settings_.logMax)
        log_.pop_front();
}

QByteArray SimController::syslogMessage(const QByteArray& text) const {
    const std::tm tm = localTm(controllerNow());
    return "<38>" + QByteArray(monthNames[tm.tm_mon]) + ' ' +
           QByteArray::number(tm.tm_mday).rightJustified(2, ' ') + ' ' + twoDigits(tm.tm_hour) + ':' +
           twoDigits(tm.tm_min) + ':' + twoDigits(tm.tm_sec) + " ctlsim" + QByteArray::number(number_) +
           ": " + text;
}

qint64 SimController::controllerNow() const {
    return QDateTime::currentSecsSinceEpoch() + settings_.clockOffset;
}

QByteArray SimController::rowTime(qint64 t) const {
    if (settings_.model == Model::uptime) {
        const qint64 since = std::max<qint64>(t - bootTime_, 0);
        return QByteArray::number(since / 3600) + ':' + twoDigits(since / 60 % 60) + ':' +
               twoDigits(since % 60);
    }
    const std::tm tm = localTm(t + settings_.clockOffset);
    return QByteArray(monthNames[tm.tm_mon]) + ' ' + QByteArray::number(tm.tm_mday).rightJustified(2, ' ') +
           ' ' + twoDigits(tm.tm_hour) + ':' + twoDigits(tm.tm_min) + ':' + twoDigits(tm.tm_sec);
}

QByteArray SimController::indexPage() const {
    if (fault_ == Fault::markerFlood)
        return QByteArray("<!-- RAW ").repeated(floodMarkers);
    QByteArray page = "<html><head><title>Power Controller " + QByteArray::number(number_) +
                      "</title></head>\n<body>\n<table>\n";
    for (int bus = 0; bus < settings_.buses; ++bus) {
        const QByteArray letter(1, char('A' + bus));
        page += "<tr><td>Bus " + letter + "</td><td>" + decimal(volts_[bus]) + " V</td><td>" +
                decimal(amps_[bus]) + " A</td></tr><!-- RAW V" + letter + "H=" + decimal(volts_[bus]) + " C" +
                letter + "H=" + decimal(amps_[bus]) + " -->\n";
        if (bus == 0 && fault_ == Fault::nul)
            page += QByteArray(1, '\0') + "left over from an earlier page";
    }
    page += "</table>\n</body></html>\n";
    return page;
}

QByteArray SimController::syslogPage() const {
    if (fault_ == Fault::rowFlood)
        return QByteArray("<tr><td nowrap>").repeated(floodRows);
    QByteArray page = "<html><head><title>System Log</title></head>\n<body>\n<table>\n<tr><td>";
    const qint64 now = controllerNow();
    if (settings_.model == Model::uptime) {
        const qint64 since = now - settings_.clockOffset - bootTime_;
        page += "Uptime " + QByteArray::number(since / 3600) + ':' + twoDigits(since / 60 % 60) + ':' +
                twoDigits(since % 60);
    } else {
        const std::tm tm = localTm(now);
        page += twoDigits(tm.tm_hour) + ':' + twoDigits(tm.tm_min) + ':' + twoDigits(tm.tm_sec) + ' ' +
                QByteArray::number(tm.tm_year + 1900) + '/' + twoDigits(tm.tm_mon + 1) + '/' +
                twoDigits(tm.tm_mday);
    }
    if (fault_ != Fault::noClock)
        page += "<!-- controller clock, hours up -->";
    page += "</td></tr>\n</table>\n<table>\n<!-- heading table -->\n<tr><th>Event</th></tr>\n"
            "<!-- /heading table -->\n";
    bool first = true;
    for (auto it = log_.rbegin(); it != log_.rend(); ++it) {
        page += "<tr><td nowrap>" + rowTime(it->time) + ' ' + it->text + "</td></tr>\n";
        if (first && fault_ == Fault::nul)
            page += QByteArray(1, '\0');
        first = false;
    }
    page += "</table>\n</body></html>\n";
    return page;
}

void SimController::onConnection() {
    while (QTcpSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadable(socket); });
    }
}

void SimController::onReadable(QTcpSocket* socket) {
    if (socket->property("answered").toBool())
        return;
    QByteArray request = socket->property("request").toByteArray() + socket->readAll();
    socket->setProperty("request", request);
    const qsizetype headerEnd = request.indexOf("\r\n\r\n");
    if (headerEnd < 0) {
        if (request.size() > 64 * 1024)
            socket->abort();
        return;
    }
    socket->setProperty("answered", true);
    const QList<QByteArray> lines = request.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    QByteArray authorization;
    for (const QByteArray& line : lines) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == "authorization")
            authorization = line.mid(colon + 1).trimmed();
    }
    if (settings_.verbose) {
        std::printf("request %d %s\n", number_, requestLine.value(1).constData());
        std::fflush(stdout);
    }
    const QByteArray path = requestLine.value(1);
    if (settings_.answerDelayMs <= 0) {
        answer(socket, path, authorization);
        return;
    }
    QPointer<QTcpSocket> guarded(socket);
    QTimer::singleShot(settings_.answerDelayMs, this, [this, guarded, path, authorization] {
        if (guarded && guarded->state() == QAbstractSocket::ConnectedState)
            answer(guarded, path, authorization);
    });
}

void SimController::answer(QTcpSocket* socket, const QByteArray& path, const QByteArray& authorization) {
    if (fault_ == Fault::silent)
        return;
    if (fault_ == Fault::endlessHeader) {
        sendHeadersWithoutEnd(socket);
        return;
    }
    if (fault_ == Fault::serverError) {
        send(socket, 500, "Internal Server Error", "<html><body>500</body></html>\n");
        return;
    }
    const QByteArray expected = "Basic " + (settings_.user + ':' + settings_.password).toBase64();
    if (fault_ == Fault::unauthorized || authorization != expected) {
        if (path == "/index.htm" || path == "/") {
            const QByteArray user = QByteArray::fromBase64(authorization.mid(6)).split(':').value(0);
            addLogRow("Failed authentication of user " + user + " from " +
                      socket->peerAddress().toString().toLatin1());
        }
        send(socket, 401, "Unauthorized", "<html><body>401 Unauthorized</body></html>\n",
             "WWW-Authenticate: Basic realm=\"ctlsim\"\r\n");
        return;
    }
    QByteArray body;
    if (path == "/index.htm" || path == "/") {
        addLogRow("Successful authentication of user " + settings_.user + " from " +
                  socket->peerAddress().toString().toLatin1());
        body = indexPage();
    } else if (path == "/syslog.htm") {
        body = syslogPage();
    } else {
        send(socket, 404, "Not Found", "<html><body>404</body></html>\n");
        return;
    }
    send(socket, 200, "OK", body);
}

void SimController::send(QTcpSocket* socket, int code, const QByteArray& reason, const QByteArray& body,
                         const QByteArray& extraHeaders) {
    const QByteArray head =
        "HTTP/1.1 " + QByteArray::number(code) + ' ' + reason +
        "\r\nContent-Type: text/html\r\nContent-Length: " + QByteArray::number(body.size()) +
        "\r\nConnection: close\r\n" + extraHeaders + "\r\n";
    if (fault_ == Fault::trickle) {
        // Status line and headers too: a deadline that only counts idle time never ends this answer.
        trickle(socket, head + body, true);
        return;
    }
    if (fault_ == Fault::slow || fault_ == Fault::hang) {
        socket->write(head);
        if (fault_ == Fault::hang) {
            // Half a page, then nothing: the connection stays open and the answer never completes.
            socket->write(body.left(body.size() / 2));
            return;
        }
        trickle(socket, body, true);
        return;
    }
    socket->write(head + body);
    socket->disconnectFromHost();
}

// A status line, then header lines as fast as the connection takes them, until the client leaves.
void SimController::sendHeadersWithoutEnd(QTcpSocket* socket) {
    static const QByteArray lines = [] {
        QByteArray block;
        for (int i = 0; i < 1000; ++i)
            block += "X-Filler-" + QByteArray::number(i) + ": " + QByteArray(40, 'a') + "\r\n";
        return block;
    }();
    socket->write("HTTP/1.1 200 OK\r\n");
    connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
        if (socket->bytesToWrite() < lines.size())
            socket->write(lines);
    });
    socket->write(lines);
}

void SimController::trickle(QTcpSocket* socket, QByteArray rest, bool finish) {
    QPointer<QTcpSocket> guarded(socket);
    if (rest.isEmpty()) {
        if (finish)
            socket->disconnectFromHost();
        return;
    }
    socket->write(rest.left(1));
    QTimer::singleShot(settings_.trickleMs, this, [this, guarded, rest = rest.mid(1), finish] {
        if (guarded && guarded->state() == QAbstractSocket::ConnectedState)
            trickle(guarded, rest, finish);
    });
}

} // namespace CtlSim
