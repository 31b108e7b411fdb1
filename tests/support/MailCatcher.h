#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace Warden::Test {

// The Python that has the Debian packages the helpers under tools/ need (aiosmtpd).
QString systemPython();
// A file of the source tree, e.g. "tools/mailcatcher.py".
QString sourceFile(const QString& relative);
// A loopback port that nothing listened on a moment ago.
quint16 unusedLoopbackPort();

// A self-signed certificate for "localhost" (and its key) made with openssl in `dir`, and a home
// directory there whose libESMTP trust file (~/.config/libesmtp/ca.pem, owner-only) names it.
struct TestCertificate {
    explicit TestCertificate(const QString& dir);
    bool isValid() const { return error.isEmpty(); }

    QString certFile;
    QString keyFile;
    QString trustingHome;
    QString error;
};

// tools/mailcatcher.py on 127.0.0.1: a real SMTP server that saves what it accepts as .eml files.
// Started by the constructor, stopped by the destructor.
class MailCatcher {
public:
    struct Options {
        QString certFile; // offer STARTTLS with this certificate and key
        QString keyFile;
        QString user; // require AUTH with user and password
        QString password;
        QString mechanisms;      // offered with a user: "PLAIN" unless set, e.g. "LOGIN"
        QString reject;          // answer every message with this reply, e.g. "554 Refused"
        quint16 port = 0;        // 0: a free port
        QString refuseRecipient; // answer RCPT TO for this address with "550 5.1.1"
        bool dropAtQuit = false; // hang up instead of answering QUIT
    };

    explicit MailCatcher(const Options& options);
    MailCatcher()
        : MailCatcher(Options{}) {}
    ~MailCatcher();
    MailCatcher(const MailCatcher&) = delete;
    MailCatcher& operator=(const MailCatcher&) = delete;

    bool isListening() const { return port_ != 0; }
    quint16 port() const { return port_; }
    // What went wrong when it is not listening.
    QString error() const { return error_; }
    // The saved messages in the order they arrived.
    QStringList messages() const;
    bool waitForMessages(int count, int timeoutMs = 15000) const;

private:
    QTemporaryDir dir_;
    QProcess process_;
    quint16 port_ = 0;
    QString error_;
};

} // namespace Warden::Test
