#pragma once

#include <QByteArray>
#include <QEvent>
#include <QObject>

#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

namespace Warden {

// Fetches one controller's "/index.htm" and then its "/syslog.htm" with Basic authentication, and
// tells its owner once, with a ClientEvent posted to it, that it has ended: clientDone when the pages
// (or as much of them as came) can be parsed, clientFailed when the controller could not be reached
// or did not finish in time. Lives on the main thread; the owner deletes it after the event.
class WebClient final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WebClient)

public:
    static constexpr int defaultTimeoutMs = 25000;
    // The most one answer may bring, headers and body: a controller's pages are a few KiB, and a broken
    // or hostile one must not fill the memory (an endless body, a header without end).
    static constexpr qint64 maxPageBytes = 4 * 1024 * 1024;
    static constexpr qint64 readBufferBytes = 256 * 1024;
    // Qt parses an answer's headers a byte at a time and tells nothing before their end, so their size
    // cannot be watched; a time bound stands in for it. A controller sends its few header lines at
    // once; at Qt's pace this bound admits a few MiB at most.
    static constexpr int headersTimeoutMs = 5000;

    WebClient(QNetworkAccessManager* manager, QObject* owner, int index, QByteArray host, quint16 port,
              QByteArray admin, QByteArray password, int timeoutMs = defaultTimeoutMs);
    ~WebClient() override;

    // Queues the requests and starts the deadline.
    void start();

    bool ended() const { return ended_; }
    quint64 identity() const { return reinterpret_cast<quintptr>(this); }

    QByteArray indexPage;
    QByteArray syslogPage;
    const int index;
    const QByteArray host;
    const quint16 port;
    const QByteArray admin;
    const QByteArray password;
    // The HTTP status of the last answer; 0 before any or when none came.
    int httpStatus = 0;
    quint32 hostRequestId = 0;
    quint32 indexRequestId = 0;
    quint32 syslogRequestId = 0;

private:
    void handleHttp(quint32 id, QNetworkReply* reply);
    void clientDone(QNetworkReply* reply);
    void requestTimeout();
    void checkSize(quint32 id, QNetworkReply* reply, qint64 bytes);
    void refuse(quint32 id, const QByteArray& why);

    quint32 queue(const QByteArray& path);
    QByteArray requestHeaderText(const QByteArray& path) const;
    QByteArray hostPort() const;
    void end(QEvent::Type type);

    QNetworkAccessManager* manager_;
    QObject* owner_;
    std::unique_ptr<QTimer> timer_;
    QTimer* headersTimer_;
    QNetworkReply* reply_ = nullptr;
    // What the current reply has brought so far.
    QByteArray page_;
    quint32 nextId_ = 1;
    int timeoutMs_;
    bool ended_ = false;
};

} // namespace Warden
