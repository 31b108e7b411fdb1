#pragma once

#include "core/Event.h"
#include "core/ThrottledLog.h"

#include <QByteArray>
#include <QObject>
#include <QSet>

#include <map>

class QHostAddress;
class QHostInfo;
class QTimer;
class QUdpSocket;
struct sockaddr_storage;

namespace Warden {

// Turns the syslog datagrams that controllers push into events. Nothing of the syslog format is
// parsed: the whole datagram, priority field and timestamp included, is the event's raw text.
// Lives on the main thread, which owns the state and the event store.
class SyslogReceiver final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SyslogReceiver)

public:
    static constexpr quint16 defaultPort = 514;
    // Asked of the kernel so that a burst of datagrams waits in the socket instead of being dropped
    // while the main thread is busy.
    static constexpr int receiveBufferBytes = 8 * 1024 * 1024;
    static constexpr int datagramsPerNotification = 256;

    explicit SyslogReceiver(QObject* parent = nullptr);

    // Binds every local address, IPv4 and IPv6, at `port` (0: the system picks one). A failure is
    // logged and leaves the receiver without datagrams; the program runs on.
    bool bind(quint16 port = defaultPort);
    quint16 port() const;
    // readyRead() of this socket is what calls syslogMessage().
    QUdpSocket* socket() const { return socket_; }

    // The sender's address as the controllers' host texts are written: dotted decimal for IPv4, also
    // when a dual-stack socket reports it as an IPv4-mapped IPv6 address.
    static QByteArray senderText(const QHostAddress& address);
    static QByteArray senderText(const sockaddr_storage& address);
    static Business::EventKind classify(const QByteArray& message);
    // Stores the datagram as an event of the first controller whose host equals `sender` or, for a
    // host given by name, resolved to it; otherwise logs it as coming from an unknown host.
    void handleDatagram(const QByteArray& sender, const QByteArray& message);

    // Controllers given by a host name send from an address: the names are looked up in the
    // background, now (the settings were loaded or changed) and again every few minutes, as long as
    // the receiver lives. A failed lookup keeps what the name resolved to before.
    static constexpr int resolveIntervalMs = 5 * 60 * 1000;
    void resolveHosts();
    bool resolving() const { return lookups_ > 0; }

    // Anyone can send datagrams: so many lines about unknown hosts per window reach app.log, the
    // rest are counted in one line when the window ends.
    static constexpr int unknownHostLines = 10;
    static constexpr int unknownHostWindowMs = 10000;
    void setUnknownHostWindow(int milliseconds) { unknownHosts_.setWindow(milliseconds); }

public slots:
    // Reads and handles the pending datagrams.
    void syslogMessage();

private:
    static constexpr int batchSize = 32;
    static constexpr qsizetype maxDatagram = 65536;
    void handleRead(const QByteArray& sender, const char* data, qint64 size);

    QUdpSocket* socket_;
    QByteArray buffer_;
    QByteArray batch_; // batchSize datagrams of up to maxDatagram bytes
    ThrottledLog unknownHosts_;

    void resolved(const QByteArray& host, const QHostInfo& info);
    bool resolvesTo(const QByteArray& host, const QByteArray& sender) const;

    // Host name -> the sender texts of its addresses.
    std::map<QByteArray, QSet<QByteArray>> addresses_;
    QSet<QByteArray> resolvedSenders_; // all of them together
    QTimer* resolveTimer_ = nullptr;
    int lookups_ = 0;
};

} // namespace Warden
