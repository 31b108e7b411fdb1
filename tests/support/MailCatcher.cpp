#include "MailCatcher.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QThread>

namespace Warden::Test {

QString systemPython() {
    return QStringLiteral(AMPWARDEN_SYSTEM_PYTHON);
}

QString sourceFile(const QString& relative) {
    return QDir(QStringLiteral(AMPWARDEN_SOURCE_DIR)).filePath(relative);
}

quint16 unusedLoopbackPort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

TestCertificate::TestCertificate(const QString& dir)
    : certFile(QDir(dir).filePath(QStringLiteral("cert.pem")))
    , keyFile(QDir(dir).filePath(QStringLiteral("key.pem")))
    , trustingHome(QDir(dir).filePath(QStringLiteral("home"))) {
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                   QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-keyout"), keyFile,
                   QStringLiteral("-out"), certFile, QStringLiteral("-days"), QStringLiteral("2"),
                   QStringLiteral("-subj"), QStringLiteral("/CN=localhost"), QStringLiteral("-addext"),
                   QStringLiteral("subjectAltName=DNS:localhost")});
    if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0) {
        error = QStringLiteral("openssl req failed: ") + QString::fromUtf8(openssl.readAllStandardError());
        return;
    }
    const QString configDir = trustingHome + QStringLiteral("/.config/libesmtp");
    const QString caFile = configDir + QStringLiteral("/ca.pem");
    // libESMTP's rule, which postwing keeps: trust files that others may read are not used.
    if (!QDir().mkpath(configDir) ||
        !QFile::setPermissions(configDir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner) ||
        !QFile::copy(certFile, caFile) ||
        !QFile::setPermissions(caFile, QFile::ReadOwner | QFile::WriteOwner))
        error = QStringLiteral("cannot write ") + caFile;
}

MailCatcher::MailCatcher(const Options& options) {
    QStringList arguments{sourceFile(QStringLiteral("tools/mailcatcher.py")), QStringLiteral("--dir"),
                          dir_.path()};
    if (!options.certFile.isEmpty())
        arguments << QStringLiteral("--tls-cert") << options.certFile << QStringLiteral("--tls-key")
                  << options.keyFile;
    if (!options.user.isEmpty())
        arguments << QStringLiteral("--user") << options.user << QStringLiteral("--password")
                  << options.password;
    if (!options.mechanisms.isEmpty())
        arguments << QStringLiteral("--mechanisms") << options.mechanisms;
    if (!options.reject.isEmpty())
        arguments << QStringLiteral("--reject") << options.reject;
    if (options.port != 0)
        arguments << QStringLiteral("--port") << QString::number(options.port);
    if (!options.refuseRecipient.isEmpty())
        arguments << QStringLiteral("--refuse-recipient") << options.refuseRecipient;
    if (options.dropAtQuit)
        arguments << QStringLiteral("--drop-at-quit");
    // Nothing reads the catcher's pipes while a test waits on something else: its diagnostics go to a
    // file so that a full pipe can never stall it.
    process_.setStandardErrorFile(QDir(dir_.path()).filePath(QStringLiteral("catcher.log")));
    process_.start(systemPython(), arguments);
    if (!process_.waitForStarted(10000)) {
        error_ = QStringLiteral("mail catcher did not start: ") + process_.errorString();
        return;
    }
    const QDeadlineTimer deadline(15000);
    while (!process_.canReadLine() && !deadline.hasExpired() && process_.state() == QProcess::Running)
        process_.waitForReadyRead(200);
    const QByteArray line = process_.readLine().trimmed();
    if (!line.startsWith("PORT ")) {
        error_ = QStringLiteral("mail catcher did not report its port: ") + QString::fromUtf8(line);
        return;
    }
    port_ = static_cast<quint16>(line.mid(5).toUInt());
}

MailCatcher::~MailCatcher() {
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate();
    if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished(2000);
    }
}

QStringList MailCatcher::messages() const {
    const QDir dir(dir_.path());
    QStringList files;
    const QStringList names = dir.entryList({QStringLiteral("*.eml")}, QDir::Files, QDir::Name);
    for (const QString& name : names)
        files << dir.filePath(name);
    return files;
}

bool MailCatcher::waitForMessages(int count, int timeoutMs) const {
    const QDeadlineTimer deadline(timeoutMs);
    while (messages().size() < count) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
    return true;
}

} // namespace Warden::Test
