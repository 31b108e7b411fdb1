#include "Scheduler.h"

#include "Application.h"
#include "Clock.h"
#include "CycleEvents.h"
#include "DiagnosticLog.h"
#include "EventRestore.h"
#include "ThreadHandoff.h"

#include <QCoreApplication>
#include <QTimer>

#include <chrono>
#include <ctime>

namespace Warden {

Business::Time nextMoment(quint32 period, Business::Time last) {
    if (period == 0)
        return -1;
    if (period == Business::ReportSettings::monthPeriod) {
        const std::time_t lastT = static_cast<std::time_t>(last);
        std::tm tm{};
        if (!localtime_r(&lastT, &tm)) {
            DiagnosticLog::write("lastTm == 0\n");
            return -1;
        }
        ++tm.tm_mon; // mktime carries December into January and 31 January into March
        // Let mktime decide daylight saving for the new date, so the report keeps its local time of
        // day across a clock change instead of moving by an hour.
        tm.tm_isdst = -1;
        return static_cast<Business::Time>(std::mktime(&tm));
    }
    return (last / period + 1) * static_cast<Business::Time>(period);
}

bool momentDue(quint32 period, Business::Time last, Business::Time now) {
    const Business::Time next = nextMoment(period, last);
    return next >= 0 && now >= next;
}

Scheduler::Scheduler(QObject* target, QObject* parent)
    : QObject(parent)
    , target_(target) {
}

Scheduler::~Scheduler() {
    stop();
    join();
}

void Scheduler::start() {
    if (!thread_.joinable())
        thread_ = std::thread([this] { run(); });
}

void Scheduler::join() {
    if (thread_.joinable())
        thread_.join();
}

void Scheduler::setPeriods(quint32 checkPeriod, quint32 reportPeriod) {
    checkPeriod_.store(checkPeriod);
    reportPeriod_.store(reportPeriod);
}

void Scheduler::followReportSettings(const Business::Application& app) {
    const auto copy = [this, &app] { setPeriods(app.report.checkPeriod(), app.report.reportPeriod()); };
    copy();
    connect(&app, &Business::Application::settingsChanged, this, copy);
}

void Scheduler::stop() {
    {
        const std::lock_guard lock(wakeMutex_);
        stop_.store(true);
    }
    wake_.notify_all();
}

void Scheduler::sleepOneSecond() {
    std::unique_lock lock(wakeMutex_);
    wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_.load(); });
}

void Scheduler::post(QEvent* event) {
    handOver(event);
    QCoreApplication::postEvent(target_, event);
}

void Scheduler::run() {
    const Now now = now_ ? now_ : Now([] { return Clock::now(); });
    Business::Time t = now();
    Business::Time lastReportMoment = t;
    if (firstReportMoment_ > 0 && firstReportMoment_ < t && t - firstReportMoment_ <= Business::restoreSpan)
        lastReportMoment = firstReportMoment_;
    Business::Time lastCheckMoment = t;
    while (!stop_.load()) {
        const bool reportDue = momentDue(reportPeriod_.load(), lastReportMoment, t);
        const bool checkDue = momentDue(checkPeriod_.load(), lastCheckMoment, t);
        if (checkDue) {
            lastCheckMoment = t;
            post(new CheckEvent(reportDue, lastReportMoment, t));
        }
        if (reportDue) {
            // A report that comes with a check waits for it on the main thread; one without a check
            // runs there at once.
            if (!checkDue)
                post(new ReportEvent(lastReportMoment, t));
            lastReportMoment = t;
        }
        if (sleep_)
            sleep_();
        else
            sleepOneSecond();
        t = now();
    }
}

} // namespace Warden
