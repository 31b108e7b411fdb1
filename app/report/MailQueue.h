#pragma once

#include "report/MailJob.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <deque>
#include <memory>
#include <vector>

namespace Warden {

class QMailer;

// Runs postwing for queued mails without blocking its thread: up to `parallelSends` at once, one at
// a time per lane. After each failed send its error text (postwing's error log) and a line end go to
// "app.log". Owned by the main window (through the outbox); owner's thread only.
class MailQueue final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MailQueue)

public:
    // How long the end of the program waits for the sends in progress.
    static constexpr int finishWaitMs = 10000;
    static constexpr int parallelSends = 4;
    // A safety net only: postwing ends a session by itself within the SMTP time limits (ten minutes
    // for the server's reply to the end of the data), and stopping it while the server confirms the
    // message would deliver the report twice.
    static constexpr int defaultSendLimitMs = 20 * 60 * 1000;

    explicit MailQueue(QObject* parent = nullptr);
    // finish() with finishWaitMs, unless that already happened.
    ~MailQueue() override;

    void enqueue(const QList<MailJob>& jobs);
    // The end of the program: no further send starts; those in progress get up to `waitMs` to end
    // (their `sent` is emitted before finish() returns) and are cut off (their postwing killed) after
    // that. Returns the ids of the sends cut off; later calls return nothing.
    QStringList finish(int waitMs);
    // Mails queued and not yet through postwing.
    int pending() const { return static_cast<int>(waiting_.size() + running_.size()); }
    // Tests shorten it.
    void setSendLimitMs(int limitMs) { sendLimitMs_ = limitMs; }

signals:
    // The mail with `id` went through postwing; `error` is empty when the server accepted it.
    void sent(const QString& id, const QByteArray& error);

private:
    struct Running;

    void startDue();
    void start(MailJob job);
    void ended(QMailer* process, bool overLimit);

    std::deque<MailJob> waiting_;
    std::vector<std::unique_ptr<Running>> running_;
    int sendLimitMs_ = defaultSendLimitMs;
    bool finished_ = false;
};

} // namespace Warden
