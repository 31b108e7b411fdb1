#pragma once

#include "report/OutboxMail.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <map>
#include <optional>

namespace Warden {

class MailQueue;
struct MailJob;

// When to try again after a transient failure, and when to stop trying.
struct RetrySchedule {
    // Seconds to wait after the 1st, 2nd, ... failed attempt; the last repeats.
    QList<qint64> delays{60, 120, 300, 600, 1800, 3600};
    qint64 giveUpAfter = 3 * 86400;

    qint64 delayAfter(int failedAttempts) const;
    // The schedule above, unless AMPWARDEN_OUTBOX_RETRY_SECONDS holds a number of seconds: then every
    // retry waits that long. Only the end-to-end tests set it, to see a retry within their time limit;
    // users have no reason to.
    static RetrySchedule fromEnvironment();
};

// The report mails that have not been delivered yet, each in a file of its own under `directory`
// (owner-only: the files hold whole reports) from before its first attempt until its server answers
// 250, so that neither a mail server that is down nor the end of the program (Stop, SIGTERM, kill -9)
// loses a report. Transient failures are retried on the schedule; a 5xx refusal or a mail that could
// not be delivered within the schedule's time goes to `directory`/failed with one line in "app.log".
// One send at a time through the mail queue; the mails to one server leave in the order they were
// queued, so a report waiting for its server is never overtaken by a newer one to that server.
// Main thread only.
class Outbox final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Outbox)

public:
    static constexpr const char* defaultDirectory = "outbox";

    Outbox(MailQueue& queue, const QString& directory = QString::fromLatin1(defaultDirectory),
           RetrySchedule schedule = RetrySchedule(), QObject* parent = nullptr);
    // stop().
    ~Outbox() override;

    // Picks up the mails an earlier run left behind and starts sending.
    void load();
    // Stores the mail (queued now, due now) and sends it when its turn comes. A mail that cannot be
    // stored is still sent from memory, with a line in "app.log".
    void add(OutboxMail mail);
    // Sends whatever is due now; the timer calls it, and tests after moving the clock.
    void dispatch();
    // The end of the program: the send in progress gets the mail queue's time to finish and its outcome
    // is recorded; the rest stays on disk for the next start.
    void stop(int waitMs);

    int count() const { return static_cast<int>(mails_.size()); }
    // First-queued time of the oldest waiting mail, or nothing when none waits.
    std::optional<qint64> oldestQueued() const;
    QString directory() const { return directory_; }

    // The send of `mail` with its server's settings as they are now (password included), or nothing
    // when the settings hold no such server and no server for its recipient either.
    static std::optional<MailJob> jobFor(const OutboxMail& mail);

signals:
    // A mail was added, delivered or given up.
    void changed();

private:
    struct Entry {
        OutboxMail mail;
        bool stored = false;
    };

    QString pathOf(const QString& name) const;
    QString newName(qint64 now);
    bool store(const QString& name, const OutboxMail& mail);
    void onSent(const QString& name, const QByteArray& error);
    void recordOutcome(const QString& name, const QByteArray& error);
    void giveUp(const QString& name, Entry& entry, const QByteArray& error, const QByteArray& reason);
    void armTimer();

    MailQueue& queue_;
    QString directory_;
    RetrySchedule schedule_;
    // By file name, which starts with the queue time: the order the mails were queued in.
    std::map<QString, Entry> mails_;
    QString inFlight_;
    QString lastName_;
    QTimer timer_;
    bool stopped_ = false;
};

} // namespace Warden
