#include "report/MailQueue.h"

#include "core/DiagnosticLog.h"
#include "report/QMailer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <future>
#include <mutex>

namespace Warden {

namespace {

// Qt hands posted calls between threads under its own futex-based lock, which ThreadSanitizer cannot
// see. Passing each call under this mutex as well makes the hand-over visible to it, so that the
// sanitizer runs keep reporting real races only; it costs one uncontended lock per mail.
std::mutex& handover() {
    static std::mutex mutex;
    return mutex;
}

template <class Call> void post(QObject* receiver, Call call) {
    const std::lock_guard lock(handover());
    QMetaObject::invokeMethod(
        receiver,
        [call = std::move(call)] {
            { const std::lock_guard received(handover()); }
            call();
        },
        Qt::QueuedConnection);
}

// A job whose texts share no data with the sender's: each thread then frees only what it alone holds.
MailJob ownCopy(const MailJob& job) {
    const auto own = [](const QByteArray& text) { return QByteArray(text.constData(), text.size()); };
    MailJob copy = job;
    for (QByteArray* text :
         {&copy.to, &copy.from, &copy.host, &copy.user, &copy.password, &copy.subject, &copy.body})
        *text = own(*text);
    copy.id = QString(job.id.constData(), job.id.size());
    return copy;
}

} // namespace

MailQueue::MailQueue(QObject* parent)
    : QObject(parent) {
    thread_.setObjectName(QStringLiteral("mail"));
    // Qt keeps the program's own path in a cache filled on first use; filling it here, before the
    // sending thread exists, keeps that thread to reading it.
    postwingProgram();
    worker_ = new QObject;
    worker_->moveToThread(&thread_);
    connect(&thread_, &QThread::finished, worker_, &QObject::deleteLater);
    // Joining the thread is, for the sanitizer, invisible as well: its last act passes the mutex on.
    connect(
        &thread_, &QThread::finished, this, [] { const std::lock_guard lock(handover()); },
        Qt::DirectConnection);
    // The thread's event dispatcher (and its wake-up descriptor) exists once started() is emitted;
    // waiting for it here through a standard primitive orders its creation before our first post
    // for ThreadSanitizer as well.
    std::promise<void> started;
    connect(
        &thread_, &QThread::started, this, [&started] { started.set_value(); }, Qt::DirectConnection);
    thread_.start();
    started.get_future().wait();
    disconnect(&thread_, &QThread::started, this, nullptr);
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
    bool ended = thread_.wait(QDeadlineTimer(waitMs));
    if (!ended) {
        // Stop must not wait for a mail server that takes its full minute.
        abortMailSends();
        thread_.wait();
        resumeMailSends();
    }
    { const std::lock_guard joined(handover()); }
    // The outcome of the last send is told before the owner goes on to end.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    return ended;
}

void MailQueue::enqueue(const QList<MailJob>& jobs) {
    if (jobs.isEmpty())
        return;
    pending_ += static_cast<int>(jobs.size());
    // Posted events to one receiver are delivered in the order they were posted: that keeps the
    // sends, and their lines in "app.log", in queue order.
    for (const MailJob& job : jobs)
        post(worker_, [this, job = ownCopy(job)] { send(job); });
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
    post(this, [this, id = QString(job.id.constData(), job.id.size()),
                error = QByteArray(error.constData(), error.size()), last] {
        emit sent(id, error);
        if (last)
            emit idle();
    });
}

} // namespace Warden
