#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QObject>
#include <QString>

class QTcpSocket;

namespace Warden {

// One HTTP/1.1 GET on a connection of its own ("Connection: close"), read as it comes with a cap on
// the headers and one on the body. Qt's own client reads headers a byte at a time without a bound:
// a peer sending headers without end kept it busy, and every other controller's answer waiting,
// until a deadline cut it. Here such a peer is cut at the header cap, within a few milliseconds.
// The owner bounds the time; finished() comes once, unless the owner deletes the fetch first.
class HttpFetch final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HttpFetch)

public:
    enum class Outcome {
        pending,
        complete, // status, headers and the whole body
        broken,   // a status line came, then the connection failed or closed early: body as far as read
        noAnswer, // no status line: refused, unreachable, closed, or not HTTP
        tooLarge, // headers or body past their cap
    };

    HttpFetch(QByteArray host, quint16 port, QByteArray request, qint64 maxHeaderBytes, qint64 maxBodyBytes,
              QObject* parent = nullptr);
    ~HttpFetch() override;

    void start();

    Outcome outcome() const { return outcome_; }
    int status() const { return status_; }
    const QByteArray& reasonPhrase() const { return reason_; }
    const QByteArray& body() const { return body_; }
    // Why there was no (whole) answer, in the socket's words.
    const QString& errorText() const { return error_; }
    // What was wrong with a tooLarge answer.
    const QByteArray& tooLargeWhat() const { return tooLargeWhat_; }

signals:
    void finished();

private:
    enum class Framing { untilClose, length, chunked };

    void onReadable();
    void onClosed();
    bool readHead();
    bool parseHead(const QByteArray& head);
    void readBody();
    bool readChunks();
    void takeBody(QByteArrayView bytes);
    void finish(Outcome outcome);

    const QByteArray host_;
    const quint16 port_;
    const QByteArray request_;
    const qint64 maxHeaderBytes_;
    const qint64 maxBodyBytes_;
    QTcpSocket* socket_;
    QByteArray buffer_;
    bool headDone_ = false;
    Framing framing_ = Framing::untilClose;
    qint64 remaining_ = 0; // of the body (length) or of the current chunk, with its line end
    bool inChunkData_ = false;
    int status_ = 0;
    QByteArray reason_;
    QByteArray body_;
    QString error_;
    QByteArray tooLargeWhat_;
    Outcome outcome_ = Outcome::pending;
};

} // namespace Warden
