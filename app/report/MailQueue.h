#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
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
};

// Sends mails through postwing on a thread of its own, strictly one after another in the order they
// were queued, so that a mail server that does not answer (up to a minute per message) never freezes
// the window. After each send the outcome (postwing's error log, empty when sent) and a line end go to
// "app.log". Owned by the main window; enqueue() may be called from any thread.
class MailQueue final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MailQueue)

public:
    explicit MailQueue(QObject* parent = nullptr);
    // Lets the send in progress end and drops what is still queued, with a line in "app.log".
    ~MailQueue() override;

    void enqueue(const QList<MailJob>& jobs);
    // Mails queued and not yet through postwing.
    int pending() const { return pending_.load(); }

signals:
    // One mail went through postwing; `error` is empty when the server accepted it. Emitted on the
    // sending thread: connect with the default (queued) connection.
    void sent(const QByteArray& to, const QByteArray& error);
    // The queue ran empty.
    void idle();

private:
    void send(const MailJob& job);

    QThread thread_;
    QObject* worker_ = nullptr;
    std::atomic<int> pending_{0};
    std::atomic<bool> stopping_{false};
};

} // namespace Warden
