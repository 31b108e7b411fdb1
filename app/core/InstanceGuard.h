#pragma once

#include <QSharedMemory>
#include <QString>

#include <optional>

namespace Warden {

// One instance per user and machine: the running instance publishes the port of its wake-up server in
// a small shared-memory segment; a second start finds the segment, connects to that port and leaves.
// The segment's key file and the lock around the port live in a directory that only this user can
// write, under names that carry the user's id: another local user can neither pose as a running
// instance (and so keep the program from starting) nor hold the lock that a start waits for.
class InstanceGuard {
public:
    static constexpr const char* defaultKey = "AmpwardenPort";
    // Only instances of this user take the lock, each for one read or write of two bytes: a longer
    // wait means something is wrong, and a start must not hang on it.
    static constexpr int lockTimeoutMs = 5000;

    struct Failure {
        QString title; // empty: end without a message
        QString text;
    };

    explicit InstanceGuard(const QString& key = QString::fromLatin1(defaultKey));
    ~InstanceGuard();
    InstanceGuard(const InstanceGuard&) = delete;
    InstanceGuard& operator=(const InstanceGuard&) = delete;

    // Where the guard's files go: a directory only this user can write to.
    struct Directory {
        QString path;    // empty when none qualifies
        QString problem; // then why, one reason per place tried
    };

    // $XDG_RUNTIME_DIR when it is this user's own and nobody else may write to it, otherwise
    // "ampwarden" in the user's cache directory (created 0700), otherwise "ampwarden-UID" in the
    // temporary directory (a service account without a home).
    static Directory privateDirectory();

    // A process killed on Linux leaves its System V segment behind. Attaching and detaching again
    // removes such a segment when nobody else is attached, and leaves a live instance's alone.
    void removeStaleSegment();

    // True when another instance runs: then it has been asked to show its window (or the failure is
    // set), and this process should end. Also true, with the failure, when there is no private
    // directory to hold the guard: without it one instance per user cannot be kept.
    bool wakeRunningInstance(Failure* failure, int connectTimeoutMs = 30000);

    // Creates the segment and writes the server's port into it; false with `failure` on any error.
    bool publish(quint16 port, Failure* failure);

    // The port that a running instance published under this key, or 0.
    quint16 publishedPort();

private:
    bool lock();
    void unlock();
    bool createSegment();
    bool removeOrphanAtKey();

    Directory directory_;
    QString lockPath_;
    std::optional<QSharedMemory> segment_{std::in_place};
    int lockFd_ = -1;
};

} // namespace Warden
