#include "SyslogReader.h"

#include "SyslogReceiver.h"

#include "core/DiagnosticLog.h"
#include "core/ErrorText.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

namespace Warden {

namespace {

// What one recvmmsg() call fills. On the reading thread's stack; the datagram slots are one heap block
// of which only the pages that datagrams reach are ever touched.
struct Call {
    struct alignas(cmsghdr) Control {
        char bytes[CMSG_SPACE(sizeof(quint32))];
    };
    std::array<mmsghdr, SyslogReader::datagramsPerCall> messages;
    std::array<iovec, SyslogReader::datagramsPerCall> vectors;
    std::array<sockaddr_storage, SyslogReader::datagramsPerCall> senders;
    std::array<Control, SyslogReader::datagramsPerCall> controls;

    explicit Call(char* buffer) {
        for (int k = 0; k < SyslogReader::datagramsPerCall; ++k)
            vectors[k] = {buffer + qsizetype(k) * SyslogReader::maxDatagram,
                          size_t(SyslogReader::maxDatagram)};
    }
    // The kernel writes the lengths back, so they are set again before every call.
    void arm() {
        for (int k = 0; k < SyslogReader::datagramsPerCall; ++k) {
            messages[k] = {};
            messages[k].msg_hdr.msg_name = &senders[k];
            messages[k].msg_hdr.msg_namelen = sizeof senders[k];
            messages[k].msg_hdr.msg_iov = &vectors[k];
            messages[k].msg_hdr.msg_iovlen = 1;
            messages[k].msg_hdr.msg_control = controls[k].bytes;
            messages[k].msg_hdr.msg_controllen = sizeof controls[k].bytes;
        }
    }
    // The socket's running count of datagrams the kernel dropped, as it stood when this one was queued;
    // present only once there was a drop.
    bool systemDrops(int k, quint32& count) const {
        const msghdr& header = messages[k].msg_hdr;
        for (const cmsghdr* c = CMSG_FIRSTHDR(&header); c;
             c = CMSG_NXTHDR(const_cast<msghdr*>(&header), const_cast<cmsghdr*>(c))) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                std::memcpy(&count, CMSG_DATA(c), sizeof count);
                return true;
            }
        }
        return false;
    }
};

} // namespace

SyslogReader::SyslogReader(int fd, std::function<void()> notify)
    : fd_(fd)
    , wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    , notify_(std::move(notify))
    , lastAddress_(std::make_unique<sockaddr_storage>())
    , thread_(&SyslogReader::run, this) {
}

SyslogReader::~SyslogReader() {
    stop();
    if (wake_ >= 0)
        ::close(wake_);
    ::close(fd_);
}

void SyslogReader::stop() {
    if (!thread_.joinable())
        return;
    stop_.store(true);
    if (wake_ >= 0) {
        const quint64 one = 1;
        // An eventfd write fails only when its counter would overflow, and then it is set anyway.
        [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
    }
    thread_.join();
}

SyslogReader::Taken SyslogReader::take(std::size_t most) {
    Taken taken;
    const std::lock_guard lock(mutex_);
    const std::size_t count = std::min(most, waiting_.size());
    taken.datagrams.reserve(count);
    for (std::size_t k = 0; k < count; ++k) {
        Datagram& d = waiting_.front();
        waitingBytes_ -= d.message.size() + bookkeepingBytes;
        taken.datagrams.push_back(std::move(d));
        waiting_.pop_front();
    }
    taken.lostInSystem = std::exchange(lostInSystem_, 0);
    taken.lostWaiting = std::exchange(lostWaiting_, 0);
    taken.more = !waiting_.empty();
    // Until the taker has seen everything, it asks again by itself; only then does the next datagram
    // need a notification.
    notified_ = taken.more;
    return taken;
}

void SyslogReader::setMaxWaitingBytes(qsizetype bytes) {
    const std::lock_guard lock(mutex_);
    maxWaitingBytes_ = bytes;
}

QByteArray SyslogReader::senderOf(const sockaddr_storage& address, unsigned length) {
    if (length != lastAddressLength_ || std::memcmp(&address, lastAddress_.get(), length) != 0) {
        std::memcpy(lastAddress_.get(), &address, length);
        lastAddressLength_ = length;
        lastSender_ = SyslogReceiver::senderText(address);
    }
    return lastSender_;
}

void SyslogReader::deliver(std::vector<Datagram>& batch, qint64 newSystemDrops) {
    bool notify = false;
    {
        const std::lock_guard lock(mutex_);
        lostInSystem_ += newSystemDrops;
        for (Datagram& d : batch) {
            const qsizetype size = d.message.size() + bookkeepingBytes;
            if (waitingBytes_ + size > maxWaitingBytes_) {
                ++lostWaiting_;
                continue;
            }
            waitingBytes_ += size;
            waiting_.push_back(std::move(d));
        }
        // Losses are news too: the taker is the one who logs them.
        if (!notified_ && (!waiting_.empty() || lostInSystem_ > 0 || lostWaiting_ > 0))
            notify = notified_ = true;
    }
    batch.clear();
    if (notify)
        notify_();
}

void SyslogReader::run() {
    const std::unique_ptr<char[]> buffer(new char[std::size_t(datagramsPerCall) * std::size_t(maxDatagram)]);
    auto call = std::make_unique<Call>(buffer.get());
    std::vector<Datagram> batch;
    batch.reserve(datagramsPerCall);
    quint32 systemDrops = 0;
    int lastError = 0;
    pollfd wait[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
    while (!stop_.load()) {
        call->arm();
        const int n = ::recvmmsg(fd_, call->messages.data(), datagramsPerCall, MSG_DONTWAIT, nullptr);
        if (n > 0) {
            lastError = 0;
            qint64 newDrops = 0;
            for (int k = 0; k < n; ++k) {
                const mmsghdr& m = call->messages[k];
                quint32 drops = 0;
                if (call->systemDrops(k, drops) && drops != systemDrops) {
                    newDrops += quint32(drops - systemDrops); // the kernel's count wraps
                    systemDrops = drops;
                }
                batch.push_back(
                    {senderOf(call->senders[k], m.msg_hdr.msg_namelen),
                     QByteArray(static_cast<const char*>(call->vectors[k].iov_base), qsizetype(m.msg_len))});
            }
            deliver(batch, newDrops);
            // A full call means more are likely waiting: read on without asking poll() first.
            if (n == datagramsPerCall)
                continue;
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            // Nothing here is expected to fail for good; should it, say so once and do not spin.
            if (errno != lastError) {
                lastError = errno;
                DiagnosticLog::writeTimed(QByteArray("Syslog receiver: reading failed: ") +
                                          errorText(lastError) + "\n");
            }
            ::poll(wait + 1, 1, 100);
            continue;
        }
        // Without the wake-up descriptor the thread looks at the stop flag several times a second.
        if (wake_ < 0)
            ::poll(wait, 1, 200);
        else
            ::poll(wait, 2, -1);
    }
}

} // namespace Warden
