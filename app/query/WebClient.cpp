#include "WebClient.h"

#include "core/Clock.h"
#include "core/ClockText.h"
#include "core/CycleEvents.h"
#include "core/DiagnosticLog.h"
#include "core/LogText.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace Warden {

namespace {
constexpr QByteArrayView indexPath = "/index.htm";
constexpr QByteArrayView syslogPath = "/syslog.htm";
} // namespace

WebClient::WebClient(QNetworkAccessManager* manager, QObject* owner, int index, QByteArray host, quint16 port,
                     QByteArray admin, QByteArray password, int timeoutMs)
    : index(index)
    , host(std::move(host))
    , port(port)
    , admin(std::move(admin))
    , password(std::move(password))
    , manager_(manager)
    , owner_(owner)
    , headersTimer_(new QTimer(this))
    , timeoutMs_(timeoutMs) {
    headersTimer_->setSingleShot(true);
    headersTimer_->setInterval(headersTimeoutMs);
    // There is no separate host step any more; the number keeps the request numbering of the
    // diagnostic lines (host step 1, then the pages).
    hostRequestId = nextId_++;
}

WebClient::~WebClient() {
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
        delete reply_;
    }
}

void WebClient::start() {
    indexRequestId = queue(indexPath.toByteArray());
    // The deadline covers everything: connecting, a silent peer, a page that trickles in.
    timer_ = std::make_unique<QTimer>();
    timer_->setSingleShot(true);
    connect(timer_.get(), &QTimer::timeout, this, &WebClient::requestTimeout);
    timer_->start(timeoutMs_);
}

QByteArray WebClient::hostPort() const {
    return host + ':' + QByteArray::number(port);
}

QByteArray WebClient::requestHeaderText(const QByteArray& path) const {
    QByteArray text = "GET " + path + " HTTP/1.1\r\nHost: " + host;
    if (port != 0)
        text += ':' + QByteArray::number(port);
    // The credentials stay out of the diagnostic log.
    text += "\r\nConnection: close\r\nAuthorization: Basic " + QByteArray(8, '*') + "\r\n\r\n";
    return text;
}

quint32 WebClient::queue(const QByteArray& path) {
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(QString::fromLatin1(host));
    url.setPort(port == 0 ? 80 : port);
    url.setPath(QString::fromLatin1(path));
    QNetworkRequest request(url);
    QByteArray hostHeader = host;
    if (port != 0)
        hostHeader += ':' + QByteArray::number(port);
    request.setRawHeader("Host", hostHeader);
    request.setRawHeader("Connection", "close");
    request.setRawHeader("Authorization", "Basic " + (admin + ':' + password).toBase64());
    // A non-200 answer is reported as it is: no redirects, no authentication round-trip, no HTTP/2.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::AuthenticationReuseAttribute, QNetworkRequest::Manual);

    const quint32 id = nextId_++;
    reply_ = manager_->get(request);
    reply_->setParent(this);
    // The reply holds no more than this before it stops reading from the socket; the page is taken
    // from it as it comes, so the size check sees every byte and memory never holds much more than
    // the limit.
    reply_->setReadBufferSize(readBufferBytes);
    page_.clear();
    connect(reply_, &QNetworkReply::finished, this, [this, id, reply = reply_] { handleHttp(id, reply); });
    headersTimer_->disconnect(this);
    connect(headersTimer_, &QTimer::timeout, this, [this, id] {
        refuse(id, "its headers did not end within " + QByteArray::number(headersTimeoutMs) + " ms");
    });
    connect(reply_, &QNetworkReply::requestSent, headersTimer_, qOverload<>(&QTimer::start));
    connect(reply_, &QNetworkReply::metaDataChanged, this, [this, id, reply = reply_] {
        headersTimer_->stop();
        checkSize(id, reply, reply->header(QNetworkRequest::ContentLengthHeader).toLongLong());
    });
    connect(reply_, &QNetworkReply::readyRead, this, [this, id, reply = reply_] {
        if (reply != reply_)
            return;
        page_ += reply->readAll();
        checkSize(id, reply, page_.size());
    });
    return id;
}

void WebClient::handleHttp(quint32 id, QNetworkReply* reply) {
    headersTimer_->stop();
    if (reply_ == reply)
        reply_ = nullptr;
    reply->deleteLater();
    if (ended_)
        return;

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        // No HTTP answer at all: refused, unreachable, unresolvable.
        clientDone(reply);
        return;
    }
    const int code = status.toInt();
    httpStatus = code;
    if (id != indexRequestId && id != syslogRequestId) {
        DiagnosticLog::write("handleHttp() stage error: \n");
        end(CycleEvents::clientDone());
        return;
    }
    const QByteArray path = id == indexRequestId ? indexPath.toByteArray() : syslogPath.toByteArray();
    if (code != 200) {
        const QByteArray reason = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray();
        DiagnosticLog::write("handleHttp() error: status code " + QByteArray::number(code) + " " +
                             logText(reason) + "\nhost_:port_ = " + hostPort() +
                             ", user:password = " + admin + ":" + QByteArray(password.size(), '*') +
                             ", resource_ = \n" + requestHeaderText(path) + "\n");
        end(CycleEvents::clientDone());
        return;
    }

    QByteArray body = std::move(page_);
    page_.clear();
    body += reply->readAll();
    // The controllers' pages come from fixed-size buffers; what follows a zero byte is garbage.
    const qsizetype zero = body.indexOf('\0');
    if (zero >= 0)
        body.truncate(zero);
    if (id == indexRequestId)
        indexPage = body;
    else
        syslogPage = body;

    if (reply->error() != QNetworkReply::NoError) {
        // The answer broke off after its status line: parse what came.
        DiagnosticLog::write(clockText(Clock::now()) + "handleHttp(): http error: \n");
        end(CycleEvents::clientDone());
        return;
    }
    if (id == indexRequestId) {
        syslogRequestId = queue(syslogPath.toByteArray());
        return;
    }
    end(CycleEvents::clientDone());
}

void WebClient::clientDone(QNetworkReply* reply) {
    DiagnosticLog::write("WebClient::clientDone() error: " + reply->errorString().toUtf8() +
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

void WebClient::checkSize(quint32 id, QNetworkReply* reply, qint64 bytes) {
    if (ended_ || reply != reply_ || bytes <= maxPageBytes)
        return;
    refuse(id, "more than " + QByteArray::number(maxPageBytes) + " bytes");
}

void WebClient::refuse(quint32 id, const QByteArray& why) {
    if (ended_)
        return;
    const QByteArrayView path = id == indexRequestId ? indexPath : syslogPath;
    DiagnosticLog::write("WebClient: page too large: host_:port_ = " + hostPort() + ", " +
                         path.toByteArray() + ": " + why + "; the check of this controller ends\n");
    end(CycleEvents::clientFailed());
}

void WebClient::end(QEvent::Type type) {
    if (ended_)
        return;
    ended_ = true;
    if (timer_)
        timer_->stop();
    headersTimer_->stop();
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
        reply_->deleteLater();
        reply_ = nullptr;
    }
    QCoreApplication::postEvent(owner_, new ClientEvent(type, identity()));
}

} // namespace Warden
