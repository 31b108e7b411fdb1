#pragma once

#include <QByteArray>
#include <QHash>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace Warden {

// What one client of the metrics endpoint may hold: a connection for at most `deadline` per request,
// counted from the accept (and, on a kept-alive connection, from the end of the previous answer), not
// from its last byte, so a client that trickles a byte now and then is cut all the same; and a share
// of the connections, `perAddress` from one address and `total` in all. When a new connection would
// go past either, the oldest connection in that share that is not being answered is cut to make room:
// slow clients then only ever push out one another, while a scraper, which is done in milliseconds,
// always gets in.
//
// The server's thread reports what happens to its connections; cutting is a shutdown() of the
// connection's socket, which the server then sees as the client going away. Cut from the server's
// thread (to make room) or from the budget's own (at the deadline). Thread-safe.
class ConnectionBudget final {
public:
    using Clock = std::chrono::steady_clock;
    struct Limits {
        unsigned total = 64;
        unsigned perAddress = 8;
        std::chrono::milliseconds deadline{10000};
    };

    explicit ConnectionBudget(Limits limits);
    ~ConnectionBudget();
    ConnectionBudget(const ConnectionBudget&) = delete;
    ConnectionBudget& operator=(const ConnectionBudget&) = delete;

    // `key` names the connection until closed(); its socket stays open until then.
    void opened(const void* key, int fd, QByteArray address);
    // A request was read whole and is being answered; then it was answered (or failed).
    void answering(const void* key);
    void answered(const void* key);
    void closed(const void* key);

    // Connections open and not cut.
    unsigned holding() const;

private:
    struct Connection {
        int fd = -1;
        QByteArray address;
        Clock::time_point since;
        std::uint64_t order = 0; // of acceptance, to tell the oldest among equal times
        bool answering = false;
        bool cut = false;
    };
    using Table = std::unordered_map<const void*, Connection>;

    // Under the lock.
    void makeRoom(const QByteArray& address);
    // The oldest connection not cut, of `address` or of all; one being answered only when no other.
    Connection* oldest(const QByteArray* address);
    void cut(Connection& connection);
    void release(const Connection& connection);
    void watch();

    const Limits limits_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    Table connections_;
    QHash<QByteArray, unsigned> perAddress_; // not cut
    unsigned holding_ = 0;
    std::uint64_t accepted_ = 0;
    bool stopping_ = false;
    std::thread watcher_; // last: starts once everything above is in place
};

} // namespace Warden
