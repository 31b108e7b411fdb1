#include "SyslogReceiver.h"

#include "core/Application.h"
#include "core/Clock.h"
#include "core/DiagnosticLog.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QUdpSocket>
#include <QVariant>

namespace Warden {

using Business::Application;
using Business::EventKind;

SyslogReceiver::SyslogReceiver(QObject* parent)
    : QObject(parent)
    , socket_(new QUdpSocket(this)) {
}

bool SyslogReceiver::bind(quint16 port) {
    // A listening socket has no business with the system proxy; asking for it would also start
    // libproxy's lookup thread.
    socket_->setProxy(QNetworkProxy::NoProxy);
    // Not shared: with address reuse a second program could bind the same port and take part of the
    // datagrams without either side noticing.
    if (!socket_->bind(QHostAddress::Any, port, QAbstractSocket::DontShareAddress)) {
        DiagnosticLog::writeTimed("Syslog server will not work: may be 514 udp port is opened by another "
                                  "application,\n    or your have not rights to listen 514 udp port\n");
        return false;
    }
    socket_->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, QVariant(receiveBufferBytes));
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
    if (!owner) {
        DiagnosticLog::write("Syslog message from unknown host: " + sender + ": " +
                             QByteArray::number(message.size()) + " bytes: " + message + "\n");
        return;
    }
    Application::addEvent(QByteArray(), now, owner, classify(message), Business::Transport::syslog,
                          QByteArray(), message);
}

void SyslogReceiver::syslogMessage() {
    if (!socket_->hasPendingDatagrams()) {
        DiagnosticLog::write("Ampwarden::syslogMessage(): readyRead() signal received but there are no "
                             "pending datagrams\n");
        return;
    }
    // Every pending datagram is read here: the socket announces new datagrams only after the pending
    // ones have been read, so one left behind would hold back all that follow.
    while (socket_->hasPendingDatagrams()) {
        const qint64 size = socket_->pendingDatagramSize();
        if (size <= 0) {
            DiagnosticLog::write("Received syslog message " + QByteArray::number(size) + " bytes in size\n");
            // Taken off the queue all the same, or it would block every later datagram.
            socket_->readDatagram(nullptr, 0);
            if (size < 0)
                return;
            continue;
        }
        QByteArray message(size, Qt::Uninitialized);
        QHostAddress sender;
        const qint64 read = socket_->readDatagram(message.data(), size, &sender);
        if (read < 0)
            return;
        message.truncate(read);
        handleDatagram(senderText(sender), message);
    }
}

} // namespace Warden
