#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct sockaddr_storage;

namespace Warden {

// Drains a bound UDP socket on a thread of its own, many datagrams per system call, so that a burst
// waits in memory instead of overflowing the kernel's receive buffer while the main thread is busy.
// The main thread takes the datagrams in arrival order; `notify` tells it, from the reading thread,
// that some wait. It is called once, and again only after a take() that left nothing behind, so
// however fast datagrams come there is at most one notification on its way.
class SyslogReader final {
public:
    struct Datagram {
        QByteArray sender; // as SyslogReceiver::senderText() writes it
        QByteArray message;
    };
    struct Taken {
        std::vector<Datagram> datagrams;
        // Lost since the last take: dropped by the kernel because its receive buffer was full, and
        // dropped here because the main thread had fallen too far behind.
        qint64 lostInSystem = 0;
        qint64 lostWaiting = 0;
        // Datagrams remain after this take; no notification comes for them, the taker asks again.
        bool more = false;
    };

    static constexpr int datagramsPerCall = 128;
    static constexpr qsizetype maxDatagram = 65536;
    // What may wait for the main thread, payload and bookkeeping: at 150,000 datagrams/s of syslog
    // lines about a second's worth, at 20,000/s of 1 KiB ones 1.5 s. It is the most a flood can make
    // the program hold beyond its events, and the allocator keeps what it once held: the events are on
    // a budget per controller, so the main thread has no store grown by a flood to rewrite and is not
    // away for longer than that.
    static constexpr qsizetype maxWaitingBytes = 32 * 1024 * 1024;
    static constexpr qsizetype bookkeepingBytes = 96; // per datagram: array header, allocation, entry

    // Takes over the descriptor (closed when the reader goes) and starts reading at once.
    SyslogReader(int fd, std::function<void()> notify);
    ~SyslogReader();
    Q_DISABLE_COPY_MOVE(SyslogReader)

    // Stops the thread promptly, also in the middle of a flood, and joins it; what waits can still be
    // taken.
    void stop();

    Taken take(std::size_t most);
    void setMaxWaitingBytes(qsizetype bytes);

private:
    void run();
    void deliver(std::vector<Datagram>& batch, qint64 newSystemDrops);
    QByteArray senderOf(const sockaddr_storage& address, unsigned length);

    const int fd_;
    const int wake_; // eventfd: the destructor's knock
    const std::function<void()> notify_;
    std::atomic<bool> stop_{false};

    // Reading thread only. Nearly every datagram comes from the sender of the one before.
    std::unique_ptr<sockaddr_storage> lastAddress_;
    unsigned lastAddressLength_ = 0;
    QByteArray lastSender_;

    std::mutex mutex_;
    std::deque<Datagram> waiting_;
    qsizetype waitingBytes_ = 0;
    qsizetype maxWaitingBytes_ = maxWaitingBytes;
    qint64 lostInSystem_ = 0;
    qint64 lostWaiting_ = 0;
    bool notified_ = false;

    std::thread thread_; // last: starts once everything above is in place
};

} // namespace Warden
