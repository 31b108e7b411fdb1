#pragma once

#include "Event.h"

#include <atomic>
#include <cstdint>

namespace Warden {

// The program's running totals for the metrics endpoint, counted where things happen whether or not
// the endpoint is on: a relaxed atomic increment costs less than asking. Any thread may count; the
// totals are read on the main thread when the exposition is drawn.
class MetricsRegistry final {
public:
    enum class CheckResult { answered = 0, noAnswer = 1, loginRefused = 2, pageUnreadable = 3 };
    static constexpr int eventKinds = 6;
    static constexpr int transports = 2;
    static constexpr int checkResults = 4;

    static MetricsRegistry& instance();

    void countEvent(Business::EventKind kind, Business::Transport transport);
    void countCheck(CheckResult result) { add(checks_[static_cast<int>(result)]); }
    void countDatagram(bool knownSender) { add(datagrams_[knownSender ? 0 : 1]); }
    void countMail(bool sent) { add(mails_[sent ? 0 : 1]); }

    std::uint64_t events(Business::EventKind kind, Business::Transport transport) const;
    std::uint64_t checks(CheckResult result) const { return get(checks_[static_cast<int>(result)]); }
    std::uint64_t datagrams(bool knownSender) const { return get(datagrams_[knownSender ? 0 : 1]); }
    std::uint64_t mails(bool sent) const { return get(mails_[sent ? 0 : 1]); }

    // Back to zero (tests).
    void reset();

private:
    using Counter = std::atomic<std::uint64_t>;
    static void add(Counter& counter) { counter.fetch_add(1, std::memory_order_relaxed); }
    static std::uint64_t get(const Counter& counter) { return counter.load(std::memory_order_relaxed); }

    Counter events_[eventKinds][transports] = {};
    Counter checks_[checkResults] = {};
    Counter datagrams_[2] = {};
    Counter mails_[2] = {};
};

} // namespace Warden
