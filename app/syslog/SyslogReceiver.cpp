#include "SyslogReceiver.h"

#include "core/Application.h"
#include "core/Clock.h"
#include "core/DiagnosticLog.h"
#include "core/LogText.h"
#include "core/MetricsRegistry.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkProxy>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>

namespace Warden {

using Business::Application;
using Business::EventKind;

SyslogReceiver::SyslogReceiver(QObject* parent)
    : QObject(parent)
    , socket_(new QUdpSocket(this))
    , buffer_(maxDatagram, Qt::Uninitialized)
    , batch_(qsizetype(batchSize) * maxDatagram, Qt::Uninitialized)
    , unknownHosts_(unknownHostLines, unknownHostWindowMs, "datagrams from unknown hosts") {
}

bool SyslogReceiver::bind(quint16 port) {
    // A listening socket has no business with the system proxy; asking for it would also start
    // libproxy's lookup thread.
    socket_->setProxy(QNetworkProxy::NoProxy);
    // Not shared: with address reuse a second program could bind the same port and take part of the
    // datagrams without either side noticing.
    if (!socket_->bind(QHostAddress::Any, port, QAbstractSocket::DontShareAddress)) {
        DiagnosticLog::writeTimed("Syslog server will not work: maybe 514 udp port is opened by another "
                                  "application,\n    or you have no rights to listen on 514 udp port\n");
        return false;
    }
    // Root or CAP_NET_ADMIN may go past net.core.rmem_max; everyone else gets what that limit allows.
    int bytes = receiveBufferBytes;
    if (::setsockopt(static_cast<int>(socket_->socketDescriptor()), SOL_SOCKET, SO_RCVBUFFORCE, &bytes,
                     sizeof bytes) != 0)
        socket_->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption,
                                 QVariant(receiveBufferBytes));
    return true;
}

quint16 SyslogReceiver::port() const {
    return socket_->localPort();
}

QByteArray SyslogReceiver::senderText(const QHostAddress& address) {
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped)
        return QHostAddress(v4).toString().toLatin1();
    return address.toString().toLatin1();
}

EventKind SyslogReceiver::classify(const QByteArray& message) {
    if (!message.contains("authentication"))
        return EventKind::unknown;
    if (message.contains("Successful"))
        return EventKind::login_success;
    if (message.contains("Failed"))
        return EventKind::login_failure;
    return EventKind::unknown;
}

void SyslogReceiver::handleDatagram(const QByteArray& sender, const QByteArray& message) {
    const Business::Time now = Clock::now();
    Business::Controller* owner = nullptr;
    for (Business::Controller& controller : Application::controllers) {
        if (controller.host == sender) {
            owner = &controller;
            break;
        }
    }
    // Only senders that some configured name resolved to are worth a second walk: a flood from
    // unknown hosts must not cost a lookup per controller and datagram.
    if (!owner && resolvedSenders_.contains(sender)) {
        for (Business::Controller& controller : Application::controllers) {
            if (resolvesTo(controller.host, sender)) {
                owner = &controller;
                break;
            }
        }
    }
    MetricsRegistry::instance().countDatagram(owner != nullptr);
    if (!owner) {
        if (unknownHosts_.admit())
            DiagnosticLog::write("Syslog message from unknown host: " + sender + ": " +
                                 QByteArray::number(message.size()) + " bytes: " + logText(message) + "\n");
        return;
    }
    Application::addEvent(QByteArray(), now, owner, classify(message), Business::Transport::syslog,
                          QByteArray(), message);
}

QByteArray SyslogReceiver::senderText(const sockaddr_storage& address) {
    // IPv4 senders come to the dual-stack socket as IPv4-mapped addresses; their text is made here
    // directly, as that is what nearly every datagram needs and it runs once per datagram.
    const void* v4 = nullptr;
    if (address.ss_family == AF_INET) {
        v4 = &reinterpret_cast<const sockaddr_in&>(address).sin_addr;
    } else if (address.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&in6))
            v4 = &in6.s6_addr[12];
    }
    char text[INET_ADDRSTRLEN];
    if (v4 && ::inet_ntop(AF_INET, v4, text, sizeof text))
        return QByteArray(text);
    return senderText(QHostAddress(reinterpret_cast<const sockaddr*>(&address)));
}

void SyslogReceiver::handleRead(const QByteArray& sender, const char* data, qint64 size) {
    if (size <= 0) {
        // An empty datagram is taken off the queue all the same, or it would hold back every later
        // one.
        DiagnosticLog::write("Received syslog message " + QByteArray::number(size) + " bytes in size\n");
        return;
    }
    handleDatagram(sender, QByteArray(data, size));
}

void SyslogReceiver::resolveHosts() {
    if (!resolveTimer_) {
        resolveTimer_ = new QTimer(this);
        connect(resolveTimer_, &QTimer::timeout, this, &SyslogReceiver::resolveHosts);
    }
    resolveTimer_->start(resolveIntervalMs);
    std::map<QByteArray, QSet<QByteArray>> kept;
    for (const Business::Controller& controller : Application::controllers) {
        const QByteArray& host = controller.host;
        // An address is matched as written; only names need a lookup.
        if (host.isEmpty() || kept.count(host) || !QHostAddress(QString::fromLatin1(host)).isNull())
            continue;
        const auto known = addresses_.find(host);
        kept[host] = known == addresses_.end() ? QSet<QByteArray>() : known->second;
        ++lookups_;
        QHostInfo::lookupHost(QString::fromLatin1(host), this,
                              [this, host](const QHostInfo& info) { resolved(host, info); });
    }
    addresses_ = std::move(kept);
}

void SyslogReceiver::resolved(const QByteArray& host, const QHostInfo& info) {
    --lookups_;
    const auto entry = addresses_.find(host);
    // A name no longer configured, or a lookup that failed (the name server away for a moment).
    if (entry == addresses_.end() || info.error() != QHostInfo::NoError || info.addresses().isEmpty())
        return;
    QSet<QByteArray> texts;
    for (const QHostAddress& address : info.addresses())
        texts.insert(senderText(address));
    entry->second = std::move(texts);
    resolvedSenders_.clear();
    for (const auto& [name, senders] : addresses_)
        resolvedSenders_.unite(senders);
}

bool SyslogReceiver::resolvesTo(const QByteArray& host, const QByteArray& sender) const {
    const auto entry = addresses_.find(host);
    return entry != addresses_.end() && entry->second.contains(sender);
}

void SyslogReceiver::syslogMessage() {
    if (!socket_->hasPendingDatagrams()) {
        DiagnosticLog::write("Ampwarden::syslogMessage(): readyRead() signal received but there are no "
                             "pending datagrams\n");
        return;
    }
    // The first datagram goes through the socket object, which arms its next notification; the buffer
    // holds the largest datagram there is, so nothing is cut off and the size need not be asked for
    // first.
    QHostAddress first;
    const qint64 size = socket_->readDatagram(buffer_.data(), buffer_.size(), &first);
    handleRead(senderText(first), buffer_.constData(), size);
    if (size < 0)
        return;
    // The rest of a burst in batches straight from the descriptor: one system call for many datagrams,
    // so a flood from anywhere costs the main thread as little as it can. Bounded, so a flood cannot
    // keep the main thread from everything else; the socket notifies again while datagrams remain.
    const int fd = static_cast<int>(socket_->socketDescriptor());
    std::array<sockaddr_storage, batchSize> senders;
    std::array<iovec, batchSize> vectors;
    std::array<mmsghdr, batchSize> messages;
    for (int handled = 1; handled < datagramsPerNotification;) {
        const int want = std::min(batchSize, datagramsPerNotification - handled);
        for (int k = 0; k < want; ++k) {
            vectors[k] = {batch_.data() + qsizetype(k) * maxDatagram, size_t(maxDatagram)};
            messages[k] = {};
            messages[k].msg_hdr.msg_name = &senders[k];
            messages[k].msg_hdr.msg_namelen = sizeof senders[k];
            messages[k].msg_hdr.msg_iov = &vectors[k];
            messages[k].msg_hdr.msg_iovlen = 1;
        }
        const int n = ::recvmmsg(fd, messages.data(), unsigned(want), MSG_DONTWAIT, nullptr);
        if (n <= 0)
            return;
        for (int k = 0; k < n; ++k) {
            handleRead(senderText(senders[k]), static_cast<const char*>(vectors[k].iov_base),
                       messages[k].msg_len);
        }
        handled += n;
        if (n < want)
            return;
    }
}

} // namespace Warden
