#include "WebClient.h"

#include "HttpFetch.h"
#include "core/CycleEvents.h"
#include "core/DiagnosticLog.h"
#include "core/LogText.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTimer>

namespace Warden {

namespace {
constexpr QByteArrayView indexPath = "/index.htm";
constexpr QByteArrayView syslogPath = "/syslog.htm";
} // namespace

WebClient::WebClient(QObject* owner, Business::ControllerId controllerId, QByteArray address, quint16 httpPort,
                     QByteArray adminName, QByteArray adminPassword, int timeoutMs)
    : controller(controllerId)
    , host(std::move(address))
    , port(httpPort)
    , admin(std::move(adminName))
    , password(std::move(adminPassword))
    , owner_(owner)
    , timeoutMs_(timeoutMs) {
    // There is no separate host step any more; the number keeps the request numbering of the
    // diagnostic lines (host step 1, then the pages).
    hostRequestId = nextId_++;
}

WebClient::~WebClient() = default;

void WebClient::start() {
    // The deadline covers everything: connecting, a silent peer, a late answer, a page that trickles in.
    timer_ = std::make_unique<QTimer>();
    timer_->setSingleShot(true);
    connect(timer_.get(), &QTimer::timeout, this, &WebClient::requestTimeout);
    timer_->start(timeoutMs_);
    queue(indexPath, indexRequestId);
}

QByteArray WebClient::hostPort() const {
    return host + ':' + QByteArray::number(port);
}

QByteArray WebClient::requestText(QByteArrayView path, const QByteArray& credentials) const {
    QByteArray text = "GET " + path.toByteArray() + " HTTP/1.1\r\nHost: " + host;
    if (port != 0)
        text += ':' + QByteArray::number(port);
    text += "\r\nConnection: close\r\nAuthorization: Basic " + credentials + "\r\n\r\n";
    return text;
}

void WebClient::queue(QByteArrayView path, quint32& requestId) {
    const quint32 id = nextId_++;
    // Known before the fetch starts, whenever it may end.
    requestId = id;
    fetch_ = std::make_unique<HttpFetch>(host, port == 0 ? 80 : port,
                                         requestText(path, (admin + ':' + password).toBase64()),
                                         maxHeaderBytes, maxPageBytes);
    connect(fetch_.get(), &HttpFetch::finished, this, [this, id] { handleHttp(id); });
    fetch_->start();
}

void WebClient::handleHttp(quint32 id) {
    if (ended_ || !fetch_)
        return;
    // Deleted once this call has returned: it is the sender.
    HttpFetch* fetch = fetch_.release();
    fetch->deleteLater();
    if (fetch->outcome() == HttpFetch::Outcome::noAnswer) {
        clientDone(*fetch);
        return;
    }
    if (fetch->outcome() == HttpFetch::Outcome::tooLarge) {
        tooLarge(id, *fetch);
        return;
    }
    const int code = fetch->status();
    httpStatus = code;
    if (id != indexRequestId && id != syslogRequestId) {
        DiagnosticLog::writeTimed("handleHttp() stage error: " + where() + "\n");
        end(CycleEvents::clientDone());
        return;
    }
    const QByteArrayView path = id == indexRequestId ? indexPath : syslogPath;
    if (code != 200) {
        using Kind = Business::CheckFailure::Kind;
        const QByteArray phrase = logText(fetch->reasonPhrase(), pageExcerptLimit);
        failure = code == 401 || code == 403 ? Business::CheckFailure{Kind::loginRefused, code, {}}
                                             : Business::CheckFailure{Kind::errorPage, code, phrase};
        // One line with the time; the request as sent (credentials masked) is for a developer.
        DiagnosticLog::writeTimed("handleHttp() error: status code " + QByteArray::number(code) + " " +
                                  phrase + ", host_:port_ = " + hostPort() + ", user:password = " + admin +
                                  ":" + QByteArray(password.size(), '*') +
                                  ", resource_ = " + path.toByteArray() + "\n");
        qDebug().noquote() << "handleHttp() request:" << requestText(path, QByteArray(8, '*'));
        end(CycleEvents::clientDone());
        return;
    }

    QByteArray body = fetch->body();
    // The controllers' pages come from fixed-size buffers; what follows a zero byte is garbage.
    const qsizetype zero = body.indexOf('\0');
    if (zero >= 0)
        body.truncate(zero);
    if (id == indexRequestId)
        indexPage = body;
    else
        syslogPage = body;

    if (fetch->outcome() == HttpFetch::Outcome::broken) {
        // The answer broke off after its status line: parse what came.
        failure = {Business::CheckFailure::Kind::brokenOff, 0,
                   path.toByteArray() + ", " + fetch->errorText().toUtf8()};
        DiagnosticLog::writeTimed("handleHttp(): http error: " + failure.detail + ", " + where() + "\n");
        end(CycleEvents::clientDone());
        return;
    }
    if (id == indexRequestId) {
        queue(syslogPath, syslogRequestId);
        return;
    }
    end(CycleEvents::clientDone());
}

void WebClient::clientDone(const HttpFetch& fetch) {
    using Kind = Business::CheckFailure::Kind;
    const QByteArray error = fetch.errorText().toUtf8();
    const auto socketError = fetch.socketError();
    if (socketError == QAbstractSocket::ConnectionRefusedError)
        failure = {Kind::refused, 0, hostPort()};
    else if (socketError && socketError != QAbstractSocket::RemoteHostClosedError)
        failure = {Kind::noConnection, 0, error};
    else
        failure = {Kind::notHttp, 0, error};
    DiagnosticLog::writeTimed("WebClient::clientDone() error: " + error + ", " + where() + "\n");
    end(CycleEvents::clientFailed());
}

void WebClient::requestTimeout() {
    if (ended_)
        return;
    failure = {Business::CheckFailure::Kind::timedOut, timeoutMs_, {}};
    DiagnosticLog::writeTimed(
        "WebClient::requestTimeout() error: " + where() + ", ids = " + QByteArray::number(hostRequestId) +
        ", " + QByteArray::number(indexRequestId) + ", " + QByteArray::number(syslogRequestId) + ", " +
        failure.text() + ", index.htm: " + QByteArray::number(indexPage.size()) +
        " bytes, syslog.htm: " + QByteArray::number(syslogPage.size()) + " bytes\n");
    qDebug().noquote() << "requestTimeout() pages:" << logText(indexPage, pageExcerptLimit)
                       << logText(syslogPage, pageExcerptLimit);
    end(CycleEvents::clientFailed());
}

void WebClient::tooLarge(quint32 id, const HttpFetch& fetch) {
    const QByteArrayView path = id == indexRequestId ? indexPath : syslogPath;
    failure = {Business::CheckFailure::Kind::tooLarge, 0, path.toByteArray() + ": " + fetch.tooLargeWhat()};
    DiagnosticLog::writeTimed("WebClient: answer too large: " + where() + ", " + failure.detail +
                              "; the check of this controller ends\n");
    end(CycleEvents::clientFailed());
}

QByteArray WebClient::where() const {
    return "host_:port_ = " + hostPort();
}

void WebClient::end(QEvent::Type type) {
    if (ended_)
        return;
    ended_ = true;
    if (timer_)
        timer_->stop();
    fetch_.reset();
    QCoreApplication::postEvent(owner_, new ClientEvent(type, identity()));
}

} // namespace Warden
