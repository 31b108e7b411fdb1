#pragma once

#include "SenderBudget.h"

#include "core/Event.h"
#include "core/ThrottledLog.h"

#include <QByteArray>
#include <QObject>
#include <QSet>

#include <map>
#include <memory>

class QHostAddress;
class QHostInfo;
class QTimer;
struct sockaddr_storage;

namespace Warden {

namespace Business {
class Application;
}

class SyslogReader;

// Turns the syslog datagrams that controllers push into events. Nothing of the syslog format is
// parsed: the whole datagram, priority field and timestamp included, is the event's raw text.
// The socket is read on a thread of its own (SyslogReader); the datagrams are handled here, on the
// main thread, which owns the state and the event store, in the order they arrived.
class SyslogReceiver final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SyslogReceiver)

public:
    static constexpr quint16 defaultPort = 514;
    // Asked of the kernel so that a burst waits in the socket instead of being dropped while the
    // reading thread is not running; root or CAP_NET_ADMIN may go past net.core.rmem_max. The kernel
    // counts about a kilobyte per short datagram, so this holds some 60,000 of them: 0.4 s at
    // 150,000 datagrams/s. Memory is taken only while datagrams wait.
    static constexpr int receiveBufferBytes = 64 * 1024 * 1024;
    // Handled per turn of the main thread's event loop, so a flood cannot keep it from other work.
    static constexpr int datagramsPerNotification = 512;
    // Datagrams lost on the way (the kernel's buffer full, or too many waiting for the main thread)
    // are told in app.log at most once per window, with their counts.
    static constexpr int lossWindowMs = 10000;
    void setLossWindow(int milliseconds) { lossWindowMs_ = milliseconds; }
    // How much may wait for the main thread (SyslogReader::maxWaitingBytes unless told).
    void setMaxWaitingBytes(qsizetype bytes);

    // Follows the controllers of `app`: their datagrams become its events, and their host names are
    // looked up again after every change.
    explicit SyslogReceiver(Business::Application& app, QObject* parent = nullptr);
    ~SyslogReceiver() override;

    // Binds every local address, IPv4 and IPv6, at `port` (0: the system picks one) and starts
    // reading. A failure is logged and leaves the receiver without datagrams; the program runs on.
    bool bind(quint16 port = defaultPort);
    // The bound port; 0 when not bound.
    quint16 port() const { return port_; }

    // The sender's address as the controllers' host texts are written: dotted decimal for IPv4, also
    // when a dual-stack socket reports it as an IPv4-mapped IPv6 address. Safe on any thread.
    static QByteArray senderText(const QHostAddress& address);
    static QByteArray senderText(const sockaddr_storage& address);
    static Business::EventKind classify(const QByteArray& message);
    // Stores the datagram as an event of the first controller whose host equals `sender` or, for a
    // host given by name, resolved to it; otherwise logs it as coming from an unknown host.
    void handleDatagram(const QByteArray& sender, const QByteArray& message);

    // Controllers given by a host name send from an address: the names are looked up in the
    // background, after a change of the controllers (once for a burst of changes, such as the reading
    // of the settings) and again every few minutes, as long as the receiver lives. A failed lookup keeps what the name resolved to before.
    static constexpr int resolveIntervalMs = 5 * 60 * 1000;
    void resolveHosts();
    bool resolving() const { return lookups_ > 0; }

    // Anyone can send datagrams: so many lines about unknown hosts per window reach app.log, the
    // rest are counted in one line when the window ends.
    static constexpr int unknownHostLines = 10;
    static constexpr int unknownHostWindowMs = 10000;
    void setUnknownHostWindow(int milliseconds) { unknownHosts_.setWindow(milliseconds); }

    // Datagrams a configured controller's address may turn into events (or, when empty, into lines)
    // per second; the excess is counted and told once per window per controller. A controller sends a
    // line per login, outlet switch or alarm, a handful a second at its busiest (a reboot, a burst of
    // failed logins); a hundred leaves ample room for that and still bounds what a flood under its
    // (easily forged) address can add: 100 events a second, whatever the rate of the flood.
    static constexpr int controllerDatagramsPerSecond = 100;
    static constexpr int overBudgetWindowMs = 10000;
    void setControllerBudget(int perSecond) { budget_.setPerSecond(perSecond); }
    void setOverBudgetWindow(int milliseconds) { budget_.setWindow(milliseconds); }

protected:
    void customEvent(QEvent* event) override;

private:
    Business::Application& app_;
    bool resolvePending_ = false;
    // Handles a turn's worth of the datagrams the reader holds.
    void syslogMessage();
    Business::Controller* ownerOf(const QByteArray& sender);
    void resolveSoon();
    void handle(Business::Controller* owner, const QByteArray& sender, const QByteArray& message);
    void noteLosses(qint64 inSystem, qint64 waiting);
    void writeLosses();

    std::unique_ptr<SyslogReader> reader_;
    quint16 port_ = 0;
    ThrottledLog unknownHosts_;
    SenderBudget budget_;
    QTimer* lossTimer_;
    qint64 lostInSystem_ = 0; // not yet told
    qint64 lostWaiting_ = 0;
    int lossWindowMs_ = lossWindowMs;
    qsizetype maxWaitingBytes_;

    void resolved(const QByteArray& host, const QHostInfo& info);
    bool resolvesTo(const QByteArray& host, const QByteArray& sender) const;

    // Host name -> the sender texts of its addresses.
    std::map<QByteArray, QSet<QByteArray>> addresses_;
    QSet<QByteArray> resolvedSenders_; // all of them together
    QTimer* resolveTimer_ = nullptr;
    int lookups_ = 0;
};

} // namespace Warden
