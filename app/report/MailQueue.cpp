#include "report/MailQueue.h"

#include "core/DiagnosticLog.h"
#include "report/QMailer.h"

#include <QDeadlineTimer>
#include <QTimer>

#include <algorithm>
#include <set>

namespace Warden {

struct MailQueue::Running {
    MailJob job;
    // A child of the queue: deleted with it when the program ends before the event loop could.
    QMailer* process = nullptr;
    QTimer* limit = nullptr;
};

MailQueue::MailQueue(QObject* parent)
    : QObject(parent) {
    // Qt keeps the program's own path in a cache filled on first use; a send then finds postwing
    // without searching again.
    postwingProgram();
}

MailQueue::~MailQueue() {
    finish(finishWaitMs);
}

void MailQueue::enqueue(const QList<MailJob>& jobs) {
    if (finished_)
        return;
    waiting_.insert(waiting_.end(), jobs.begin(), jobs.end());
    startDue();
}

// One job at a time, searched afresh: starting one may end it at once (no postwing to start), and the
// outcome may queue more before this returns.
void MailQueue::startDue() {
    while (!finished_ && running_.size() < static_cast<std::size_t>(parallelSends)) {
        std::set<QByteArray> busy;
        for (const auto& running : running_)
            busy.insert(running->job.lane);
        auto next = waiting_.begin();
        // A lane whose first waiting job cannot go holds its later ones too.
        for (; next != waiting_.end() && !busy.insert(next->lane).second; ++next) {
        }
        if (next == waiting_.end())
            return;
        MailJob job = std::move(*next);
        waiting_.erase(next);
        start(std::move(job));
    }
}

void MailQueue::start(MailJob job) {
    auto* process = new QMailer;
    process->setParent(this);
    auto* limit = new QTimer(process);
    limit->setSingleShot(true);
    connect(process, &QProcess::finished, this, [this, process] { ended(process, false); });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            ended(process, false);
    });
    connect(limit, &QTimer::timeout, this, [this, process] {
        disconnect(process, nullptr, this, nullptr);
        process->kill();
        process->waitForFinished(1000);
        ended(process, true);
    });
    // Its texts are shared, not copied: the one in the list may be gone when startSend() returns.
    const MailJob sending = job;
    running_.push_back(std::make_unique<Running>(Running{std::move(job), process, limit}));
    limit->start(sendLimitMs_);
    // May end the send already (nothing to start): nothing of it is touched after this.
    process->startSend(sending);
}

void MailQueue::ended(QMailer* process, bool overLimit) {
    const auto it = std::find_if(running_.begin(), running_.end(),
                                 [process](const auto& running) { return running->process == process; });
    if (it == running_.end())
        return;
    const std::unique_ptr<Running> done = std::move(*it);
    running_.erase(it);
    done->limit->stop();
    disconnect(process, nullptr, this, nullptr);
    const MailResult result = process->result(overLimit ? sendLimitMs_ : 0);
    process->deleteLater();
    // A delivered mail leaves no line: the outbox and the metrics count those.
    if (done->job.logOutcome && !result.sent())
        DiagnosticLog::write(result.error + "\n");
    emit sent(done->job.id, result.error);
    startDue();
}

QStringList MailQueue::finish(int waitMs) {
    if (finished_)
        return {};
    finished_ = true;
    // The sends not started keep their outbox files for the next start.
    waiting_.clear();
    const QDeadlineTimer deadline(waitMs);
    while (!running_.empty() && !deadline.hasExpired()) {
        // Each in turn, briefly: whichever ends first is recorded first (ended() runs from inside the
        // wait and takes it off the list).
        std::vector<QMailer*> processes;
        for (const auto& running : running_)
            processes.push_back(running->process);
        for (QMailer* process : processes) {
            const bool stillRunning = std::any_of(running_.begin(), running_.end(),
                                                  [process](const auto& r) { return r->process == process; });
            if (stillRunning && !deadline.hasExpired())
                process->waitForFinished(
                    static_cast<int>(std::clamp<qint64>(deadline.remainingTime(), 1, 50)));
        }
    }
    QStringList cut;
    for (const auto& running : running_) {
        disconnect(running->process, nullptr, this, nullptr);
        running->process->kill();
        running->process->waitForFinished(1000);
        delete running->process;
        cut << running->job.id;
    }
    running_.clear();
    return cut;
}

} // namespace Warden
