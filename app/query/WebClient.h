#pragma once

#include "core/CheckFailure.h"
#include "core/Records.h"

#include <QByteArray>
#include <QEvent>
#include <QObject>

#include <memory>

class QTimer;

namespace Warden {

class HttpFetch;

// Fetches one controller's "/index.htm" and then its "/syslog.htm" with Basic authentication, and
// tells its owner once, with a ClientEvent posted to it, that it has ended: clientDone when the pages
// (or as much of them as came) can be parsed, clientFailed when the controller could not be reached,
// did not finish in time or sent more than any page. Lives on the main thread; the owner deletes it
// after the event.
class WebClient final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WebClient)

public:
    // Both pages, from the connection to the last byte. A controller may take its time before it
    // answers at all (a busy or slow device); within this bound it is read, whatever it does.
    static constexpr int defaultTimeoutMs = 25000;
    // The most one answer may bring: a controller's pages are a few KiB and their headers a few
    // lines; a broken or hostile one must not fill the memory or keep the main thread reading.
    static constexpr qint64 maxPageBytes = 4 * 1024 * 1024;
    static constexpr qint64 maxHeaderBytes = 64 * 1024;

    WebClient(QObject* owner, Business::ControllerId controllerId, QByteArray address, quint16 httpPort,
              QByteArray adminName, QByteArray adminPassword, int timeoutMs = defaultTimeoutMs);
    ~WebClient() override;

    // Sends the first request and starts the deadline.
    void start();

    bool ended() const { return ended_; }
    quint64 identity() const { return reinterpret_cast<quintptr>(this); }

    QByteArray indexPage;
    QByteArray syslogPage;
    const Business::ControllerId controller;
    const QByteArray host;
    const quint16 port;
    const QByteArray admin;
    const QByteArray password;
    // The HTTP status of the last answer; 0 before any or when none came.
    int httpStatus = 0;
    // Why the client ended without both pages; none when they came whole. A failure of a client that
    // ends with clientDone counts only when the pages hold no clock.
    Business::CheckFailure failure;
    quint32 hostRequestId = 0;
    quint32 indexRequestId = 0;
    quint32 syslogRequestId = 0;

private:
    void handleHttp(quint32 id);
    void clientDone(const HttpFetch& fetch);
    void requestTimeout();
    void tooLarge(quint32 id, const HttpFetch& fetch);
    // Where the failure lines of app.log name the controller.
    QByteArray where() const;

    void queue(QByteArrayView path, quint32& requestId);
    QByteArray requestText(QByteArrayView path, const QByteArray& credentials) const;
    QByteArray hostPort() const;
    void end(QEvent::Type type);

    QObject* owner_;
    std::unique_ptr<QTimer> timer_;
    std::unique_ptr<HttpFetch> fetch_;
    quint32 nextId_ = 1;
    int timeoutMs_;
    bool ended_ = false;
};

} // namespace Warden
