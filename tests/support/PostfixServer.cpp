#include "PostfixServer.h"

#include "MailCatcher.h"
#include "TestSupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QThread>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>

namespace Warden::Test {

namespace {

// Answers every policy request after the delay; touches `seen` when asked, which is when a message's
// data has ended (the only restriction that asks it).
const char* policyService = R"(
import socket, sys, threading, time
delay, seen = float(sys.argv[1]), sys.argv[2]
server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen(16)
print("PORT", server.getsockname()[1], flush=True)
def serve(client):
    lines = client.makefile("rb")
    for line in lines:
        if line.strip():
            continue
        open(seen, "a").close()
        time.sleep(delay)
        client.sendall(b"action=DUNNO\n\n")
while True:
    client, _ = server.accept()
    threading.Thread(target=serve, args=(client,), daemon=True).start()
)";

const char* masterServices = R"(
pickup unix n - n 60 1 pickup
cleanup unix n - n - 0 cleanup
qmgr unix n - n 300 1 qmgr
rewrite unix - - n - - trivial-rewrite
bounce unix - - n - 0 bounce
defer unix - - n - 0 bounce
trace unix - - n - 0 bounce
verify unix - - n - 1 verify
flush unix n - n 1000? 0 flush
proxymap unix - - n - - proxymap
showq unix n - n - - showq
error unix - - n - - error
retry unix - - n - - error
discard unix - - n - - discard
virtual unix - n n - - virtual
anvil unix - - n - 1 anvil
scache unix - - n - 1 scache
postlog unix-dgram n - n - 1 postlogd
)";

bool writeFile(const QString& path, const QByteArray& text) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

QByteArray fullMap(const QStringList& addresses) {
    QByteArray map;
    for (const QString& address : addresses)
        map += address.toUtf8() + " 450 4.2.2 Mailbox full\n";
    return map;
}

// Maildir names begin with the second and carry the microsecond after "M": the delivery order.
qint64 deliveredAt(const QString& name) {
    const qint64 seconds = name.section(QLatin1Char('.'), 0, 0).toLongLong();
    const QString unique = name.section(QLatin1Char('.'), 1, 1);
    const qsizetype m = unique.indexOf(QLatin1Char('M'));
    return seconds * 1000000 + (m >= 0 ? unique.mid(m + 1).toLongLong() : 0);
}

const passwd* postfixAccount() {
    return ::getpwnam("postfix");
}

} // namespace

QString PostfixServer::unavailable() {
    if (::geteuid() != 0)
        return QStringLiteral("Postfix's master runs as root");
    if (!QFile::exists(QStringLiteral("/usr/sbin/postfix")) || !postfixAccount())
        return QStringLiteral("Debian's postfix package is not installed");
    return {};
}

PostfixServer::PostfixServer(const Options& options) {
    error_ = unavailable();
    if (!error_.isEmpty())
        return;
    const QDir dir(dir_.path());
    // Postfix's daemons run as "postfix" and deliver as "nobody": they have to reach their parts.
    QFile::setPermissions(dir_.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                           QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                           QFile::ExeOther);
    for (const char* sub : {"etc", "queue", "data", "mail"})
        dir.mkpath(QString::fromLatin1(sub));
    const QByteArray root = QFile::encodeName(dir_.path());
    if (::chown((root + "/data").constData(), postfixAccount()->pw_uid, postfixAccount()->pw_gid) != 0 ||
        ::chown((root + "/mail").constData(), 65534, 65534) != 0) {
        error_ = QStringLiteral("cannot hand the directories to postfix and nobody");
        return;
    }

    if (options.endOfDataDelaySeconds > 0) {
        policy_.start(systemPython(), {QStringLiteral("-c"), QString::fromLatin1(policyService),
                                       QString::number(options.endOfDataDelaySeconds),
                                       dir.filePath(QStringLiteral("end-of-data"))});
        const QDeadlineTimer started(10000);
        while (!policy_.canReadLine() &&
               policy_.waitForReadyRead(static_cast<int>(started.remainingTime()))) {
        }
        if (!policy_.canReadLine()) {
            error_ = QStringLiteral("policy service did not start: ") +
                     QString::fromUtf8(policy_.readAllStandardError());
            return;
        }
    }
    const QByteArray policyLine = policy_.isOpen() ? policy_.readLine().trimmed() : QByteArray();
    port_ = unusedLoopbackPort();
    QByteArray main = "compatibility_level = 3.6\n"
                      "queue_directory = ROOT/queue\n"
                      "data_directory = ROOT/data\n"
                      "mail_owner = postfix\n"
                      "inet_interfaces = 127.0.0.1\n"
                      "inet_protocols = ipv4\n"
                      "myhostname = mail.example.test\n"
                      "mydestination =\n"
                      "mynetworks = 127.0.0.0/8\n"
                      "maillog_file = ROOT/maillog\n"
                      "maillog_file_prefixes = ROOT\n"
                      "virtual_mailbox_domains = example.test\n"
                      "virtual_mailbox_base = ROOT/mail\n"
                      "virtual_mailbox_maps = static:all/\n"
                      "virtual_uid_maps = static:65534\n"
                      "virtual_gid_maps = static:65534\n"
                      "smtpd_recipient_restrictions = check_recipient_access texthash:ROOT/etc/full, "
                      "permit_mynetworks, reject_unauth_destination\n";
    if (policyLine.startsWith("PORT "))
        main += "smtpd_end_of_data_restrictions = check_policy_service inet:127.0.0.1:" + policyLine.mid(5) +
                "\nsmtpd_policy_service_timeout = 300s\n";
    main.replace("ROOT", root);
    const QByteArray master =
        "127.0.0.1:" + QByteArray::number(port_) + " inet n - n - - smtpd\n" + QByteArray(masterServices);
    if (!writeFile(dir.filePath(QStringLiteral("etc/main.cf")), main) ||
        !writeFile(dir.filePath(QStringLiteral("etc/master.cf")), master) ||
        !writeFile(dir.filePath(QStringLiteral("etc/full")), fullMap(options.fullMailboxes))) {
        error_ = QStringLiteral("cannot write the configuration");
        return;
    }
    started_ = startMaster();
    const QDeadlineTimer deadline(15000);
    while (started_ && !deadline.hasExpired()) {
        QTcpSocket probe;
        probe.connectToHost(QStringLiteral("127.0.0.1"), port_);
        if (probe.waitForConnected(500) && probe.waitForReadyRead(2000) && probe.readLine().startsWith("220"))
            return;
        QThread::msleep(100);
    }
    error_ = QStringLiteral("postfix did not start: ") + QString::fromUtf8(log());
}

PostfixServer::~PostfixServer() {
    if (started_)
        postfix(QStringLiteral("stop"));
    const QString pidFile = QDir(dir_.path()).filePath(QStringLiteral("queue/pid/master.pid"));
    const pid_t master = static_cast<pid_t>(readFile(pidFile).trimmed().toLong());
    const QDeadlineTimer deadline(10000);
    while (master > 0 && ::kill(master, 0) == 0 && !deadline.hasExpired())
        QThread::msleep(50);
    if (master > 0 && ::kill(master, 0) == 0)
        ::kill(-master, SIGKILL);
    if (policy_.state() != QProcess::NotRunning) {
        policy_.kill();
        policy_.waitForFinished(2000);
    }
}

// "postfix start" would first check the whole installation (five seconds); the queue's directories
// are all the master needs, owned as Postfix's own list (postfix-files) says.
bool PostfixServer::startMaster() {
    const QByteArray queue = QFile::encodeName(dir_.path()) + "/queue/";
    for (const char* sub : {"active", "bounce", "corrupt", "defer", "deferred", "flush", "hold", "incoming",
                            "private", "saved", "trace", "maildrop", "public", "pid"}) {
        const QByteArray path = queue + sub;
        const bool ownedByRoot = qstrcmp(sub, "pid") == 0;
        if (::mkdir(path.constData(), ownedByRoot ? 0755 : 0700) != 0 ||
            (!ownedByRoot &&
             ::chown(path.constData(), postfixAccount()->pw_uid, postfixAccount()->pw_gid) != 0))
            return false;
    }
    QProcess master;
    // The daemon keeps what it inherits; nothing of it may hold this process's pipes.
    master.setStandardOutputFile(QProcess::nullDevice());
    master.setStandardErrorFile(QProcess::nullDevice());
    master.start(
        QStringLiteral("/usr/lib/postfix/sbin/master"),
        {QStringLiteral("-c"), QDir(dir_.path()).filePath(QStringLiteral("etc")), QStringLiteral("-w")});
    return master.waitForFinished(30000) && master.exitCode() == 0;
}

bool PostfixServer::postfix(const QString& command) {
    QProcess process;
    process.start(QStringLiteral("/usr/sbin/postfix"),
                  {QStringLiteral("-c"), QDir(dir_.path()).filePath(QStringLiteral("etc")), command});
    return process.waitForFinished(30000) && process.exitCode() == 0;
}

bool PostfixServer::setFullMailboxes(const QStringList& addresses) {
    return writeFile(QDir(dir_.path()).filePath(QStringLiteral("etc/full")), fullMap(addresses)) &&
           postfix(QStringLiteral("reload"));
}

QStringList PostfixServer::messages() const {
    const QDir maildir(QDir(dir_.path()).filePath(QStringLiteral("mail/all/new")));
    QStringList names = maildir.entryList(QDir::Files);
    std::sort(names.begin(), names.end(),
              [](const QString& a, const QString& b) { return deliveredAt(a) < deliveredAt(b); });
    QStringList paths;
    for (const QString& name : names)
        paths << maildir.filePath(name);
    return paths;
}

bool PostfixServer::queueEmpty() const {
    for (const char* sub : {"maildrop", "incoming", "active", "deferred", "hold"}) {
        QDirIterator it(QDir(dir_.path()).filePath(QStringLiteral("queue/") + QLatin1String(sub)),
                        QDir::Files, QDirIterator::Subdirectories);
        if (it.hasNext())
            return false;
    }
    return true;
}

QByteArray PostfixServer::log() const {
    return readFile(QDir(dir_.path()).filePath(QStringLiteral("maillog")));
}

bool PostfixServer::endOfDataSeen() const {
    return QFile::exists(QDir(dir_.path()).filePath(QStringLiteral("end-of-data")));
}

} // namespace Warden::Test
