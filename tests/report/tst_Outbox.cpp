#include "report/MailError.h"
#include "report/MailQueue.h"
#include "report/Outbox.h"
#include "report/OutboxFile.h"
#include "report/QMailer.h"

#include "TestSupport.h"

#include "core/Application.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>

using namespace Warden;
using Warden::Business::Application;
using Warden::Business::MailServer;

namespace {

const qint64 start = Test::utcSeconds(2026, 12, 7, 10);
const QString outboxDir = QString::fromLatin1(Outbox::defaultDirectory);

MailServer& addServer(Application& app, const QByteArray& host, const QByteArray& password = "s3cret") {
    return app.mailServers.emplace_back(host, 25, "alerts", password, true);
}

OutboxMail mailTo(const QByteArray& to, const MailServer& server,
                  const QByteArray& subject = "Power Controller rack1 report") {
    OutboxMail mail;
    mail.to = to;
    mail.from = "warden@example.test";
    mail.serverHost = server.host;
    mail.serverPort = server.port;
    mail.serverUser = server.user;
    mail.serverTLS = server.useTLS;
    mail.serverId = mailServerId(server.host, server.port, server.user, server.useTLS, server.password);
    mail.controller = "rack1 : Kestrel 2 @ 10.0.0.5";
    mail.subject = subject;
    mail.body = "Content-Type: text/plain\r\n\r\nreport for " + to + "\r\n";
    return mail;
}

// Files of this process grow no larger than `bytes` while it lives: a disk that is full for the
// outbox's files but not for the few lines of "app.log". Writes past it fail with EFBIG.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &previous_);
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = previous_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, oldHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit previous_{};
    void (*oldHandler_)(int) = nullptr;
};

// A file system of its own that fills up (a tmpfs, so the test needs root), and can be given more room.
class SmallDisk {
public:
    explicit SmallDisk(const QByteArray& size) {
        mounted_ = dir_.isValid() && ::geteuid() == 0 &&
                   ::mount("tmpfs", path().constData(), "tmpfs", 0, "size=" + size + ",mode=0700") == 0;
    }
    ~SmallDisk() {
        if (mounted_)
            ::umount2(path().constData(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return mounted_; }
    QByteArray path() const { return QFile::encodeName(dir_.path()); }
    bool grow(const QByteArray& size) {
        return ::mount("tmpfs", path().constData(), "tmpfs", MS_REMOUNT, "size=" + size) == 0;
    }

private:
    QTemporaryDir dir_;
    bool mounted_ = false;
};

// The disk fails the way it does where the system notices only later (delayed allocation, quotas).
enum class DiskFault { full, failingSync, shortWrite };
// Entries in the outbox that are no file of the program's.
enum class Planted { link, otherUsersFile, fifo };

class FaultyDisk {
public:
    explicit FaultyDisk(DiskFault fault) {
        if (fault == DiskFault::failingSync)
            OutboxFile::diskCalls().fsync = [](int) {
                errno = ENOSPC;
                return -1;
            };
        if (fault == DiskFault::shortWrite)
            OutboxFile::diskCalls().write = [](int fd, const void* data, size_t size) -> ssize_t {
                const ssize_t written = ::write(fd, data, size / 2);
                return written < 0 ? written : static_cast<ssize_t>(size);
            };
    }
    ~FaultyDisk() { heal(); }
    FaultyDisk(const FaultyDisk&) = delete;
    FaultyDisk& operator=(const FaultyDisk&) = delete;

    void heal() { OutboxFile::diskCalls() = saved_; }

private:
    OutboxFile::DiskCalls saved_ = OutboxFile::diskCalls();
};

QString firstName(qint64 now) {
    return QStringLiteral("%1-000000.mail").arg(now, 12, 10, QLatin1Char('0'));
}

QStringList filesIn(const QString& dir) {
    return QDir(dir).entryList({QStringLiteral("*.mail")}, QDir::Files, QDir::Name);
}

std::optional<OutboxMail> onDisk(const QString& path) {
    return OutboxMail::fromFile(Test::readFile(path));
}

} // namespace

Q_DECLARE_METATYPE(DiskFault)
Q_DECLARE_METATYPE(Planted)
Q_DECLARE_METATYPE(Warden::MailFailure)
Q_DECLARE_METATYPE(Warden::OutboxMail)

class tst_Outbox : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void mailFile_roundTrip_data();
    void mailFile_roundTrip();
    void mailFile_brokenIsRefused_data();
    void mailFile_brokenIsRefused();
    void classifyMailError_data();
    void classifyMailError();
    void jobFor_takesTheServerAsConfiguredNow_data();
    void jobFor_takesTheServerAsConfiguredNow();
    void add_storedOwnerOnlyBeforeTheAttempt_removedAfter250();
    void transientFailure_retriedOnTheSchedule();
    void failure_endsInFailedWithOneLine_data();
    void failure_endsInFailedWithOneLine();
    void jobFor_entriesDifferingInPasswordAlone_data();
    void jobFor_entriesDifferingInPasswordAlone();
    void fullMailbox_holdsOnlyItsRecipientsLaterMails();
    void silentServer_holdsOnlyItsOwnMails();
    void fullDisk_stopCountsOnlyWhatIsOnDisk();
    void fullDisk_failedRewrite_deliveredFileStillRemoved();
    void stopAndRestart_eachMailDeliveredOnce();
    void failedWrite_nothingCommitted_mailKeptAndStoredLater_data();
    void failedWrite_nothingCommitted_mailKeptAndStoredLater();
    void newMail_linkAtItsName_notFollowed();
    void load_entryNotAFileOfTheUser_leftAlone_data();
    void load_entryNotAFileOfTheUser_leftAlone();
    void neverDeliverable_failedAtOnce_laterMailGoes_data();
    void neverDeliverable_failedAtOnce_laterMailGoes();
    void load_datedAheadOfTheClock_dueNow();

private:
    QList<QByteArray> sends() const;
    QList<QByteArray> subjects() const;

    QTemporaryDir fakeDir_;
};

void tst_Outbox::init() {
    QVERIFY(fakeDir_.isValid());
    QFile::remove(fakeDir_.filePath(QStringLiteral("sends")));
    QFile::remove(fakeDir_.filePath(QStringLiteral("subjects")));
    qputenv("FAKE_POSTWING_DIR", QFile::encodeName(fakeDir_.path()));
    qputenv("FAKE_POSTWING_MODE", "ok");
    qunsetenv("FAKE_POSTWING_FULL");
    qunsetenv("FAKE_POSTWING_SILENT");
    setPostwingProgram(QStringLiteral(FAKE_POSTWING));
}

void tst_Outbox::cleanup() {
    setPostwingProgram(QString());
}

// The recipients in the order postwing was started for them.
QList<QByteArray> tst_Outbox::sends() const {
    QList<QByteArray> lines = Test::readFile(fakeDir_.filePath(QStringLiteral("sends"))).split('\n');
    lines.removeAll(QByteArray());
    return lines;
}

// The subjects in the order postwing was started for them.
QList<QByteArray> tst_Outbox::subjects() const {
    QList<QByteArray> lines = Test::readFile(fakeDir_.filePath(QStringLiteral("subjects"))).split('\n');
    lines.removeAll(QByteArray());
    return lines;
}

void tst_Outbox::mailFile_roundTrip_data() {
    QTest::addColumn<OutboxMail>("mail");
    OutboxMail plain;
    plain.to = "ops@example.test";
    plain.from = "warden@example.test";
    plain.serverHost = "mail.example.test";
    plain.serverPort = 587;
    plain.serverUser = "alerts";
    plain.serverTLS = true;
    plain.controller = "rack1";
    plain.subject = "Power Controller rack1 report";
    plain.queued = start;
    plain.attempts = 3;
    plain.nextAttempt = start + 300;
    plain.body = "Content-Type: text/plain\r\n\r\nhello\r\n";
    QTest::newRow("plain mail") << plain;

    OutboxMail odd = plain;
    odd.controller = "Стойка 1 : Kestrel 2 @ h:80";
    odd.subject = "100% \"done\"\r\nBcc: x@y";
    odd.lastError = "Message cannot be sent. Reason:\n550 5.1.1 <ops@example.test>: User unknown\n";
    odd.body = QByteArray("\r\n\r\nline after blank lines\0NUL\nto: x\n\n", 37);
    odd.serverTLS = false;
    odd.serverPort = 0;
    QTest::newRow("line breaks, percent, UTF-8 and NUL stay intact") << odd;

    OutboxMail empty = plain;
    empty.from.clear();
    empty.serverUser.clear();
    empty.body.clear();
    QTest::newRow("empty values and body") << empty;
}

void tst_Outbox::mailFile_roundTrip() {
    QFETCH(OutboxMail, mail);
    const std::optional<OutboxMail> back = OutboxMail::fromFile(mail.toFile());
    QVERIFY(back);
    QVERIFY(*back == mail);
}

void tst_Outbox::mailFile_brokenIsRefused_data() {
    QTest::addColumn<QByteArray>("data");
    OutboxMail mail;
    mail.to = "ops@example.test";
    mail.body = "body";
    const QByteArray good = mail.toFile();
    QVERIFY(OutboxMail::fromFile(good));
    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("another kind of file") << QByteArray("From: a@b\n\nbody");
    QTest::newRow("cut inside the fields") << good.left(good.indexOf("queued"));
    QTest::newRow("no recipient") << QByteArray(good).replace("to: ops@example.test\n", "");
    QTest::newRow("port out of range") << QByteArray(good).replace("server-port: 0", "server-port: 70000");
    QTest::newRow("time not a number") << QByteArray(good).replace("next-attempt: 0", "next-attempt: soon");
    QTest::newRow("queued before 1970")
        << QByteArray(good).replace("queued: 0", "queued: -9223372036854775808");
    QTest::newRow("next attempt after the year 9999")
        << QByteArray(good).replace("next-attempt: 0", "next-attempt: 9223372036854775807");
}

void tst_Outbox::mailFile_brokenIsRefused() {
    QFETCH(QByteArray, data);
    QVERIFY(!OutboxMail::fromFile(data));
}

void tst_Outbox::classifyMailError_data() {
    QTest::addColumn<QByteArray>("error");
    QTest::addColumn<MailFailure>("failure");
    QTest::addColumn<QByteArray>("reason");

    QTest::newRow("empty text: sent") << QByteArray() << MailFailure::none << QByteArray();
    QTest::newRow("5xx reply: permanent")
        << QByteArray("Message cannot be sent. Reason:\n550 5.1.1 <x@y>: Recipient address rejected\n")
        << MailFailure::permanent << QByteArray("550 5.1.1 <x@y>: Recipient address rejected");
    QTest::newRow("indented refused recipient, multi-line reply")
        << QByteArray("Recipients refused:\n  554-5.7.1 Relay denied\r\n") << MailFailure::permanent
        << QByteArray("554-5.7.1 Relay denied");
    QTest::newRow("4xx reply: transient")
        << QByteArray("451 4.3.0 Try again later\n") << MailFailure::transient
        << QByteArray("451 4.3.0 Try again later");
    QTest::newRow("5xx only in the session log: transient")
        << QByteArray("SMTP server dropped connection\nSession:\nS: 550 earlier reply\n")
        << MailFailure::transient << QByteArray("SMTP server dropped connection");
    QTest::newRow("time limit: transient")
        << QByteArray("postwing did not finish within 30 s\n") << MailFailure::transient
        << QByteArray("postwing did not finish within 30 s");
    QTest::newRow("not started: transient")
        << QByteArray("postwing could not be started: No such file (postwing)\n") << MailFailure::transient
        << QByteArray("postwing could not be started: No such file (postwing)");
    QTest::newRow("postwing's refusal of the mail as it is: permanent")
        << QByteArray("Message cannot be sent. Reason:\nRecipient address holds a line break; not sent.\n")
        << MailFailure::permanent << QByteArray("Recipient address holds a line break; not sent.");
    QTest::newRow("number that is no reply code")
        << QByteArray("5500 bytes written\n500kB\n") << MailFailure::transient
        << QByteArray("5500 bytes written 500kB");
}

void tst_Outbox::classifyMailError() {
    QFETCH(QByteArray, error);
    QFETCH(MailFailure, failure);
    QFETCH(QByteArray, reason);
    QCOMPARE(Warden::classifyMailError(error), failure);
    QCOMPARE(mailErrorReason(error), reason);
}

void tst_Outbox::jobFor_takesTheServerAsConfiguredNow_data() {
    QTest::addColumn<QByteArray>("newHost");
    QTest::addColumn<bool>("recipientKept");
    QTest::addColumn<QByteArray>("expectedHost"); // empty: no job

    QTest::newRow("password changed since queued")
        << QByteArray("mail.example.test") << false << QByteArray("mail.example.test");
    QTest::newRow("server moved: the recipient's server")
        << QByteArray("new.example.test") << true << QByteArray("new.example.test");
    QTest::newRow("server and recipient gone") << QByteArray("new.example.test") << false << QByteArray();
}

void tst_Outbox::jobFor_takesTheServerAsConfiguredNow() {
    QFETCH(QByteArray, newHost);
    QFETCH(bool, recipientKept);
    QFETCH(QByteArray, expectedHost);

    Test::ScopedWorkDir work;
    Application app;
    const OutboxMail mail = mailTo("ops@example.test", addServer(app, "mail.example.test", "old"));
    app.mailServers.clear();
    MailServer& now = addServer(app, newHost, "new");
    if (recipientKept)
        app.mailAccounts.push_back({"ops@example.test", "warden@example.test", &now});

    MailQueue queue;
    const Outbox outbox(app, queue);
    const std::optional<MailJob> job = outbox.jobFor(mail);
    QCOMPARE(job.has_value(), !expectedHost.isEmpty());
    if (!job)
        return;
    QCOMPARE(job->host, expectedHost);
    QCOMPARE(job->password, QByteArray("new"));
    QCOMPARE(job->to, mail.to);
    QCOMPARE(job->body, mail.body);
}

void tst_Outbox::add_storedOwnerOnlyBeforeTheAttempt_removedAfter250() {
    Test::ScopedWorkDir work;
    Application app;
    const MailServer& server = addServer(app, "mail.example.test");
    MailQueue queue;
    Outbox outbox(app, queue);
    qputenv("FAKE_POSTWING_MODE", "slow");
    outbox.add(mailTo("ops@example.test", server));

    // Written before postwing was started for it.
    const QStringList files = filesIn(outboxDir);
    QCOMPARE(files.size(), 1);
    const QString path = QDir(outboxDir).filePath(files.first());
    // On Unix the "user" bits are the owner's.
    const auto rw = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser;
    QCOMPARE(QFile::permissions(path), rw);
    QCOMPARE(QFile::permissions(outboxDir), rw | QFile::ExeOwner | QFile::ExeUser);
    QVERIFY(!Test::readFile(path).contains("s3cret"));
    QCOMPARE(outbox.count(), 1);

    QTRY_COMPARE_WITH_TIMEOUT(outbox.count(), 0, 10000);
    QVERIFY(!QFile::exists(path));
    QCOMPARE(sends(), QList<QByteArray>{"ops@example.test"});
    QCOMPARE(filesIn(outboxDir + QStringLiteral("/failed")), QStringList());
}

void tst_Outbox::transientFailure_retriedOnTheSchedule() {
    Test::ScopedWorkDir work;
    Application app;
    Test::ManualClock clock(start);
    qputenv("FAKE_POSTWING_MODE", "error");
    qputenv("FAKE_POSTWING_ERROR", "421 4.3.2 Service not available");
    MailQueue queue;
    Outbox outbox(app, queue);
    outbox.add(mailTo("ops@example.test", addServer(app, "mail.example.test")));
    const QString path = QDir(outboxDir).filePath(filesIn(outboxDir).value(0));

    const QList<qint64> waits{60, 120, 300, 600, 1800, 3600, 3600};
    for (int attempt = 1; attempt <= waits.size(); ++attempt) {
        QTRY_COMPARE_WITH_TIMEOUT(onDisk(path)->attempts, attempt, 10000);
        const OutboxMail mail = *onDisk(path);
        QCOMPARE(mail.nextAttempt, clock.now() + waits.at(attempt - 1));
        QCOMPARE(mail.queued, start);
        QVERIFY(mail.lastError.startsWith("421 "));
        // Not a moment early.
        clock.set(mail.nextAttempt - 1);
        outbox.dispatch();
        QTest::qWait(100);
        QCOMPARE(sends().size(), attempt);
        clock.set(mail.nextAttempt);
        outbox.dispatch();
    }
    QTRY_COMPARE_WITH_TIMEOUT(onDisk(path)->attempts, waits.size() + 1, 10000);
    QCOMPARE(outbox.count(), 1);
}

void tst_Outbox::failure_endsInFailedWithOneLine_data() {
    QTest::addColumn<QByteArray>("error");
    QTest::addColumn<qint64>("retryAfter"); // 0: no retry
    QTest::addColumn<QByteArray>("reason");

    QTest::newRow("5xx refusal at the first attempt")
        << QByteArray("Message cannot be sent. Reason:\n550 5.1.1 <ops@example.test>: User unknown")
        << qint64(0) << QByteArray("550 5.1.1 <ops@example.test>: User unknown");
    QTest::newRow("4xx still after three days")
        << QByteArray("451 4.3.0 Try again later") << qint64(3 * 86400)
        << QByteArray("451 4.3.0 Try again later");
}

void tst_Outbox::failure_endsInFailedWithOneLine() {
    QFETCH(QByteArray, error);
    QFETCH(qint64, retryAfter);
    QFETCH(QByteArray, reason);

    Test::ScopedWorkDir work;
    Application app;
    Test::ManualClock clock(start);
    qputenv("FAKE_POSTWING_MODE", "error");
    qputenv("FAKE_POSTWING_ERROR", error);
    MailQueue queue;
    Outbox outbox(app, queue);
    const OutboxMail mail = mailTo("ops@example.test", addServer(app, "mail.example.test"));
    outbox.add(mail);
    const QString name = filesIn(outboxDir).value(0);
    if (retryAfter > 0) {
        QTRY_COMPARE_WITH_TIMEOUT(onDisk(QDir(outboxDir).filePath(name))->attempts, 1, 10000);
        QCOMPARE(outbox.count(), 1);
        clock.set(start + retryAfter);
        outbox.dispatch();
    }

    QTRY_COMPARE_WITH_TIMEOUT(outbox.count(), 0, 10000);
    QCOMPARE(filesIn(outboxDir), QStringList());
    const QString failedDir = outboxDir + QStringLiteral("/failed");
    QCOMPARE(filesIn(failedDir), QStringList{name});
    const std::optional<OutboxMail> kept = onDisk(QDir(failedDir).filePath(name));
    QVERIFY(kept);
    QCOMPARE(kept->body, mail.body);
    QCOMPARE(kept->lastError, error + '\n');

    QList<QByteArray> lines;
    for (const QByteArray& line : Test::appLog().split('\n'))
        if (line.contains(mail.controller))
            lines << line;
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().contains(mail.to) && lines.first().contains(reason), lines.first().constData());
}

void tst_Outbox::jobFor_entriesDifferingInPasswordAlone_data() {
    QTest::addColumn<bool>("withId"); // false: a file from before the server id
    QTest::newRow("the entry the mail was queued for") << true;
    QTest::newRow("file without id: the recipient's entry") << false;
}

void tst_Outbox::jobFor_entriesDifferingInPasswordAlone() {
    QFETCH(bool, withId);
    Test::ScopedWorkDir work;
    Application app;
    addServer(app, "mail.example.test", "first");
    const MailServer& second = addServer(app, "mail.example.test", "second");
    app.mailAccounts.push_back({"ops@example.test", "warden@example.test", &app.mailServers.back()});
    OutboxMail mail = mailTo("ops@example.test", second);
    if (!withId)
        mail.serverId.clear();
    MailQueue queue;
    const Outbox outbox(app, queue);
    const std::optional<MailJob> job = outbox.jobFor(*OutboxMail::fromFile(mail.toFile()));
    QVERIFY(job);
    QCOMPARE(job->password, QByteArray("second"));
}

// A 4xx for one recipient holds that recipient's later mails (their order stays), not the other
// recipients' mails to the same server.
void tst_Outbox::fullMailbox_holdsOnlyItsRecipientsLaterMails() {
    Test::ScopedWorkDir work;
    Application app;
    Test::ManualClock clock(start);
    const MailServer& a = addServer(app, "a.example.test");
    const MailServer& b = addServer(app, "b.example.test");
    qputenv("FAKE_POSTWING_FULL", "full@example.test");
    MailQueue queue;
    Outbox outbox(app, queue);
    outbox.add(mailTo("full@example.test", a, "full 1"));
    outbox.add(mailTo("ok@example.test", a, "ok 1"));
    outbox.add(mailTo("full@example.test", a, "full 2"));
    outbox.add(mailTo("ok@example.test", a, "ok 2"));
    outbox.add(mailTo("other@example.test", b, "other 1"));
    QTRY_COMPARE_WITH_TIMEOUT(outbox.count(), 2, 10000);
    QList<QByteArray> firstRound = subjects();
    std::sort(firstRound.begin(), firstRound.end());
    QCOMPARE(firstRound, (QList<QByteArray>{"full 1", "ok 1", "ok 2", "other 1"}));

    qunsetenv("FAKE_POSTWING_FULL");
    clock.advance(60);
    outbox.dispatch();
    QTRY_COMPARE_WITH_TIMEOUT(outbox.count(), 0, 10000);
    QCOMPARE(subjects().mid(4), (QList<QByteArray>{"full 1", "full 2"}));
}

void tst_Outbox::silentServer_holdsOnlyItsOwnMails() {
    Test::ScopedWorkDir work;
    Application app;
    qputenv("FAKE_POSTWING_SILENT", "silent@example.test");
    MailQueue queue;
    Outbox outbox(app, queue);
    outbox.add(mailTo("silent@example.test", addServer(app, "silent.example.test")));
    outbox.add(mailTo("ops@example.test", addServer(app, "mail.example.test")));
    QTRY_COMPARE_WITH_TIMEOUT(outbox.count(), 1, 5000);
    outbox.stop(0);
    QCOMPARE(filesIn(outboxDir).size(), 1);
    QVERIFY(Test::appLog().contains("Outbox: 1 report mail(s) wait for the next start\n"));
}

// With the server down and no room for the mails' files, nothing may claim that they wait.
void tst_Outbox::fullDisk_stopCountsOnlyWhatIsOnDisk() {
    Test::ScopedWorkDir work;
    Application app;
    const MailServer& server = addServer(app, "mail.example.test");
    qputenv("FAKE_POSTWING_MODE", "error");
    qputenv("FAKE_POSTWING_ERROR", "421 4.3.2 Service not available");
    {
        const FileSizeLimit full(64 * 1024);
        MailQueue queue;
        Outbox outbox(app, queue);
        for (int i = 0; i < 3; ++i) {
            OutboxMail mail = mailTo("ops@example.test", server);
            mail.body += QByteArray(100 * 1024, 'x');
            outbox.add(mail);
        }
        QTRY_COMPARE_WITH_TIMEOUT(sends().size(), 1, 10000);
        outbox.stop(MailQueue::finishWaitMs);
    }
    QCOMPARE(QDir(outboxDir).entryList(QDir::Files), QStringList());
    const QByteArray log = Test::appLog();
    QVERIFY2(!log.contains("wait for the next start"), log.constData());
    QCOMPARE(log.count(" is lost: cannot write "), 3);
}

// The delivery removes the file although its rewrite after the failed attempt found no room: the
// old version must not go out again at the next start.
void tst_Outbox::fullDisk_failedRewrite_deliveredFileStillRemoved() {
    Test::ScopedWorkDir work;
    Application app;
    Test::ManualClock clock(start);
    const MailServer& server = addServer(app, "mail.example.test");
    qputenv("FAKE_POSTWING_MODE", "error");
    qputenv("FAKE_POSTWING_ERROR", "421 4.3.2 " + QByteArray(8 * 1024, 'e'));
    const FileSizeLimit full(64 * 1024);
    MailQueue queue;
    Outbox outbox(app, queue);
    OutboxMail mail = mailTo("ops@example.test", server);
    mail.body += QByteArray(60 * 1024, 'x');
    outbox.add(mail);
    QCOMPARE(filesIn(outboxDir).size(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(Test::appLog().contains("Outbox: cannot rewrite "), 10000);
    QVERIFY(Test::appLog().contains(std::strerror(EFBIG)));

    qputenv("FAKE_POSTWING_MODE", "ok");
    clock.advance(60);
    outbox.dispatch();
    QTRY_COMPARE_WITH_TIMEOUT(outbox.count(), 0, 10000);
    QCOMPARE(filesIn(outboxDir), QStringList());
}

void tst_Outbox::stopAndRestart_eachMailDeliveredOnce() {
    Test::ScopedWorkDir work;
    Application app;
    const MailServer& server = addServer(app, "mail.example.test");
    qputenv("FAKE_POSTWING_MODE", "slow");
    {
        MailQueue queue;
        Outbox outbox(app, queue);
        outbox.add(mailTo("m1@example.test", server));
        outbox.add(mailTo("m2@example.test", server));
        QTRY_COMPARE_WITH_TIMEOUT(sends().size(), 1, 10000);
        // m1's send is in progress: Stop lets it end and records it; m2 waits for the next start.
        outbox.stop(MailQueue::finishWaitMs);
        QCOMPARE(outbox.count(), 1);
    }
    QCOMPARE(filesIn(outboxDir).size(), 1);
    QFile broken(QDir(outboxDir).filePath(QStringLiteral("000000000000-000000.mail")));
    QVERIFY(broken.open(QIODevice::WriteOnly));
    broken.write("not a mail");
    broken.close();
    // What a kill in the middle of a write leaves.
    const QString leftover = QDir(outboxDir).filePath(QStringLiteral(".000000000000-000001.mail.a1b2c3"));
    QVERIFY(QFile(leftover).open(QIODevice::WriteOnly));

    qputenv("FAKE_POSTWING_MODE", "ok");
    MailQueue queue;
    Outbox outbox(app, queue);
    outbox.load();
    QTRY_COMPARE_WITH_TIMEOUT(outbox.count(), 0, 10000);
    QCOMPARE(sends(), (QList<QByteArray>{"m1@example.test", "m2@example.test"}));
    QCOMPARE(filesIn(outboxDir), QStringList());
    QCOMPARE(filesIn(outboxDir + QStringLiteral("/failed")), QStringList{broken.fileName().section('/', -1)});
    QVERIFY(!QFile::exists(leftover));
}

void tst_Outbox::failedWrite_nothingCommitted_mailKeptAndStoredLater_data() {
    QTest::addColumn<DiskFault>("fault");
    QTest::newRow("disk full") << DiskFault::full;
    QTest::newRow("sync finds the disk full") << DiskFault::failingSync;
    QTest::newRow("write claims more than it wrote") << DiskFault::shortWrite;
}

// A file the disk did not take whole must not become the mail's: the stop would count it as waiting
// and the next start would find no mail in it.
void tst_Outbox::failedWrite_nothingCommitted_mailKeptAndStoredLater() {
    QFETCH(DiskFault, fault);
    Test::ScopedWorkDir work;
    Application app;
    std::optional<SmallDisk> disk;
    if (fault == DiskFault::full && !disk.emplace("64k").mounted())
        QSKIP("a disk of its own to fill needs root (tmpfs)");
    FaultyDisk faulty(fault);
    const QString directory = disk ? QFile::decodeName(disk->path()) + QStringLiteral("/outbox") : outboxDir;
    qputenv("FAKE_POSTWING_MODE", "error");
    qputenv("FAKE_POSTWING_ERROR", "421 4.3.2 Service not available");
    MailQueue queue;
    Outbox outbox(app, queue, directory);
    OutboxMail mail = mailTo("ops@example.test", addServer(app, "mail.example.test"));
    mail.body += QByteArray(200 * 1024, 'x');
    outbox.add(mail);

    QCOMPARE(QDir(directory).entryList(QDir::Files | QDir::Hidden | QDir::System), QStringList());
    QCOMPARE(Test::appLog().count("Outbox: cannot write "), 1);
    QCOMPARE(outbox.count(), 1);
    // Sent from memory; once the disk has room, its failed attempt is what gets it stored.
    QVERIFY(!disk || disk->grow("1m"));
    faulty.heal();
    QTRY_COMPARE_WITH_TIMEOUT(filesIn(directory).size(), 1, 10000);
    const std::optional<OutboxMail> stored = onDisk(QDir(directory).filePath(filesIn(directory).first()));
    QVERIFY(stored);
    QCOMPARE(stored->body, mail.body);
    outbox.stop(MailQueue::finishWaitMs);
    QVERIFY(Test::appLog().contains("Outbox: 1 report mail(s) wait for the next start\n"));
}

// A link planted under the name the next mail would get: the mail neither lands at its target nor
// rewrites it after the failed attempt.
void tst_Outbox::newMail_linkAtItsName_notFollowed() {
    Test::ScopedWorkDir work;
    Application app;
    Test::ManualClock clock(start);
    qputenv("FAKE_POSTWING_MODE", "error");
    qputenv("FAKE_POSTWING_ERROR", "421 4.3.2 Service not available");
    QVERIFY(QDir().mkpath(outboxDir));
    const QString target = QDir::current().filePath(QStringLiteral("outside.mail"));
    const QString link = QDir(outboxDir).filePath(firstName(start));
    QVERIFY(QFile::link(target, link));
    MailQueue queue;
    Outbox outbox(app, queue);
    outbox.add(mailTo("ops@example.test", addServer(app, "mail.example.test")));

    QCOMPARE(filesIn(outboxDir).size(), 1);
    const QString path = QDir(outboxDir).filePath(filesIn(outboxDir).first());
    QTRY_COMPARE_WITH_TIMEOUT(onDisk(path)->attempts, 1, 10000);
    QVERIFY(!QFileInfo::exists(target));
    QVERIFY(QFileInfo(link).isSymLink());
}

void tst_Outbox::load_entryNotAFileOfTheUser_leftAlone_data() {
    QTest::addColumn<Planted>("planted");
    QTest::newRow("link to a mail outside") << Planted::link;
    QTest::newRow("mail file of another user") << Planted::otherUsersFile;
    QTest::newRow("FIFO") << Planted::fifo;
}

void tst_Outbox::load_entryNotAFileOfTheUser_leftAlone() {
    QFETCH(Planted, planted);
    if (planted == Planted::otherUsersFile && ::geteuid() != 0)
        QSKIP("giving a file to another user needs root");
    const bool link = planted == Planted::link;
    Test::ScopedWorkDir work;
    Application app;
    qputenv("FAKE_POSTWING_MODE", "error");
    qputenv("FAKE_POSTWING_ERROR", "421 4.3.2 Service not available");
    QVERIFY(QDir().mkpath(outboxDir));
    const QByteArray content = mailTo("ops@example.test", addServer(app, "mail.example.test")).toFile();
    const QString outside = QDir::current().filePath(QStringLiteral("outside.mail"));
    const QString entry = QDir(outboxDir).filePath(firstName(1));
    const QByteArray native = QFile::encodeName(entry);
    if (planted == Planted::fifo) {
        QVERIFY(::mkfifo(native.constData(), 0600) == 0);
    } else {
        QFile file(link ? outside : entry);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        QVERIFY(link ? QFile::link(outside, entry) : ::chown(native.constData(), 65534, 65534) == 0);
    }

    MailQueue queue;
    Outbox outbox(app, queue);
    outbox.load();
    QCOMPARE(outbox.count(), 0);
    if (planted != Planted::fifo)
        QCOMPARE(Test::readFile(link ? outside : entry), content);
    QCOMPARE(QFileInfo(entry).isSymLink(), link);
    QCOMPARE(Test::appLog().count(QFile::encodeName(firstName(1))), 1);
}

void tst_Outbox::neverDeliverable_failedAtOnce_laterMailGoes_data() {
    QTest::addColumn<QByteArray>("to");
    QTest::addColumn<QByteArray>("subject");
    QTest::addColumn<QByteArray>("reason");
    QTest::newRow("recipient with a line break")
        << QByteArray("ops@example.test\r\nRCPT TO:<x@example.test>")
        << QByteArray("Power Controller rack1 report")
        << QByteArray("Recipient address holds a line break; not sent.");
    QTest::newRow("1 MiB controller name: too long for the command line")
        << QByteArray("ops@example.test") << "Power Controller " + QByteArray(1 << 20, 'r') + " report"
        << QByteArray(std::strerror(E2BIG));
}

void tst_Outbox::neverDeliverable_failedAtOnce_laterMailGoes() {
    QFETCH(QByteArray, to);
    QFETCH(QByteArray, subject);
    QFETCH(QByteArray, reason);
    Test::ScopedWorkDir work;
    Application app;
    const MailServer& server = addServer(app, "mail.example.test");
    MailQueue queue;
    Outbox outbox(app, queue);
    outbox.add(mailTo(to, server, subject));
    const QString name = filesIn(outboxDir).value(0);
    outbox.add(mailTo("ops@example.test", server, "next"));

    QTRY_COMPARE_WITH_TIMEOUT(outbox.count(), 0, 10000);
    QCOMPARE(subjects(), QList<QByteArray>{"next"});
    QCOMPARE(filesIn(outboxDir + QStringLiteral("/failed")), QStringList{name});
    QList<QByteArray> lines;
    for (const QByteArray& line : Test::appLog().split('\n'))
        if (line.contains(" given up "))
            lines << line;
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().contains(reason), lines.first().left(300).constData());
}

// Written while the clock ran a month ahead, found after it was put right.
void tst_Outbox::load_datedAheadOfTheClock_dueNow() {
    Test::ScopedWorkDir work;
    Application app;
    Test::ManualClock clock(start);
    const MailServer& server = addServer(app, "mail.example.test");
    OutboxMail ahead = mailTo("ops@example.test", server, "ahead");
    ahead.queued = start + 30 * 86400;
    ahead.nextAttempt = ahead.queued + 60;
    ahead.attempts = 1;
    OutboxMail next = mailTo("ops@example.test", server, "next");
    next.queued = start;
    next.nextAttempt = start;
    QVERIFY(QDir().mkpath(outboxDir));
    for (const auto& [name, mail] :
         {std::pair{firstName(start - 60), ahead}, std::pair{firstName(start), next}}) {
        QFile file(QDir(outboxDir).filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(mail.toFile());
    }

    MailQueue queue;
    Outbox outbox(app, queue);
    outbox.load();
    QTRY_COMPARE_WITH_TIMEOUT(outbox.count(), 0, 10000);
    QCOMPARE(subjects(), (QList<QByteArray>{"ahead", "next"}));
}

QTEST_GUILESS_MAIN(tst_Outbox)
#include "tst_Outbox.moc"
