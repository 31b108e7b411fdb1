#include "WebClient.h"

#include "HttpFetch.h"
#include "core/Clock.h"
#include "core/ClockText.h"
#include "core/CycleEvents.h"
#include "core/DiagnosticLog.h"
#include "core/LogText.h"

#include <QCoreApplication>
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
        DiagnosticLog::write("handleHttp() stage error: \n");
        end(CycleEvents::clientDone());
        return;
    }
    const QByteArrayView path = id == indexRequestId ? indexPath : syslogPath;
    if (code != 200) {
        DiagnosticLog::write("handleHttp() error: status code " + QByteArray::number(code) + " " +
                             logText(fetch->reasonPhrase()) + "\nhost_:port_ = " + hostPort() +
                             ", user:password = " + admin + ":" + QByteArray(password.size(), '*') +
                             ", resource_ = \n" + requestText(path, QByteArray(8, '*')) + "\n");
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
        DiagnosticLog::write(clockText(Clock::now()) + "handleHttp(): http error: \n");
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
    DiagnosticLog::write("WebClient::clientDone() error: " + fetch.errorText().toUtf8() +
                         "\n    host_:port_ = " + hostPort() + "\n");
    end(CycleEvents::clientFailed());
}

void WebClient::requestTimeout() {
    if (ended_)
        return;
    DiagnosticLog::write("WebClient::requestTimeout() error: host_:port_ = " + hostPort() +
                         ", ids = " + QByteArray::number(hostRequestId) + ", " +
                         QByteArray::number(indexRequestId) + ", " + QByteArray::number(syslogRequestId) +
                         "\nindex.htm:\n" + logText(indexPage, pageExcerptLimit) + "\nsyslog.htm:\n" +
                         logText(syslogPage, pageExcerptLimit) + "\n");
    end(CycleEvents::clientFailed());
}

void WebClient::tooLarge(quint32 id, const HttpFetch& fetch) {
    const QByteArrayView path = id == indexRequestId ? indexPath : syslogPath;
    DiagnosticLog::write("WebClient: answer too large: host_:port_ = " + hostPort() + ", " +
                         path.toByteArray() + ": " + fetch.tooLargeWhat() +
                         "; the check of this controller ends\n");
    end(CycleEvents::clientFailed());
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
