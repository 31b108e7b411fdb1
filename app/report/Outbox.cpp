#include "report/Outbox.h"

#include "core/Application.h"
#include "core/Clock.h"
#include "core/ClockText.h"
#include "core/DiagnosticLog.h"
#include "core/ErrorText.h"
#include "report/MailError.h"
#include "report/MailQueue.h"
#include "report/OutboxFile.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

namespace Warden {

namespace {

constexpr QFileDevice::Permissions ownerOnlyDirectory =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;

const QString failedDirectory = QStringLiteral("failed");
const QString fromBefore = QStringLiteral("the file keeps the state before this attempt");
const QString mailPattern = QStringLiteral("*.mail");

// Names and addresses come from the settings file: a line break in one must not split the log line.
QByteArray oneLine(const QByteArray& text) {
    QByteArray line = text;
    line.replace('\r', ' ').replace('\n', ' ');
    return line;
}

bool makeOwnerOnlyDirectory(const QString& path) {
    return QDir().mkpath(path) && QFile::setPermissions(path, ownerOnlyDirectory);
}

QByteArray whose(const OutboxMail& mail) {
    return "the report mail of " + oneLine(mail.controller) + " to " + oneLine(mail.to);
}

QByteArray shown(const QString& path) {
    return QDir::toNativeSeparators(path).toUtf8();
}

// Qt's file classes often answer "Unknown error" where the system said why (a full disk): the
// reason is taken from errno right after the failed call.
QString systemReason(const QFileDevice& file, int error) {
    return error != 0 ? QString::fromLocal8Bit(errorText(error)) : file.errorString();
}

} // namespace

qint64 RetrySchedule::delayAfter(int failedAttempts) const {
    if (delays.isEmpty())
        return 3600;
    return delays.at(std::clamp<qsizetype>(failedAttempts - 1, 0, delays.size() - 1));
}

qint64 RetrySchedule::longestDelay() const {
    return delays.isEmpty() ? 3600 : *std::max_element(delays.begin(), delays.end());
}

RetrySchedule RetrySchedule::every(qint64 seconds) {
    RetrySchedule schedule;
    schedule.delays = {seconds};
    return schedule;
}

namespace {
RetrySchedule& programSchedule() {
    static RetrySchedule schedule;
    return schedule;
}
} // namespace

RetrySchedule RetrySchedule::forProgram() {
    return programSchedule();
}

void RetrySchedule::useForProgram(const RetrySchedule& schedule) {
    programSchedule() = schedule;
}

Outbox::Outbox(const Business::Application& app, MailQueue& queue, const QString& directory, RetrySchedule schedule,
               QObject* parent)
    : QObject(parent)
    , app_(app)
    , queue_(queue)
    , directory_(directory)
    , schedule_(std::move(schedule)) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &Outbox::dispatch);
    connect(&queue_, &MailQueue::sent, this, &Outbox::onSent);
}

Outbox::~Outbox() {
    stop(MailQueue::finishWaitMs);
}

QString Outbox::pathOf(const QString& name) const {
    return QDir(directory_).filePath(name);
}

void Outbox::load() {
    makeOwnerOnlyDirectory(directory_);
    makeOwnerOnlyDirectory(pathOf(failedDirectory));
    OutboxFile::removeLeftovers(directory_);
    OutboxFile::removeLeftovers(pathOf(failedDirectory));
    // System: dangling links too, so that each is named in "app.log".
    const QStringList names =
        QDir(directory_).entryList({mailPattern}, QDir::Files | QDir::System, QDir::Name);
    for (const QString& name : names) {
        if (mails_.contains(name))
            continue;
        const OutboxFile::Read file = OutboxFile::read(pathOf(name));
        lastName_ = std::max(lastName_, name);
        if (file.refused) {
            DiagnosticLog::writeTimed("Outbox: " + shown(pathOf(name)) + " left alone (" +
                                      file.problem.toUtf8() + "): no report mail of this program's\n");
            continue;
        }
        const std::optional<OutboxMail> mail = file.data ? OutboxMail::fromFile(*file.data) : std::nullopt;
        if (!mail) {
            // Kept for a person to look at, out of the way of the sends.
            OutboxFile::move(pathOf(name), pathOf(failedDirectory + QLatin1Char('/') + name));
            DiagnosticLog::writeTimed("Outbox: " + name.toUtf8() + " is no report mail, moved to " +
                                      QDir::toNativeSeparators(pathOf(failedDirectory)).toUtf8() + "\n");
            continue;
        }
        mails_[name] = Entry{*mail, true};
    }
    emit changed();
    dispatch();
}

QString Outbox::newName(qint64 now) {
    // Names sort in queue order even when the clock steps back.
    const qint64 stamp = std::max(now, lastName_.left(12).toLongLong());
    QString name;
    for (int n = 0;; ++n) {
        name =
            QStringLiteral("%1-%2.mail").arg(stamp, 12, 10, QLatin1Char('0')).arg(n, 6, 10, QLatin1Char('0'));
        if (name > lastName_ && !OutboxFile::taken(pathOf(name)) &&
            !OutboxFile::taken(pathOf(failedDirectory + QLatin1Char('/') + name)))
            break;
    }
    lastName_ = name;
    return name;
}

QString Outbox::store(const QString& name, const OutboxMail& mail, OutboxFile::Existing existing) {
    if (!makeOwnerOnlyDirectory(directory_))
        return QStringLiteral("cannot create the directory");
    return OutboxFile::write(pathOf(name), mail.toFile(), existing);
}

void Outbox::removeFile(const QString& name, const Entry& entry) {
    if (!entry.onDisk)
        return;
    QFile file(pathOf(name));
    errno = 0;
    if (!file.remove() && file.exists())
        DiagnosticLog::writeTimed("Outbox: cannot remove " + shown(file.fileName()) + " (" +
                                  systemReason(file, errno).toUtf8() + "): " + whose(entry.mail) +
                                  ", delivered, goes out again at the next start\n");
}

void Outbox::add(OutboxMail mail) {
    const qint64 now = Clock::now();
    mail.queued = now;
    mail.nextAttempt = now;
    mail.attempts = 0;
    const QString name = newName(now);
    const QString problem = store(name, mail, OutboxFile::Existing::keep);
    if (!problem.isEmpty())
        DiagnosticLog::writeTimed("Outbox: cannot write " + shown(pathOf(name)) + " (" + problem.toUtf8() +
                                  "): " + whose(mail) + " is lost if the program ends before it is sent\n");
    mails_[name] = Entry{std::move(mail), problem.isEmpty()};
    emit changed();
    dispatch();
}

std::optional<qint64> Outbox::oldestQueued() const {
    std::optional<qint64> oldest;
    for (const auto& [name, entry] : mails_)
        oldest = std::min(oldest.value_or(entry.mail.queued), entry.mail.queued);
    return oldest;
}

std::optional<MailJob> Outbox::jobFor(const OutboxMail& mail) const {
    const auto sameSettings = [&mail](const Business::MailServer& s) {
        return s.host == mail.serverHost && s.port == mail.serverPort && s.user == mail.serverUser &&
               s.useTLS == mail.serverTLS;
    };
    const Business::MailServer* server = nullptr;
    // Two entries may differ in their password alone: the one the mail was queued for.
    if (!mail.serverId.isEmpty()) {
        for (const Business::MailServer& s : app_.mailServers) {
            if (mailServerId(s.host, s.port, s.user, s.useTLS, s.password) == mail.serverId) {
                server = &s;
                break;
            }
        }
    }
    // Its password changed since, or a file from before the id: the recipient's own server when it
    // still has those settings, else the first that has them.
    if (!server) {
        for (const Business::MailAccount& account : app_.mailAccounts) {
            if (account.to == mail.to && account.server && sameSettings(*account.server)) {
                server = account.server;
                break;
            }
        }
    }
    if (!server) {
        for (const Business::MailServer& s : app_.mailServers) {
            if (sameSettings(s)) {
                server = &s;
                break;
            }
        }
    }
    // The server was edited since (moved, or its login changed): the recipient's server now.
    if (!server) {
        for (const Business::MailAccount& account : app_.mailAccounts) {
            if (account.to == mail.to && account.server) {
                server = account.server;
                break;
            }
        }
    }
    if (!server)
        return std::nullopt;
    MailJob job;
    job.to = mail.to;
    job.from = mail.from;
    job.host = server->host;
    job.port = server->port;
    job.user = server->user;
    job.password = server->password;
    job.useTLS = server->useTLS;
    job.subject = mail.subject;
    job.body = mail.body;
    job.lane = mailServerId(job.host, job.port, job.user, job.useTLS, job.password);
    return job;
}

void Outbox::dispatch() {
    if (stopped_)
        return;
    const qint64 now = Clock::now();
    QList<MailJob> jobs;
    QStringList withoutServer;
    // Only the oldest mail of each recipient (through its server) may go: a report waiting for its
    // retry holds the newer ones to the same mailbox, not everyone else's.
    std::set<QByteArray> first;
    for (auto& [name, entry] : mails_) {
        distrustFuture(entry, now);
        if (!first.insert(entry.mail.orderKey()).second || inFlight_.contains(name) ||
            entry.mail.nextAttempt > now)
            continue;
        std::optional<MailJob> job = jobFor(entry.mail);
        if (!job) {
            withoutServer << name;
            continue;
        }
        job->id = name;
        inFlight_.insert(name);
        jobs << *job;
    }
    for (const QString& name : withoutServer) {
        const QByteArray error =
            "no mail server for " + oneLine(mails_.at(name).mail.to) + " in the settings";
        DiagnosticLog::write(error + "\n");
        recordOutcome(name, error);
    }
    queue_.enqueue(jobs);
    armTimer();
}

// No schedule of ours sets a time that far ahead: the clock ran ahead when it was set (a wrong
// manual setting, a bad RTC) and has been put right since. Waiting for it would hold the mail, and
// every later one to its recipient, for as long as the clock was off, and keep it from being given
// up; it is due now and counts as queued now.
void Outbox::distrustFuture(Entry& entry, qint64 now) {
    const qint64 horizon = now + std::max<qint64>(86400, schedule_.longestDelay());
    if (entry.mail.nextAttempt <= horizon && entry.mail.queued <= horizon)
        return;
    DiagnosticLog::writeTimed("Outbox: " + whose(entry.mail) + " was dated ahead of the clock (queued " +
                              clockText(entry.mail.queued) + ", next attempt " +
                              clockText(entry.mail.nextAttempt) + "); it is due now\n");
    entry.mail.queued = std::min(entry.mail.queued, now);
    entry.mail.nextAttempt = std::min(entry.mail.nextAttempt, now);
}

void Outbox::armTimer() {
    timer_.stop();
    if (stopped_)
        return;
    std::set<QByteArray> first;
    std::optional<qint64> earliest;
    for (const auto& [name, entry] : mails_)
        if (first.insert(entry.mail.orderKey()).second && !inFlight_.contains(name))
            earliest = std::min(earliest.value_or(entry.mail.nextAttempt), entry.mail.nextAttempt);
    if (!earliest)
        return;
    // Checked at least once a minute, so that a clock that jumps (suspend, a corrected time) is noticed.
    const qint64 seconds = std::clamp<qint64>(*earliest - Clock::now(), 0, 60);
    timer_.start(static_cast<int>(seconds * 1000));
}

void Outbox::onSent(const QString& name, const QByteArray& error) {
    inFlight_.erase(name);
    recordOutcome(name, error);
    dispatch();
}

void Outbox::recordOutcome(const QString& name, const QByteArray& error) {
    const auto it = mails_.find(name);
    if (it != mails_.end()) {
        Entry& entry = it->second;
        switch (classifyMailError(error)) {
        case MailFailure::none:
            removeFile(name, entry);
            mails_.erase(it);
            emit changed();
            break;
        case MailFailure::permanent:
            giveUp(name, entry, error, mailErrorReason(error));
            break;
        case MailFailure::transient: {
            const qint64 now = Clock::now();
            entry.mail.attempts += 1;
            entry.mail.lastError = error;
            if (now - entry.mail.queued >= schedule_.giveUpAfter) {
                giveUp(name, entry, error,
                       "not delivered within " + QByteArray::number(schedule_.giveUpAfter / 3600) +
                           " hours, last error: " + mailErrorReason(error));
                break;
            }
            entry.mail.nextAttempt = now + schedule_.delayAfter(entry.mail.attempts);
            const QString problem = store(
                name, entry.mail, entry.onDisk ? OutboxFile::Existing::replace : OutboxFile::Existing::keep);
            if (!problem.isEmpty() && entry.onDisk)
                DiagnosticLog::writeTimed("Outbox: cannot rewrite " + shown(pathOf(name)) + " (" +
                                          problem.toUtf8() + "): " + fromBefore.toUtf8() + "\n");
            entry.onDisk = entry.onDisk || problem.isEmpty();
            break;
        }
        }
    }
}

void Outbox::giveUp(const QString& name, Entry& entry, const QByteArray& error, const QByteArray& reason) {
    entry.mail.lastError = error;
    const QString failed = pathOf(failedDirectory + QLatin1Char('/') + name);
    makeOwnerOnlyDirectory(pathOf(failedDirectory));
    // Rewritten in place first (with its reason), so that the move is one rename: the file is in one
    // place or the other, never in neither.
    if (entry.onDisk) {
        store(name, entry.mail, OutboxFile::Existing::replace);
        const QString problem = OutboxFile::move(pathOf(name), failed);
        if (!problem.isEmpty())
            DiagnosticLog::writeTimed("Outbox: cannot move " + shown(pathOf(name)) + " to " + shown(failed) +
                                      " (" + problem.toUtf8() + ")\n");
    } else {
        const QString problem = OutboxFile::write(failed, entry.mail.toFile(), OutboxFile::Existing::keep);
        if (!problem.isEmpty())
            DiagnosticLog::writeTimed("Outbox: cannot write " + shown(failed) + " (" + problem.toUtf8() +
                                      ")\n");
    }
    DiagnosticLog::writeTimed("Report mail of " + oneLine(entry.mail.controller) + " to " +
                              oneLine(entry.mail.to) + " given up (" +
                              QDir::toNativeSeparators(failed).toUtf8() + "): " + oneLine(reason) + "\n");
    mails_.erase(name);
    emit changed();
}

void Outbox::stop(int waitMs) {
    if (stopped_)
        return;
    stopped_ = true;
    timer_.stop();
    // The outcomes of the sends that end in time are recorded from inside finish().
    logStopped(queue_.finish(waitMs), waitMs);
}

void Outbox::logStopped(const QStringList& cut, int waitMs) {
    for (const QString& name : cut) {
        const auto it = mails_.find(name);
        if (it != mails_.end())
            DiagnosticLog::writeTimed(
                "Outbox: the end of the program cut off the send of " + whose(it->second.mail) + " after " +
                QByteArray::number(waitMs / 1000.0, 'g', 6) +
                " s without the server's answer; it goes out again at the next start, and arrives twice "
                "if the server had already taken all of it\n");
    }
    int waiting = 0;
    for (auto& [name, entry] : mails_) {
        // A last try for the mails a full disk kept in memory only.
        const QString problem =
            entry.onDisk ? QString() : store(name, entry.mail, OutboxFile::Existing::keep);
        entry.onDisk = entry.onDisk || problem.isEmpty();
        if (entry.onDisk)
            ++waiting;
        else
            DiagnosticLog::writeTimed("Outbox: " + whose(entry.mail) + " is lost: cannot write " +
                                      shown(pathOf(name)) + " (" + problem.toUtf8() + ")\n");
    }
    if (waiting > 0)
        DiagnosticLog::writeTimed("Outbox: " + QByteArray::number(waiting) +
                                  " report mail(s) wait for the next start\n");
}

} // namespace Warden
