#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>

namespace Warden {

// Everything one send needs, copied, so that the sending thread shares nothing with the state.
struct MailJob {
    QByteArray to;
    QByteArray from;
    QByteArray host;
    quint16 port = 0;
    QByteArray user;
    QByteArray password;
    bool useTLS = false;
    QByteArray subject;
    QByteArray body;
    // Report mails leave their outcome in "app.log"; the test e-mail only shows it.
    bool logOutcome = true;
    // Comes back with the outcome, so the sender knows which of its mails it was.
    QString id;
};

// Sends mails through postwing on a thread of its own, strictly one after another in the order they
// were queued, so that a mail server that does not answer (up to a minute per message) never freezes
// the window. After each send the outcome (postwing's error log, empty when sent) and a line end go to
// "app.log". Owned by the main window (through the outbox); enqueue() may be called from any thread.
class MailQueue final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MailQueue)

public:
    // How long the end of the program waits for the send in progress.
    static constexpr int finishWaitMs = 10000;

    explicit MailQueue(QObject* parent = nullptr);
    // finish() with finishWaitMs, unless that already happened.
    ~MailQueue() override;

    void enqueue(const QList<MailJob>& jobs);
    // The end of the program: no further send starts; the one in progress gets up to `waitMs` to end
    // and is cut off (its postwing killed) after that; its `sent` is emitted before finish() returns.
    // True when it ended by itself. Owner's thread only; later calls do nothing.
    bool finish(int waitMs);
    // Mails queued and not yet through postwing.
    int pending() const { return pending_.load(); }

signals:
    // The mail with `id` went through postwing; `error` is empty when the server accepted it. Emitted
    // on the queue's own thread, in the order of the sends.
    void sent(const QString& id, const QByteArray& error);
    // The queue ran empty.
    void idle();

private:
    void send(const MailJob& job);

    QThread thread_;
    QObject* worker_ = nullptr;
    std::atomic<int> pending_{0};
    std::atomic<bool> stopping_{false};
    bool finished_ = false;
};

} // namespace Warden
