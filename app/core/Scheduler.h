#pragma once

#include "Records.h"

#include <QObject>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace Warden {

namespace Business {
class Application;
}


// The moment test: has the first moment of `period` seconds after `last` come at `now`? Periods are
// counted in whole multiples from 1970-01-01 00:00 UTC, except the Month unit, which steps one local
// calendar month from `last`. A period of 0 never comes.
bool momentDue(quint32 period, Business::Time last, Business::Time now);

// The next moment after `last` (the moment test's `next`); -1 when the local time of `last` cannot be
// computed or the period is 0.
Business::Time nextMoment(quint32 period, Business::Time last);

// Owns the thread that wakes once a second and decides whether a check moment and a report moment have
// come. It only computes moments: a check moment goes to the target as a CheckEvent carrying the
// report values, a report moment without a check moment as a ReportEvent, so the check and the
// report run on the target's (main) thread.
//
// A std::thread rather than a QThread: its join is a synchronisation that ThreadSanitizer sees, and
// the loop needs no event loop of its own.
class Scheduler final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Scheduler)

public:
    using Now = std::function<Business::Time()>;
    // Waits until the next pass. The default waits one second or until stop() is called.
    using Sleep = std::function<void()>;

    explicit Scheduler(QObject* target, QObject* parent = nullptr);
    // Stops the loop and waits for the thread, so no scheduler thread outlives its owner.
    ~Scheduler() override;

    // Starts the loop once; "now" at this moment is where both kinds of moment count from.
    void start();
    // Waits until the loop has ended (after stop()).
    void join();
    bool isRunning() const { return thread_.joinable(); }

    // The report moment the previous run of the program reached, from its state file; set before
    // start(). The first report then covers the time since that moment instead of since this start, and
    // a report moment missed while the program was not running comes at once. Ignored when it is not
    // in the past or lies further back than a start brings events back.
    void setFirstReportMoment(Business::Time moment) { firstReportMoment_ = moment; }

    // Seams for tests; set before start().
    void setNow(Now now) { now_ = std::move(now); }
    void setSleep(Sleep sleep) { sleep_ = std::move(sleep); }

    // The capped check and report periods in seconds. Any thread; the loop reads them afresh on
    // every pass, so a change takes effect within a second.
    void setPeriods(quint32 checkPeriod, quint32 reportPeriod);
    // Keeps the periods in step with the report settings: reads them now and at every change, on the
    // thread that owns the settings.
    void followReportSettings(const Business::Application& app);

    // Any thread: ends the loop after the current pass and cuts a default sleep short.
    void stop();
    bool stopRequested() const { return stop_.load(); }

private:
    void run();
    void post(QEvent* event);
    void sleepOneSecond();

    QObject* target_;
    Now now_;
    Sleep sleep_;
    Business::Time firstReportMoment_ = 0;
    std::atomic<quint32> checkPeriod_{0};
    std::atomic<quint32> reportPeriod_{0};
    std::atomic<bool> stop_{false};
    std::mutex wakeMutex_;
    std::condition_variable wake_;
    std::thread thread_;
};

} // namespace Warden
