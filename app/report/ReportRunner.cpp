#include "report/ReportRunner.h"

#include "core/Application.h"
#include "core/ClockText.h"
#include "core/DiagnosticLog.h"
#include "core/ThreadHandoff.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <QRunnable>
#include <QThread>

#include <algorithm>
#include <deque>
#include <mutex>
#include <vector>

namespace Warden {

using namespace Business;

namespace {

// The longest the main thread works on a run before it lets the event loop turn. A slice ends after
// the step that crosses it: a part of a copy, one controller's mails or a part of its pruning.
constexpr qint64 sliceMs = 10;
// Events copied or pruned in one step: a few milliseconds in a store of millions.
constexpr std::size_t copyStep = 4096;
constexpr std::size_t pruneStep = 1024;

// What the pool's threads take over from the main thread with a task; one mark serves them all.
const char taskHandoff = 0;

} // namespace

struct ReportRunner::Job {
    ControllerId controller = 0;
    QByteArray name;
    // The controller's times when its copy was taken: changed ones mean an edit.
    Time lastCheck = 0;
    Time lastReport = 0;
    bool leftOut = false;
    // Written by the composing task, under the run's mutex.
    bool composed = false;
    QByteArray body;
};

struct ReportRunner::Run {
    Time from = 0;
    Time till = 0;
    ReportSettings settings;
    std::vector<OutboxMail> recipients;
    // In list order, sized once: the tasks write into their own element.
    std::vector<Job> jobs;
    std::size_t nextCopy = 0;
    std::size_t nextDelivery = 0;
    // The copy of jobs[nextCopy] while it is being taken.
    std::unique_ptr<ReportCopy> copying;
    // The controllers whose mails are out, in list order: their events up to their new report time are
    // pruned a step at a time, then they count as reported.
    std::deque<const Job*> reporting;
    std::function<void()> finished;
    std::mutex mutex;
};

ReportRunner::ReportRunner(Application& app, MailSink send, QObject* parent)
    : QObject(parent)
    , app_(app)
    , send_(std::move(send)) {
    // The main thread is busy too while a run lasts (taking the next copies, pruning): with one
    // composing thread fewer than cores, every core is in use and none is contended. On two cores a
    // second composing thread made the run slower.
    pool_.setMaxThreadCount(std::max(1, QThread::idealThreadCount() - 1));
    // A timer rather than a posted event: the event loop serves the timers that are due before it
    // comes back to the run, where a chain of posted events could keep them waiting.
    pumpTimer_.setSingleShot(true);
    pumpTimer_.setInterval(0);
    connect(&pumpTimer_, &QTimer::timeout, this, &ReportRunner::pump);
}

ReportRunner::~ReportRunner() {
    // The tasks not yet started are dropped; the running ones are single controllers and end soon.
    pool_.clear();
    pool_.waitForDone();
    if (!run_)
        return;
    while (deliverNext()) {
    }
    Run& run = *run_;
    for (const Job* job : run.reporting) {
        if (Controller* controller = reportedController(*job))
            app_.markReported(*controller);
    }
    DiagnosticLog::write(
        "ReportRunner: the program ends during the report run from " + clockText(run.from) + " till " +
        clockText(run.till) + ": " +
        QByteArray::number(static_cast<qulonglong>(run.jobs.size() - run.nextDelivery)) + " of " +
        QByteArray::number(static_cast<qulonglong>(run.jobs.size())) + " controllers not reported, " +
        QByteArray::number(static_cast<qulonglong>(queue_.size())) + " report runs after it not started\n");
}

void ReportRunner::setMaxThreads(int threads) {
    pool_.setMaxThreadCount(threads);
}

CheckCycle::AsyncReportRun ReportRunner::reportRun() {
    return [this](Time from, Time till, std::function<void()> finished) {
        run(from, till, std::move(finished));
    };
}

void ReportRunner::run(Time from, Time till, std::function<void()> finished) {
    queue_.push_back({from, till, std::move(finished)});
    if (!run_)
        startNext();
}

void ReportRunner::startNext() {
    if (queue_.empty())
        return;
    Queued next = std::move(queue_.front());
    queue_.pop_front();
    run_ = std::make_unique<Run>();
    Run& run = *run_;
    run.from = next.from;
    run.till = next.till;
    run.finished = std::move(next.finished);
    // The settings and recipients as the run starts hold for all its controllers.
    run.settings = app_.report;
    run.recipients = reportRecipients(app_.mailAccounts);
    run.jobs.resize(app_.controllers.size());
    std::size_t i = 0;
    for (const Controller& controller : app_.controllers) {
        run.jobs[i].controller = controller.id;
        run.jobs[i].name = controller.displayName();
        ++i;
    }
    schedulePump();
}

void ReportRunner::schedulePump() {
    if (!pumpTimer_.isActive())
        pumpTimer_.start();
}

void ReportRunner::pump() {
    QElapsedTimer slice;
    slice.start();
    // Enough copies ahead to keep every thread busy while the main thread is away, and no more: each
    // holds a month of readings, and a composed body waits until those before it are handed on.
    const std::size_t ahead = 2 * static_cast<std::size_t>(std::max(1, pool_.maxThreadCount())) + 1;
    while (run_) {
        if (slice.elapsed() >= sliceMs) {
            schedulePump();
            return;
        }
        if (deliverNext())
            continue;
        Run& run = *run_;
        if (run.nextCopy < run.jobs.size() && run.nextCopy - run.nextDelivery < ahead) {
            copySome();
            continue;
        }
        if (pruneSome())
            continue;
        if (run.nextDelivery == run.jobs.size()) {
            finishRun();
            continue;
        }
        // Waiting for the pool: each task wakes this up when it is done.
        return;
    }
}

void ReportRunner::copySome() {
    Run& run = *run_;
    const std::size_t index = run.nextCopy;
    Job& job = run.jobs[index];
    const Controller* controller = app_.controller(job.controller);
    if (!controller) {
        // Its events have lost their owner with it: there is nothing left to report.
        job.leftOut = true;
        run.copying.reset();
        ++run.nextCopy;
        DiagnosticLog::write("ReportRunner: " + job.name + " was removed before its report was composed\n");
        return;
    }
    if (!run.copying) {
        job.name = controller->displayName();
        job.lastCheck = controller->lastCheck;
        job.lastReport = controller->lastReport;
        run.copying = std::make_unique<ReportCopy>(*controller, run.from, run.till, run.settings);
    }
    if (!run.copying->copy(app_.events, *controller, copyStep))
        return;
    auto input = std::make_shared<const ReportInput>(run.copying->take());
    run.copying.reset();
    ++run.nextCopy;
    QRunnable* task = QRunnable::create([this, &run, index, input = std::move(input)] {
        takeOver(&taskHandoff);
        QByteArray body = composeReport(*input);
        {
            const std::lock_guard lock(run.mutex);
            run.jobs[index].body = std::move(body);
            run.jobs[index].composed = true;
        }
        QMetaObject::invokeMethod(this, &ReportRunner::schedulePump, Qt::QueuedConnection);
    });
    // The task and its copy are complete before the pool hands them to its thread.
    handOver(&taskHandoff);
    pool_.start(task);
}

bool ReportRunner::deliverNext() {
    Run& run = *run_;
    if (run.nextDelivery >= run.nextCopy)
        return false;
    Job& job = run.jobs[run.nextDelivery];
    if (job.leftOut) {
        ++run.nextDelivery;
        return true;
    }
    QByteArray body;
    {
        const std::lock_guard lock(run.mutex);
        if (!job.composed)
            return false;
        body = std::move(job.body);
    }
    ++run.nextDelivery;
    addReportMails(send_, run.recipients, job.name, body);
    run.reporting.push_back(&job);
    return true;
}

Controller* ReportRunner::reportedController(const Job& job) {
    Controller* controller = app_.controller(job.controller);
    if (controller && controller->lastCheck == job.lastCheck && controller->lastReport == job.lastReport)
        return controller;
    // Removed, or edited, which resets its times: marking it reported now would hide from its next
    // report the events the edit is meant to bring back.
    DiagnosticLog::write("ReportRunner: " + job.name +
                         " was removed or changed while its report was composed; the report is sent, the "
                         "controller does not count as reported\n");
    return nullptr;
}

bool ReportRunner::pruneSome() {
    Run& run = *run_;
    if (run.reporting.empty())
        return false;
    const Job& job = *run.reporting.front();
    Controller* controller = reportedController(job);
    // Without a check its report time becomes the time of day (see Controller::report()); the end of
    // the run prunes what that leaves.
    if (controller && job.lastCheck != 0 &&
        app_.events.pruneOwner(controller->id, job.lastCheck, pruneStep) == pruneStep)
        return true;
    // Reported once its mails are in the outbox: from there they are delivered or given up with a line
    // in "app.log", whatever happens to the program in between.
    if (controller)
        app_.markReported(*controller);
    run.reporting.pop_front();
    return true;
}

void ReportRunner::finishRun() {
    app_.prune();
    std::function<void()> finished = std::move(run_->finished);
    run_.reset();
    if (finished)
        finished();
    // The callback may have queued a run and started it already.
    if (!run_)
        startNext();
}

} // namespace Warden
