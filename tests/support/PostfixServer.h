#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace Warden::Test {

// Debian's Postfix as a private instance on 127.0.0.1 and a free port: its own configuration, queue
// and maildir under a temporary directory, started by the constructor and stopped by the destructor.
// It delivers every address of the domain example.test into one maildir. Its master runs as root.
class PostfixServer {
public:
    struct Options {
        // RCPT TO for these addresses is answered "450 4.2.2 Mailbox full".
        QStringList fullMailboxes;
        // The reply to the end of the data comes this long after it (a policy service that takes its
        // time); 0: at once.
        int endOfDataDelaySeconds = 0;
    };

    // Why no instance can run here (not root, no postfix installed), or empty.
    static QString unavailable();

    explicit PostfixServer(const Options& options);
    PostfixServer()
        : PostfixServer(Options{}) {}
    ~PostfixServer();
    PostfixServer(const PostfixServer&) = delete;
    PostfixServer& operator=(const PostfixServer&) = delete;

    bool isRunning() const { return error_.isEmpty(); }
    QString error() const { return error_; }
    quint16 port() const { return port_; }
    // Takes a new list of full mailboxes (and reloads).
    bool setFullMailboxes(const QStringList& addresses);
    // The delivered messages, oldest first.
    QStringList messages() const;
    // Nothing accepted waits for delivery any more.
    bool queueEmpty() const;
    // Postfix's own log, for a failure message.
    QByteArray log() const;
    // The policy service has been asked: a message's data has ended.
    bool endOfDataSeen() const;

private:
    bool startMaster();
    bool postfix(const QString& command);

    QTemporaryDir dir_;
    QProcess policy_;
    quint16 port_ = 0;
    QString error_;
    bool started_ = false;
};

} // namespace Warden::Test
