#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <memory>

namespace Warden {

// How long the thread's event loop goes without getting round to a due timer: what a user (or a
// datagram waiting in the socket) feels as a hang. For benchmarks only: with AMPWARDEN_STALL_REPORT
// set to a number of milliseconds, every stall at least that long goes to standard error as
// "event loop stall: <ms> ms, ended at <ms since 1970>".
class StallProbe final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StallProbe)

public:
    static constexpr const char* environmentVariable = "AMPWARDEN_STALL_REPORT";
    // Null unless the environment asks for it.
    static std::unique_ptr<StallProbe> fromEnvironment();

    explicit StallProbe(int reportFromMs, QObject* parent = nullptr);

private:
    void tick();

    static constexpr int intervalMs = 5;
    const int reportFromMs_;
    QTimer timer_;
    QElapsedTimer since_;
};

} // namespace Warden
