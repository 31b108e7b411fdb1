#include "SyslogReceiver.h"

#include "core/Application.h"
#include "core/Clock.h"
#include "core/DiagnosticLog.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkProxy>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>

#include <sys/socket.h>

namespace Warden {

using Business::Application;
using Business::EventKind;

SyslogReceiver::SyslogReceiver(QObject* parent)
    : QObject(parent)
    , socket_(new QUdpSocket(this))
    , buffer_(65536, Qt::Uninitialized) {
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
        if (controller.host == sender || resolvesTo(controller.host, sender)) {
            owner = &controller;
            break;
        }
    }
    if (!owner) {
        DiagnosticLog::write("Syslog message from unknown host: " + sender + ": " +
                             QByteArray::number(message.size()) + " bytes: " + message + "\n");
        return;
    }
    Application::addEvent(QByteArray(), now, owner, classify(message), Business::Transport::syslog,
                          QByteArray(), message);
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
    // Several datagrams per notification, so a burst costs one pass of the event loop per batch rather
    // than per datagram; bounded, so a flood cannot keep the main thread from everything else. The
    // socket notifies again while datagrams remain.
    for (int i = 0; i < datagramsPerNotification && socket_->hasPendingDatagrams(); ++i) {
        QHostAddress sender;
        // The buffer holds the largest datagram there is, so nothing is cut off and the size need not
        // be asked for first.
        const qint64 size = socket_->readDatagram(buffer_.data(), buffer_.size(), &sender);
        if (size <= 0) {
            // An empty datagram is taken off the queue all the same, or it would hold back every
            // later one.
            DiagnosticLog::write("Received syslog message " + QByteArray::number(size) + " bytes in size\n");
            if (size < 0)
                return;
            continue;
        }
        handleDatagram(senderText(sender), QByteArray(buffer_.constData(), size));
    }
}

} // namespace Warden
