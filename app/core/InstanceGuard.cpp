#include "InstanceGuard.h"

#include <QTcpSocket>

#include <cstring>

namespace Warden {

InstanceGuard::InstanceGuard(const QString& key)
    : segment_(key) {
}

void InstanceGuard::removeStaleSegment() {
    QSharedMemory probe(segment_.key());
    if (probe.attach())
        probe.detach();
}

bool InstanceGuard::wakeRunningInstance(Failure* failure, int connectTimeoutMs) {
    if (!segment_.attach())
        return false;
    if (!segment_.lock()) {
        *failure = {QStringLiteral("Bye: lock() error (1)"), segment_.errorString()};
        return true;
    }
    if (!segment_.data()) {
        *failure = {QStringLiteral("Bye: data() error (1)"), segment_.errorString()};
    } else {
        quint16 port = 0;
        std::memcpy(&port, segment_.constData(), sizeof port);
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("localhost"), port);
        if (!socket.waitForConnected(connectTimeoutMs))
            *failure = {QStringLiteral("Bye!"), QStringLiteral("connectToHost() error")};
        socket.close();
    }
    segment_.unlock();
    return true;
}

bool InstanceGuard::publish(quint16 port, Failure* failure) {
    if (!segment_.create(sizeof port, QSharedMemory::ReadWrite)) {
        *failure = {QStringLiteral("Bye: create() error (1)"), segment_.errorString()};
        return false;
    }
    if (!segment_.lock()) {
        *failure = {QStringLiteral("Bye: lock() error (2)"), segment_.errorString()};
        return false;
    }
    if (!segment_.data()) {
        segment_.unlock();
        *failure = {};
        return false;
    }
    std::memcpy(segment_.data(), &port, sizeof port);
    if (!segment_.unlock()) {
        *failure = {};
        return false;
    }
    return true;
}

} // namespace Warden
