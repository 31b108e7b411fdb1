#include "report/MailQueue.h"

#include "core/DiagnosticLog.h"
#include "report/QMailer.h"

#include <QDeadlineTimer>

namespace Warden {

MailQueue::MailQueue(QObject* parent)
    : QObject(parent) {
    thread_.setObjectName(QStringLiteral("mail"));
    worker_ = new QObject;
    worker_->moveToThread(&thread_);
    connect(&thread_, &QThread::finished, worker_, &QObject::deleteLater);
    thread_.start();
}

MailQueue::~MailQueue() {
    finish(finishWaitMs);
}

bool MailQueue::finish(int waitMs) {
    if (finished_)
        return true;
    finished_ = true;
    stopping_ = true;
    // The loop ends after the send in progress; the sends behind it see stopping_ and do nothing
    // (the outbox keeps their files for the next start).
    thread_.quit();
    if (thread_.wait(QDeadlineTimer(waitMs)))
        return true;
    // Stop must not wait for a mail server that takes its full minute.
    abortMailSends();
    thread_.wait();
    resumeMailSends();
    return false;
}

void MailQueue::enqueue(const QList<MailJob>& jobs) {
    if (jobs.isEmpty())
        return;
    pending_ += static_cast<int>(jobs.size());
    // Posted events to one receiver are delivered in the order they were posted: that keeps the
    // sends, and their lines in "app.log", in queue order.
    for (const MailJob& job : jobs)
        QMetaObject::invokeMethod(
            worker_, [this, job] { send(job); }, Qt::QueuedConnection);
}

void MailQueue::send(const MailJob& job) {
    if (stopping_)
        return;
    sendEmail(job.to.constData(), job.from.constData(), job.host.constData(), &job.port, job.user.constData(),
              job.password.constData(), &job.useTLS, job.subject.constData(), job.body);
    const QByteArray error = takeMailError();
    if (job.logOutcome)
        DiagnosticLog::write(error + "\n");
    const bool last = --pending_ == 0;
    emit sent(job.id, error);
    if (last)
        emit idle();
}

} // namespace Warden
