#include "ConnectionBudget.h"

#include <sys/socket.h>

#include <optional>

namespace Warden {

ConnectionBudget::ConnectionBudget(Limits limits)
    : limits_(limits)
    , watcher_(&ConnectionBudget::watch, this) {
}

ConnectionBudget::~ConnectionBudget() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    watcher_.join();
}

void ConnectionBudget::opened(const void* key, int fd, QByteArray address) {
    {
        const std::lock_guard lock(mutex_);
        makeRoom(address);
        Connection& c = connections_[key];
        c = Connection{fd, std::move(address), Clock::now(), ++accepted_, false, false};
        ++perAddress_[c.address];
        ++holding_;
    }
    wake_.notify_all();
}

void ConnectionBudget::answering(const void* key) {
    const std::lock_guard lock(mutex_);
    if (const auto it = connections_.find(key); it != connections_.end())
        it->second.answering = true;
}

void ConnectionBudget::answered(const void* key) {
    const std::lock_guard lock(mutex_);
    if (const auto it = connections_.find(key); it != connections_.end()) {
        // The next request on a kept-alive connection has a deadline of its own; this one is later
        // than every one the watcher waits for, so it need not be woken.
        it->second.answering = false;
        it->second.since = Clock::now();
    }
}

void ConnectionBudget::closed(const void* key) {
    const std::lock_guard lock(mutex_);
    const auto it = connections_.find(key);
    if (it == connections_.end())
        return;
    if (!it->second.cut)
        release(it->second);
    connections_.erase(it);
}

unsigned ConnectionBudget::holding() const {
    const std::lock_guard lock(mutex_);
    return holding_;
}

void ConnectionBudget::makeRoom(const QByteArray& address) {
    // Usually once: one connection in, one out.
    for (;;) {
        const bool addressFull = perAddress_.value(address) >= limits_.perAddress;
        if (!addressFull && holding_ < limits_.total)
            return;
        Connection* victim = oldest(addressFull ? &address : nullptr);
        if (!victim)
            return;
        cut(*victim);
    }
}

ConnectionBudget::Connection* ConnectionBudget::oldest(const QByteArray* address) {
    Connection* found = nullptr;
    for (auto& [key, c] : connections_) {
        if (c.cut || (address && c.address != *address))
            continue;
        // One being answered goes last: it is about to be done.
        if (!found || (found->answering && !c.answering) ||
            (found->answering == c.answering && c.order < found->order))
            found = &c;
    }
    return found;
}

void ConnectionBudget::cut(Connection& connection) {
    // The socket stays open (the server closes it once it has noticed), so its number cannot have
    // gone to another file in between.
    ::shutdown(connection.fd, SHUT_RDWR);
    connection.cut = true;
    release(connection);
}

void ConnectionBudget::release(const Connection& connection) {
    if (--perAddress_[connection.address] == 0)
        perAddress_.remove(connection.address);
    --holding_;
}

void ConnectionBudget::watch() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        const Clock::time_point now = Clock::now();
        std::optional<Clock::time_point> next;
        for (auto& [key, c] : connections_) {
            if (c.cut)
                continue;
            const Clock::time_point due = c.since + limits_.deadline;
            if (due <= now)
                cut(c);
            else if (!next || due < *next)
                next = due;
        }
        if (next)
            wake_.wait_until(lock, *next);
        else
            wake_.wait(lock);
    }
}

} // namespace Warden
