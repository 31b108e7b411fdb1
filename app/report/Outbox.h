#pragma once

#include "report/OutboxFile.h"
#include "report/OutboxMail.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <map>
#include <optional>
#include <set>

namespace Warden {

namespace Business {
class Application;
}

class MailQueue;
struct MailJob;

// When to try again after a transient failure, and when to stop trying.
struct RetrySchedule {
    // Seconds to wait after the 1st, 2nd, ... failed attempt; the last repeats.
    QList<qint64> delays{60, 120, 300, 600, 1800, 3600};
    qint64 giveUpAfter = 3 * 86400;

    qint64 delayAfter(int failedAttempts) const;
    qint64 longestDelay() const;
    // Every retry after `seconds`.
    static RetrySchedule every(qint64 seconds);
    // The program's schedule: the one above unless the command line (--mail-retry) set another one
    // before the main window was built.
    static RetrySchedule forProgram();
    static void useForProgram(const RetrySchedule& schedule);
};

// The report mails that have not been delivered yet, each in a file of its own under `directory`
// (owner-only: the files hold whole reports) from before its first attempt until its server answers
// 250, so that neither a mail server that is down nor the end of the program (Stop, SIGTERM, kill -9)
// loses a report. Transient failures are retried on the schedule; a 5xx refusal or a mail that could
// not be delivered within the schedule's time goes to `directory`/failed with one line in "app.log".
// The mails to one recipient through one server leave in the order they were queued, so a report
// waiting for its recipient is never overtaken by a newer one, while the others' mails go on; the
// mail queue sends to each server one at a time and to different servers side by side.
// Main thread only.
class Outbox final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Outbox)

public:
    static constexpr const char* defaultDirectory = "outbox";

    // `app` gives the mail servers and recipients, whose passwords the files leave out.
    Outbox(const Business::Application& app, MailQueue& queue, const QString& directory = QString::fromLatin1(defaultDirectory),
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
    // The end of the program: the sends in progress get the mail queue's time to finish and their
    // outcomes are recorded; the rest stays on disk for the next start, and "app.log" says how many
    // mails that are, which sends were cut off and which mails could not be written at all.
    void stop(int waitMs);

    int count() const { return static_cast<int>(mails_.size()); }
    // First-queued time of the oldest waiting mail, or nothing when none waits.
    std::optional<qint64> oldestQueued() const;
    QString directory() const { return directory_; }

    // The send of `mail` with its server's settings as they are now (password included), or nothing
    // when the settings hold no such server and no server for its recipient either.
    std::optional<MailJob> jobFor(const OutboxMail& mail) const;

signals:
    // A mail was added, delivered or given up.
    void changed();

private:
    const Business::Application& app_;
    struct Entry {
        OutboxMail mail;
        // Its file exists, possibly from before the last failed rewrite.
        bool onDisk = false;
    };

    QString pathOf(const QString& name) const;
    QString newName(qint64 now);
    // Empty when written, else the system's reason.
    QString store(const QString& name, const OutboxMail& mail, OutboxFile::Existing existing);
    void removeFile(const QString& name, const Entry& entry);
    void logStopped(const QStringList& cut, int waitMs);
    void onSent(const QString& name, const QByteArray& error);
    void recordOutcome(const QString& name, const QByteArray& error);
    void giveUp(const QString& name, Entry& entry, const QByteArray& error, const QByteArray& reason);
    void distrustFuture(Entry& entry, qint64 now);
    void armTimer();

    MailQueue& queue_;
    QString directory_;
    RetrySchedule schedule_;
    // By file name, which starts with the queue time: the order the mails were queued in.
    std::map<QString, Entry> mails_;
    // Handed to the mail queue, outcome not yet known.
    std::set<QString> inFlight_;
    QString lastName_;
    QTimer timer_;
    bool stopped_ = false;
};

} // namespace Warden
