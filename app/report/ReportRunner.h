#pragma once

#include "core/CheckCycle.h"
#include "core/Records.h"
#include "report/Report.h"

#include <QObject>
#include <QThreadPool>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>

namespace Warden {

namespace Business {
class Application;
}

// Report runs that keep the window responsive: each controller's body and histograms are composed on
// a pool of threads (one controller per task) from the copy that Business::ReportCopy takes on the
// main thread, and the mails are handed on in order: controllers in list order, recipients in list
// order, then the controller counts as reported, and the store ends up pruned. The main thread takes the
// copies, hands on the mails and prunes each reported controller's old events in steps short enough for the
// event loop to keep turning, and copies only a few controllers ahead of the mails it has handed on, which
// bounds the memory a run holds. Runs queue behind each other.
//
// A controller removed or edited during the run is found again by its serial: one whose copy was
// taken still has its mail sent from the copy, but does not count as reported (an edit starts it
// over); one removed before its copy was complete is left out. Main thread only.
class ReportRunner final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ReportRunner)

public:
    // `send` takes the mails on the main thread: the outbox's add() in the program.
    ReportRunner(Business::Application& app, Business::MailSink send, QObject* parent = nullptr);
    // The end of the program: the controllers being composed are finished, their mails and those
    // before them are still sent (to an outbox that has to outlive the runner), the rest of the run
    // is dropped with a line in "app.log".
    ~ReportRunner() override;

    // Runs the reports of [from, till], after the runs before it; `finished` is called on this thread
    // once the last controller is reported and the store pruned.
    void run(Business::Time from, Business::Time till, std::function<void()> finished = {});
    bool running() const { return run_ != nullptr; }
    // How many controllers are composed at once; one per core but the main thread's unless set.
    void setMaxThreads(int threads);
    int maxThreads() const { return pool_.maxThreadCount(); }

    // run() as CheckCycle::setReportRun() takes it; the runner has to outlive the cycle's use of it.
    CheckCycle::AsyncReportRun reportRun();

private:
    struct Job;
    struct Run;

    void startNext();
    void pump();
    void schedulePump();
    bool deliverNext();
    // One step of taking the next controller's copy; it goes to the pool once complete.
    void copySome();
    // One step of pruning the events of the controller whose mails went out first, or, when none are
    // left to prune, of counting it as reported; false when no controller waits for that.
    bool pruneSome();
    // The job's controller, unless it was removed or edited since its copy was taken.
    Business::Controller* reportedController(const Job& job);
    void finishRun();

    Business::Application& app_;
    Business::MailSink send_;
    QThreadPool pool_;
    struct Queued {
        Business::Time from = 0;
        Business::Time till = 0;
        std::function<void()> finished;
    };
    std::deque<Queued> queue_;
    std::unique_ptr<Run> run_;
    QTimer pumpTimer_;
};

} // namespace Warden
