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
        socketError_ = error;
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
    take(socket_->readAll());
}

void HttpFetch::take(const QByteArray& bytes) {
    received_ += bytes.size();
    // Chunk framing adds to the body's bytes, but not half as much again with chunks of any sensible
    // size: past this the peer only floods (one-byte chunks, line ends without end).
    const qint64 maxAnswerBytes = maxHeaderBytes_ + maxBodyBytes_ + maxBodyBytes_ / 2;
    if (received_ > maxAnswerBytes) {
        tooLarge("an answer of more than " + QByteArray::number(maxAnswerBytes) + " bytes");
        return;
    }
    buffer_.remove(0, taken_);
    lineScan_ -= taken_;
    taken_ = 0;
    buffer_ += bytes;
    while (!headDone_ && outcome_ == Outcome::pending) {
        if (!readHeadLine())
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

// Takes one line of a head off the buffer; false when it needs more bytes or the answer has ended.
bool HttpFetch::readHeadLine() {
    const qsizetype end = buffer_.indexOf('\n', std::max(lineScan_, taken_));
    if (end < 0) {
        lineScan_ = buffer_.size();
        if (headBytes_ + (buffer_.size() - taken_) > maxHeaderBytes_)
            tooLarge("headers of more than " + QByteArray::number(maxHeaderBytes_) + " bytes");
        return false;
    }
    headBytes_ += end + 1 - taken_;
    if (headBytes_ > maxHeaderBytes_) {
        tooLarge("headers of more than " + QByteArray::number(maxHeaderBytes_) + " bytes");
        return false;
    }
    QByteArrayView line = QByteArrayView(buffer_).sliced(taken_, end - taken_);
    if (line.endsWith('\r'))
        line.chop(1);
    taken_ = end + 1;
    lineScan_ = taken_;
    return headLine(line);
}

bool HttpFetch::headLine(QByteArrayView line) {
    if (headStatus_ == 0)
        return statusLine(line);
    if (!line.isEmpty()) {
        headerLine(line);
        return true;
    }
    // An interim answer (100 Continue) is followed by the real one; its bytes count to the cap.
    if (headStatus_ < 200) {
        headStatus_ = 0;
        return true;
    }
    endOfHead();
    return true;
}

bool HttpFetch::statusLine(QByteArrayView line) {
    const QByteArray text = line.trimmed().toByteArray();
    const QList<QByteArray> parts = text.split(' ');
    const std::optional<qint64> code = number(parts.value(1), 10);
    if (!text.startsWith("HTTP/") || !code || *code < 100 || *code > 999) {
        error_ = QStringLiteral("not an HTTP answer");
        finish(Outcome::noAnswer);
        return false;
    }
    headStatus_ = int(*code);
    if (headStatus_ >= 200)
        reason_ = parts.size() < 3 ? QByteArray() : text.mid(text.indexOf(' ', text.indexOf(' ') + 1) + 1);
    return true;
}

void HttpFetch::headerLine(QByteArrayView line) {
    // The headers of an interim answer say nothing about the real one.
    if (headStatus_ < 200)
        return;
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0)
        return;
    const QByteArray name = line.first(colon).trimmed().toByteArray().toLower();
    const QByteArrayView value = line.sliced(colon + 1).trimmed();
    if (name == "transfer-encoding" && value.toByteArray().toLower().contains("chunked"))
        framing_ = Framing::chunked;
    else if (name == "content-length")
        announcedLength_ = number(value, 10);
}

void HttpFetch::endOfHead() {
    status_ = headStatus_;
    headDone_ = true;
    if (status_ == 204 || status_ == 304) {
        finish(Outcome::complete);
        return;
    }
    if (framing_ == Framing::chunked || !announcedLength_)
        return;
    if (*announcedLength_ > maxBodyBytes_) {
        tooLarge("an announced body of " + QByteArray::number(*announcedLength_) + " bytes");
        return;
    }
    framing_ = Framing::length;
    remaining_ = *announcedLength_;
    if (remaining_ == 0)
        finish(Outcome::complete);
}

void HttpFetch::readBody() {
    const QByteArrayView rest = QByteArrayView(buffer_).sliced(taken_);
    switch (framing_) {
    case Framing::untilClose:
        takeBody(rest);
        taken_ = buffer_.size();
        return;
    case Framing::length: {
        // What follows the announced length belongs to no answer.
        const qsizetype take = qsizetype(std::min<qint64>(remaining_, rest.size()));
        takeBody(rest.first(take));
        taken_ = buffer_.size();
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
        const qsizetype take = qsizetype(std::min<qint64>(remaining_, buffer_.size() - taken_));
        takeBody(QByteArrayView(buffer_).sliced(taken_, take));
        taken_ += take;
        remaining_ -= take;
        if (remaining_ == 0)
            inChunkData_ = false;
        return take > 0;
    }
    // The line end after the previous chunk's data comes first.
    while (taken_ < buffer_.size() && (buffer_[taken_] == '\r' || buffer_[taken_] == '\n'))
        ++taken_;
    const qsizetype end = buffer_.indexOf('\n', taken_);
    if (end < 0) {
        if (buffer_.size() - taken_ > maxChunkLine) {
            error_ = QStringLiteral("a chunk size line without end");
            finish(Outcome::broken);
        }
        return false;
    }
    QByteArrayView line = QByteArrayView(buffer_).sliced(taken_, end - taken_);
    if (const qsizetype extension = line.indexOf(';'); extension >= 0)
        line = line.first(extension);
    const std::optional<qint64> size = number(line, 16);
    taken_ = end + 1;
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
        tooLarge("more than " + QByteArray::number(maxBodyBytes_) + " bytes of body");
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
        tooLarge("more than " + QByteArray::number(maxBodyBytes_) + " bytes of body");
        return;
    }
    body_ += bytes;
}

void HttpFetch::tooLarge(QByteArray what) {
    tooLargeWhat_ = std::move(what);
    finish(Outcome::tooLarge);
}

void HttpFetch::finish(Outcome outcome) {
    if (outcome_ != Outcome::pending)
        return;
    outcome_ = outcome;
    buffer_.clear();
    taken_ = 0;
    lineScan_ = 0;
    socket_->disconnect(this);
    socket_->abort();
    emit finished();
}

} // namespace Warden
