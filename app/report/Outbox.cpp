#include "report/Outbox.h"

#include "core/Application.h"
#include "core/Clock.h"
#include "core/DiagnosticLog.h"
#include "report/MailError.h"
#include "report/MailQueue.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <set>

namespace Warden {

namespace {

constexpr QFileDevice::Permissions ownerOnlyFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
constexpr QFileDevice::Permissions ownerOnlyDirectory =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;

const QString failedDirectory = QStringLiteral("failed");
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

} // namespace

qint64 RetrySchedule::delayAfter(int failedAttempts) const {
    if (delays.isEmpty())
        return 3600;
    return delays.at(std::clamp<qsizetype>(failedAttempts - 1, 0, delays.size() - 1));
}

RetrySchedule RetrySchedule::fromEnvironment() {
    RetrySchedule schedule;
    bool ok = false;
    const qint64 seconds = qEnvironmentVariable("AMPWARDEN_OUTBOX_RETRY_SECONDS").toLongLong(&ok);
    if (ok && seconds > 0)
        schedule.delays = {seconds};
    return schedule;
}

Outbox::Outbox(MailQueue& queue, const QString& directory, RetrySchedule schedule, QObject* parent)
    : QObject(parent)
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
    const QStringList names = QDir(directory_).entryList({mailPattern}, QDir::Files, QDir::Name);
    for (const QString& name : names) {
        if (mails_.contains(name))
            continue;
        QFile file(pathOf(name));
        std::optional<OutboxMail> mail;
        if (file.open(QIODevice::ReadOnly))
            mail = OutboxMail::fromFile(file.readAll());
        file.close();
        if (!mail) {
            // Kept for a person to look at, out of the way of the sends.
            QFile::rename(pathOf(name), pathOf(failedDirectory + QLatin1Char('/') + name));
            DiagnosticLog::writeTimed("Outbox: " + name.toUtf8() + " is no report mail, moved to " +
                                      QDir::toNativeSeparators(pathOf(failedDirectory)).toUtf8() + "\n");
            continue;
        }
        mails_[name] = Entry{std::move(*mail), true};
        lastName_ = std::max(lastName_, name);
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
        if (name > lastName_ && !QFile::exists(pathOf(name)) &&
            !QFile::exists(pathOf(failedDirectory + QLatin1Char('/') + name)))
            break;
    }
    lastName_ = name;
    return name;
}

bool Outbox::store(const QString& name, const OutboxMail& mail) {
    if (!makeOwnerOnlyDirectory(directory_))
        return false;
    QSaveFile file(pathOf(name));
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(ownerOnlyFile))
        return false;
    const QByteArray data = mail.toFile();
    if (file.write(data) != data.size())
        return false;
    return file.commit();
}

void Outbox::add(OutboxMail mail) {
    const qint64 now = Clock::now();
    mail.queued = now;
    mail.nextAttempt = now;
    mail.attempts = 0;
    const QString name = newName(now);
    const bool stored = store(name, mail);
    if (!stored)
        DiagnosticLog::writeTimed("Outbox: cannot write " + pathOf(name).toUtf8() + ": the report of " +
                                  oneLine(mail.controller) + " to " + oneLine(mail.to) +
                                  " is lost if the program ends before it is sent\n");
    mails_[name] = Entry{std::move(mail), stored};
    emit changed();
    dispatch();
}

std::optional<qint64> Outbox::oldestQueued() const {
    std::optional<qint64> oldest;
    for (const auto& [name, entry] : mails_)
        oldest = std::min(oldest.value_or(entry.mail.queued), entry.mail.queued);
    return oldest;
}

std::optional<MailJob> Outbox::jobFor(const OutboxMail& mail) {
    using Business::Application;
    const Business::MailServer* server = nullptr;
    for (const Business::MailServer& s : Application::mailServers) {
        if (s.host == mail.serverHost && s.port == mail.serverPort && s.user == mail.serverUser &&
            s.useTLS == mail.serverTLS) {
            server = &s;
            break;
        }
    }
    // The server was edited since (moved, or its login changed): the recipient's server now.
    if (!server) {
        for (const Business::MailAccount& account : Application::mailAccounts) {
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
    return job;
}

void Outbox::dispatch() {
    if (stopped_ || !inFlight_.isEmpty())
        return;
    for (;;) {
        const qint64 now = Clock::now();
        // The oldest mail of each server is the only one of that server that may go.
        std::set<QByteArray> servers;
        auto due = mails_.end();
        for (auto it = mails_.begin(); it != mails_.end(); ++it) {
            if (!servers.insert(it->second.mail.serverKey()).second)
                continue;
            if (it->second.mail.nextAttempt <= now) {
                due = it;
                break;
            }
        }
        if (due == mails_.end())
            break;
        std::optional<MailJob> job = jobFor(due->second.mail);
        if (!job) {
            const QByteArray error =
                "no mail server for " + oneLine(due->second.mail.to) + " in the settings";
            DiagnosticLog::write(error + "\n");
            recordOutcome(due->first, error);
            continue;
        }
        job->id = due->first;
        inFlight_ = due->first;
        queue_.enqueue({*job});
        break;
    }
    armTimer();
}

void Outbox::armTimer() {
    timer_.stop();
    if (stopped_ || !inFlight_.isEmpty())
        return;
    std::set<QByteArray> servers;
    std::optional<qint64> earliest;
    for (const auto& [name, entry] : mails_)
        if (servers.insert(entry.mail.serverKey()).second)
            earliest = std::min(earliest.value_or(entry.mail.nextAttempt), entry.mail.nextAttempt);
    if (!earliest)
        return;
    // Checked at least once a minute, so that a clock that jumps (suspend, a corrected time) is noticed.
    const qint64 seconds = std::clamp<qint64>(*earliest - Clock::now(), 0, 60);
    timer_.start(static_cast<int>(seconds * 1000));
}

void Outbox::onSent(const QString& name, const QByteArray& error) {
    if (name == inFlight_)
        inFlight_.clear();
    recordOutcome(name, error);
    dispatch();
}

void Outbox::recordOutcome(const QString& name, const QByteArray& error) {
    const auto it = mails_.find(name);
    if (it != mails_.end()) {
        Entry& entry = it->second;
        switch (classifyMailError(error)) {
        case MailFailure::none:
            if (entry.stored)
                QFile::remove(pathOf(name));
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
            if (entry.stored)
                entry.stored = store(name, entry.mail);
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
    if (entry.stored) {
        store(name, entry.mail);
        QFile::rename(pathOf(name), failed);
    } else {
        QSaveFile file(failed);
        if (file.open(QIODevice::WriteOnly) && file.setPermissions(ownerOnlyFile)) {
            file.write(entry.mail.toFile());
            file.commit();
        }
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
    queue_.finish(waitMs);
    // The outcome of the send that ended in time is waiting as a queued call: record it now, or its
    // mail would go out again at the next start.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    if (!mails_.empty())
        DiagnosticLog::writeTimed("Outbox: " + QByteArray::number(count()) +
                                  " report mail(s) wait for the next start\n");
}

} // namespace Warden
