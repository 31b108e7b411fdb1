#pragma once

#include <QSharedMemory>
#include <QString>

namespace Warden {

// One instance per machine: the running instance publishes the port of its wake-up server in a small
// shared-memory segment; a second start finds the segment, connects to that port and leaves.
class InstanceGuard {
public:
    static constexpr const char* defaultKey = "AmpwardenPort";

    struct Failure {
        QString title; // empty: end without a message
        QString text;
    };

    explicit InstanceGuard(const QString& key = QString::fromLatin1(defaultKey));

    // A process killed on Linux leaves its System V segment behind. Attaching and detaching again
    // removes such a segment when nobody else is attached, and leaves a live instance's alone.
    void removeStaleSegment();

    // True when another instance runs: then it has been asked to show its window (or the failure is
    // set), and this process should end.
    bool wakeRunningInstance(Failure* failure, int connectTimeoutMs = 30000);

    // Creates the segment and writes the server's port into it; false with `failure` on any error.
    bool publish(quint16 port, Failure* failure);

private:
    QSharedMemory segment_;
};

} // namespace Warden
