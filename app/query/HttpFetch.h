#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QObject>
#include <QString>

#include <optional>

class QTcpSocket;

namespace Warden {

// One HTTP/1.1 GET on a connection of its own ("Connection: close"), read as it comes with a cap on
// the headers (interim answers included), one on the body and one on all bytes of the answer. Every
// byte is looked at once: the headers are taken a line at a time as they arrive, never searched again
// from their start, so a peer sending headers or interim answers without end costs linear time and is
// cut at the header cap. The socket hands over at most its read buffer per readyRead, which bounds
// the work of one pass; the event loop serves the other connections between passes.
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
        tooLarge, // headers, body or the answer as a whole past their cap
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
    // The socket's failure, when one ended the fetch.
    std::optional<QAbstractSocket::SocketError> socketError() const { return socketError_; }
    // What was wrong with a tooLarge answer.
    const QByteArray& tooLargeWhat() const { return tooLargeWhat_; }

signals:
    void finished();

private:
    enum class Framing { untilClose, length, chunked };

    void onReadable();
    void onClosed();
    void take(const QByteArray& bytes);
    bool readHeadLine();
    bool headLine(QByteArrayView line);
    bool statusLine(QByteArrayView line);
    void headerLine(QByteArrayView line);
    void endOfHead();
    void readBody();
    bool readChunks();
    void takeBody(QByteArrayView bytes);
    void tooLarge(QByteArray what);
    void finish(Outcome outcome);

    const QByteArray host_;
    const quint16 port_;
    const QByteArray request_;
    const qint64 maxHeaderBytes_;
    const qint64 maxBodyBytes_;
    QTcpSocket* socket_;
    // Bytes received and not yet dropped; those before `taken_` are dealt with. Dropped once per read,
    // not per line or chunk, so that a flood of tiny pieces does not move the rest again and again.
    QByteArray buffer_;
    qsizetype taken_ = 0;
    // Where the search for the current head line's end goes on.
    qsizetype lineScan_ = 0;
    qint64 received_ = 0;
    qint64 headBytes_ = 0;
    // The status of the head being read; 0 before its status line.
    int headStatus_ = 0;
    bool headDone_ = false;
    Framing framing_ = Framing::untilClose;
    std::optional<qint64> announcedLength_;
    qint64 remaining_ = 0; // of the body (length) or of the current chunk
    bool inChunkData_ = false;
    int status_ = 0;
    QByteArray reason_;
    QByteArray body_;
    QString error_;
    std::optional<QAbstractSocket::SocketError> socketError_;
    QByteArray tooLargeWhat_;
    Outcome outcome_ = Outcome::pending;
};

} // namespace Warden
