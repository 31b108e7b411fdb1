#include "SyslogReceiver.h"

#include "SyslogReader.h"
#include "core/Application.h"
#include "core/Clock.h"
#include "core/DiagnosticLog.h"
#include "core/LogText.h"
#include "core/MetricsRegistry.h"
#include "core/ThreadHandoff.h"

#include <QCoreApplication>
#include <QEvent>
#include <QHostAddress>
#include <QHostInfo>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <unistd.h>

#include <cerrno>
#include <limits>

namespace Warden {

using Business::Application;
using Business::EventKind;

namespace {

QEvent::Type datagramsWaiting() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

} // namespace

SyslogReceiver::SyslogReceiver(Business::Application& app, QObject* parent)
    : QObject(parent)
    , app_(app)
    , unknownHosts_(unknownHostLines, unknownHostWindowMs, "datagrams from unknown hosts")
    , budget_(controllerDatagramsPerSecond, overBudgetWindowMs)
    , lossTimer_(new QTimer(this))
    , maxWaitingBytes_(SyslogReader::maxWaitingBytes) {
    lossTimer_->setSingleShot(true);
    connect(lossTimer_, &QTimer::timeout, this, [this] {
        if (lostInSystem_ > 0 || lostWaiting_ > 0) {
            writeLosses();
            lossTimer_->start(lossWindowMs_);
        }
    });
    connect(&app_, &Application::controllerAdded, this, &SyslogReceiver::resolveSoon);
    connect(&app_, &Application::controllerChanged, this, &SyslogReceiver::resolveSoon);
    connect(&app_, &Application::controllerRemoved, this, &SyslogReceiver::resolveSoon);
}

SyslogReceiver::~SyslogReceiver() {
    // Joined first: no notification may be posted to a receiver that is going. Handling what still
    // waits could take seconds, which the program's stop does not have; it is counted as lost.
    if (reader_) {
        reader_->stop();
        const SyslogReader::Taken rest = reader_->take(std::numeric_limits<std::size_t>::max());
        lostInSystem_ += rest.lostInSystem;
        lostWaiting_ += rest.lostWaiting + qint64(rest.datagrams.size());
        reader_.reset();
    }
    if (lostInSystem_ > 0 || lostWaiting_ > 0)
        writeLosses();
}

bool SyslogReceiver::bind(quint16 port) {
    reader_.reset();
    port_ = 0;
    // One dual-stack socket takes IPv4 and IPv6; a system without IPv6 gets an IPv4 one.
    int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    bool bound = false;
    if (fd >= 0) {
        const int off = 0;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        sockaddr_in6 any{};
        any.sin6_family = AF_INET6;
        any.sin6_port = htons(port);
        any.sin6_addr = in6addr_any;
        // No SO_REUSEADDR: with address reuse a second program could bind the same port and take part
        // of the datagrams without either side noticing.
        bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0;
    } else if (errno == EAFNOSUPPORT) {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(port);
        any.sin_addr.s_addr = htonl(INADDR_ANY);
        bound = fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0;
    }
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (bound)
        bound = ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0;
    if (!bound) {
        if (fd >= 0)
            ::close(fd);
        DiagnosticLog::writeTimed("Syslog server will not work: may be 514 udp port is opened by another "
                                  "application,\n    or you have no rights to listen 514 udp port\n");
        return false;
    }
    port_ = ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(local).sin6_port
                                              : reinterpret_cast<const sockaddr_in&>(local).sin_port);

    // The reading thread keeps up with far more than controllers send; the buffer covers the moments
    // it does not run (two cores, both busy). Past net.core.rmem_max only with the privilege to force.
    int bytes = receiveBufferBytes;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    int granted = 0;
    socklen_t grantedLength = sizeof granted;
    ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &grantedLength);
    // Each datagram then says how many the kernel has dropped so far, so such losses reach app.log.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    // Linux reports twice what its accounting allows in payload: the other half is for its own books.
    DiagnosticLog::writeTimed("Syslog receive buffer: " + QByteArray::number(granted) + " bytes\n");

    reader_ = std::make_unique<SyslogReader>(fd, [this] {
        auto* event = new QEvent(datagramsWaiting());
        handOver(event);
        QCoreApplication::postEvent(this, event);
    });
    reader_->setMaxWaitingBytes(maxWaitingBytes_);
    return true;
}

void SyslogReceiver::setMaxWaitingBytes(qsizetype bytes) {
    maxWaitingBytes_ = bytes;
    if (reader_)
        reader_->setMaxWaitingBytes(bytes);
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
    handle(ownerOf(sender), sender, message);
}

Business::Controller* SyslogReceiver::ownerOf(const QByteArray& sender) {
    for (Business::Controller& controller : app_.controllers) {
        if (controller.host == sender)
            return &controller;
    }
    // Only senders that some configured name resolved to are worth a second walk: a flood from
    // unknown hosts must not cost a lookup per controller and datagram.
    if (resolvedSenders_.contains(sender)) {
        for (Business::Controller& controller : app_.controllers) {
            if (resolvesTo(controller.host, sender))
                return &controller;
        }
    }
    return nullptr;
}

void SyslogReceiver::handle(Business::Controller* owner, const QByteArray& sender,
                            const QByteArray& message) {
    const Business::Time now = Clock::now();
    MetricsRegistry::instance().countDatagram(owner != nullptr);
    // An empty datagram is a line of its own in app.log, and so under the same budgets as the rest.
    if (!owner) {
        if (!unknownHosts_.admit())
            return;
        if (message.isEmpty())
            DiagnosticLog::write("Received syslog message 0 bytes in size\n");
        else
            DiagnosticLog::write("Syslog message from unknown host: " + sender + ": " +
                                 QByteArray::number(message.size()) + " bytes: " + logText(message) + "\n");
        return;
    }
    if (!budget_.admit(*owner, now))
        return;
    if (message.isEmpty()) {
        DiagnosticLog::write("Received syslog message 0 bytes in size\n");
        return;
    }
    app_.addEvent(QByteArray(), now, owner->id, classify(message), Business::Transport::syslog,
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

void SyslogReceiver::resolveSoon() {
    if (resolvePending_)
        return;
    resolvePending_ = true;
    QTimer::singleShot(0, this, [this] {
        if (resolvePending_)
            resolveHosts();
    });
}

void SyslogReceiver::resolveHosts() {
    if (!resolveTimer_) {
        resolveTimer_ = new QTimer(this);
        connect(resolveTimer_, &QTimer::timeout, this, &SyslogReceiver::resolveHosts);
    }
    resolveTimer_->start(resolveIntervalMs);
    std::map<QByteArray, QSet<QByteArray>> kept;
    resolvePending_ = false;
    for (const Business::Controller& controller : app_.controllers) {
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

void SyslogReceiver::customEvent(QEvent* event) {
    if (event->type() != datagramsWaiting())
        return;
    takeOver(event);
    syslogMessage();
}

void SyslogReceiver::syslogMessage() {
    if (!reader_)
        return;
    SyslogReader::Taken taken = reader_->take(datagramsPerNotification);
    if (taken.lostInSystem > 0 || taken.lostWaiting > 0)
        noteLosses(taken.lostInSystem, taken.lostWaiting);
    const Application::EventBatch batch(app_);
    // The settings cannot change within the turn, and a flood comes from few senders: one walk of the
    // controllers per change of sender instead of one per datagram.
    const QByteArray* lastSender = nullptr;
    Business::Controller* owner = nullptr;
    for (const SyslogReader::Datagram& datagram : taken.datagrams) {
        if (!lastSender || datagram.sender != *lastSender) {
            lastSender = &datagram.sender;
            owner = ownerOf(datagram.sender);
        }
        handle(owner, datagram.sender, datagram.message);
    }
    // The rest after whatever else waits on this thread; the reader sends no notice for them.
    if (taken.more)
        QCoreApplication::postEvent(this, new QEvent(datagramsWaiting()));
}

void SyslogReceiver::noteLosses(qint64 inSystem, qint64 waiting) {
    lostInSystem_ += inSystem;
    lostWaiting_ += waiting;
    if (!lossTimer_->isActive()) {
        writeLosses();
        lossTimer_->start(lossWindowMs_);
    }
}

void SyslogReceiver::writeLosses() {
    DiagnosticLog::writeTimed("Syslog: " + QByteArray::number(lostInSystem_ + lostWaiting_) +
                              " datagrams lost: " + QByteArray::number(lostInSystem_) +
                              " dropped by the system (receive buffer full), " +
                              QByteArray::number(lostWaiting_) +
                              " dropped here (too many waiting, or still waiting at the end)\n");
    lostInSystem_ = 0;
    lostWaiting_ = 0;
}

} // namespace Warden
