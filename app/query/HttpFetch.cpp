#include "HttpFetch.h"

#include <QNetworkProxy>
#include <QTcpSocket>

#include <algorithm>
#include <optional>

namespace Warden {

namespace {
// A chunk-size line is a few hex digits and perhaps an extension; one longer than this is no HTTP.
constexpr qsizetype maxChunkLine = 4096;
// What the socket takes from the system at a time, so that a flood is looked at in small bites and
// never piles up in memory.
constexpr qint64 readBufferBytes = 256 * 1024;

std::optional<qint64> number(QByteArrayView text, int base) {
    bool ok = false;
    const qint64 value = text.trimmed().toLongLong(&ok, base);
    if (!ok || value < 0)
        return std::nullopt;
    return value;
}
} // namespace

HttpFetch::HttpFetch(QByteArray host, quint16 port, QByteArray request, qint64 maxHeaderBytes,
                     qint64 maxBodyBytes, QObject* parent)
    : QObject(parent)
    , host_(std::move(host))
    , port_(port)
    , request_(std::move(request))
    , maxHeaderBytes_(maxHeaderBytes)
    , maxBodyBytes_(maxBodyBytes)
    , socket_(new QTcpSocket(this)) {
    // Controllers sit on the local network; a desktop proxy setting must not route them elsewhere.
    socket_->setProxy(QNetworkProxy::NoProxy);
    socket_->setReadBufferSize(readBufferBytes);
    connect(socket_, &QTcpSocket::connected, this, [this] { socket_->write(request_); });
    connect(socket_, &QTcpSocket::readyRead, this, &HttpFetch::onReadable);
    connect(socket_, &QTcpSocket::disconnected, this, &HttpFetch::onClosed);
    connect(socket_, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error == QAbstractSocket::RemoteHostClosedError) {
            onClosed();
            return;
        }
        error_ = socket_->errorString();
        finish(headDone_ ? Outcome::broken : Outcome::noAnswer);
    });
}

HttpFetch::~HttpFetch() {
    socket_->disconnect(this);
    socket_->abort();
}

void HttpFetch::start() {
    socket_->connectToHost(QString::fromLatin1(host_), port_);
}

void HttpFetch::onReadable() {
    if (outcome_ != Outcome::pending)
        return;
    buffer_ += socket_->readAll();
    while (!headDone_ && outcome_ == Outcome::pending) {
        if (!readHead())
            return;
    }
    if (outcome_ == Outcome::pending)
        readBody();
}

void HttpFetch::onClosed() {
    if (outcome_ != Outcome::pending)
        return;
    onReadable();
    if (outcome_ != Outcome::pending)
        return;
    if (error_.isEmpty())
        error_ = socket_->error() == QAbstractSocket::UnknownSocketError
                     ? QStringLiteral("The remote host closed the connection")
                     : socket_->errorString();
    if (!headDone_)
        finish(Outcome::noAnswer);
    else
        finish(framing_ == Framing::untilClose ? Outcome::complete : Outcome::broken);
}

// Takes one head (status line and headers) off the buffer; false while it has not ended yet.
bool HttpFetch::readHead() {
    const qsizetype crlf = buffer_.indexOf("\r\n\r\n");
    const qsizetype lf = buffer_.indexOf("\n\n");
    qsizetype end = -1;
    qsizetype separator = 0;
    if (crlf >= 0 && (lf < 0 || crlf < lf)) {
        end = crlf;
        separator = 4;
    } else if (lf >= 0) {
        end = lf;
        separator = 2;
    }
    if (end < 0 ? buffer_.size() > maxHeaderBytes_ : end > maxHeaderBytes_) {
        tooLargeWhat_ = "headers of more than " + QByteArray::number(maxHeaderBytes_) + " bytes";
        finish(Outcome::tooLarge);
        return false;
    }
    if (end < 0)
        return false;
    const QByteArray head = buffer_.left(end);
    buffer_.remove(0, end + separator);
    return parseHead(head);
}

bool HttpFetch::parseHead(const QByteArray& head) {
    const QList<QByteArray> lines = head.split('\n');
    const QByteArray statusLine = lines.first().trimmed();
    const QList<QByteArray> parts = statusLine.split(' ');
    const std::optional<qint64> code = number(parts.value(1), 10);
    if (!statusLine.startsWith("HTTP/") || !code || *code < 100 || *code > 999) {
        error_ = QStringLiteral("not an HTTP answer");
        finish(Outcome::noAnswer);
        return false;
    }
    // An interim answer (100 Continue) is followed by the real one.
    if (*code < 200)
        return true;
    status_ = int(*code);
    reason_ = statusLine.mid(statusLine.indexOf(' ', statusLine.indexOf(' ') + 1) + 1);
    if (parts.size() < 3)
        reason_.clear();
    headDone_ = true;
    std::optional<qint64> length;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = lines[i].left(colon).trimmed().toLower();
        const QByteArray value = lines[i].mid(colon + 1).trimmed();
        if (name == "transfer-encoding" && value.toLower().contains("chunked"))
            framing_ = Framing::chunked;
        else if (name == "content-length")
            length = number(value, 10);
    }
    if (status_ == 204 || status_ == 304) {
        finish(Outcome::complete);
        return true;
    }
    if (framing_ == Framing::chunked)
        return true;
    if (length) {
        if (*length > maxBodyBytes_) {
            tooLargeWhat_ = "an announced body of " + QByteArray::number(*length) + " bytes";
            finish(Outcome::tooLarge);
            return true;
        }
        framing_ = Framing::length;
        remaining_ = *length;
        if (remaining_ == 0)
            finish(Outcome::complete);
    }
    return true;
}

void HttpFetch::readBody() {
    switch (framing_) {
    case Framing::untilClose:
        takeBody(buffer_);
        buffer_.clear();
        return;
    case Framing::length: {
        const qsizetype take = qsizetype(std::min<qint64>(remaining_, buffer_.size()));
        takeBody(QByteArrayView(buffer_).first(take));
        buffer_.clear();
        remaining_ -= take;
        if (remaining_ == 0)
            finish(Outcome::complete);
        return;
    }
    case Framing::chunked:
        while (outcome_ == Outcome::pending && readChunks()) {
        }
        return;
    }
}

// One step of a chunked body: a size line or (part of) a chunk's data; false when it needs more bytes.
bool HttpFetch::readChunks() {
    if (inChunkData_) {
        const qsizetype take = qsizetype(std::min<qint64>(remaining_, buffer_.size()));
        takeBody(QByteArrayView(buffer_).first(take));
        buffer_.remove(0, take);
        remaining_ -= take;
        if (remaining_ == 0)
            inChunkData_ = false;
        return take > 0;
    }
    // The line end after the previous chunk's data comes first.
    qsizetype start = 0;
    while (start < buffer_.size() && (buffer_[start] == '\r' || buffer_[start] == '\n'))
        ++start;
    const qsizetype end = buffer_.indexOf('\n', start);
    if (end < 0) {
        if (buffer_.size() - start > maxChunkLine) {
            error_ = QStringLiteral("a chunk size line without end");
            finish(Outcome::broken);
        }
        return false;
    }
    QByteArrayView line = QByteArrayView(buffer_).sliced(start, end - start);
    if (const qsizetype extension = line.indexOf(';'); extension >= 0)
        line = line.first(extension);
    const std::optional<qint64> size = number(line, 16);
    buffer_.remove(0, end + 1);
    if (!size) {
        error_ = QStringLiteral("a chunk size that is no number");
        finish(Outcome::broken);
        return false;
    }
    if (*size == 0) {
        // Trailers, if any, say nothing the pages need.
        finish(Outcome::complete);
        return false;
    }
    if (*size > maxBodyBytes_ - body_.size()) {
        tooLargeWhat_ = "more than " + QByteArray::number(maxBodyBytes_) + " bytes of body";
        finish(Outcome::tooLarge);
        return false;
    }
    remaining_ = *size;
    inChunkData_ = true;
    return true;
}

void HttpFetch::takeBody(QByteArrayView bytes) {
    if (outcome_ != Outcome::pending)
        return;
    if (body_.size() + bytes.size() > maxBodyBytes_) {
        tooLargeWhat_ = "more than " + QByteArray::number(maxBodyBytes_) + " bytes of body";
        finish(Outcome::tooLarge);
        return;
    }
    body_ += bytes;
}

void HttpFetch::finish(Outcome outcome) {
    if (outcome_ != Outcome::pending)
        return;
    outcome_ = outcome;
    buffer_.clear();
    socket_->disconnect(this);
    socket_->abort();
    emit finished();
}

} // namespace Warden
