#include "MailCatcher.h"
#include "TestSupport.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using Warden::Test::MailCatcher;

namespace {

struct Run {
    QByteArray errorLog;
    QByteArray sessionLog;
    int exitCode = -1;
};

// The header section and the body of a saved message.
struct Saved {
    QByteArray headers;
    QByteArray body;
};

Saved readSaved(const QString& path) {
    const QByteArray text = Warden::Test::readFile(path);
    const qsizetype split = text.indexOf("\r\n\r\n");
    if (split < 0)
        return {text, {}};
    return {text.left(split + 2), text.mid(split + 4)};
}

QByteArray headerValue(const QByteArray& headers, const QByteArray& name) {
    const QRegularExpression line(QStringLiteral("(?m)^%1: ([^\\r\\n]*)").arg(QString::fromLatin1(name)));
    return line.match(QString::fromUtf8(headers)).captured(1).toUtf8();
}

} // namespace

class tst_Postwing : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void send_outcomeInLogs_data();
    void send_outcomeInLogs();
    void message_headersAndBody_data();
    void message_headersAndBody();

private:
    Run runPostwing(const QStringList& arguments, const QByteArray& input, const QString& home);

    QTemporaryDir certDir_;
    QString certFile_;
    QString keyFile_;
    QString trustingHome_; // ca.pem names the test certificate
    QString emptyHome_;    // no ca.pem: the system's CA store, which does not know it
};

void tst_Postwing::initTestCase() {
    QVERIFY(certDir_.isValid());
    certFile_ = certDir_.filePath(QStringLiteral("cert.pem"));
    keyFile_ = certDir_.filePath(QStringLiteral("key.pem"));
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                   QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-keyout"), keyFile_,
                   QStringLiteral("-out"), certFile_, QStringLiteral("-days"), QStringLiteral("2"),
                   QStringLiteral("-subj"), QStringLiteral("/CN=localhost"), QStringLiteral("-addext"),
                   QStringLiteral("subjectAltName=DNS:localhost")});
    QVERIFY(openssl.waitForFinished(60000));
    QCOMPARE(openssl.exitCode(), 0);

    trustingHome_ = certDir_.filePath(QStringLiteral("home"));
    emptyHome_ = certDir_.filePath(QStringLiteral("empty-home"));
    const QString configDir = trustingHome_ + QStringLiteral("/.config/libesmtp");
    QVERIFY(QDir().mkpath(configDir));
    QVERIFY(QDir().mkpath(emptyHome_));
    QFile::setPermissions(configDir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString caFile = configDir + QStringLiteral("/ca.pem");
    QVERIFY(QFile::copy(certFile_, caFile));
    // libESMTP ignores a CA file that others may read.
    QVERIFY(QFile::setPermissions(caFile, QFile::ReadOwner | QFile::WriteOwner));
}

Run tst_Postwing::runPostwing(const QStringList& arguments, const QByteArray& input, const QString& home) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home);
    environment.remove(QStringLiteral("XDG_CONFIG_DIR"));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(POSTWING_BINARY), arguments);
    Run run;
    if (!process.waitForStarted(10000))
        return run;
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.errorLog = process.readAllStandardError();
    run.sessionLog = process.readAllStandardOutput();
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return run;
}

enum class Server { plain, starttls, auth, rejecting, none };

void tst_Postwing::send_outcomeInLogs_data() {
    QTest::addColumn<Server>("server");
    QTest::addColumn<QString>("host");    // "%p" stands for the server's port
    QTest::addColumn<QString>("portArg"); // the same
    QTest::addColumn<QString>("tlsArg");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("trustCertificate");
    QTest::addColumn<bool>("sent");
    QTest::addColumn<QByteArray>("errorStart"); // failed runs: how the error log begins
    QTest::addColumn<QByteArray>("sessionContains");
    QTest::addColumn<QByteArray>("receivedOverTLS"); // sent runs: "yes" or "no"

    const QByteArray reason = "Message cannot be sent. Reason:\n";
    QTest::newRow("plain SMTP accepted")
        << Server::plain << "127.0.0.1"
        << "%p"
        << "0"
        << ""
        << "" << true << true << QByteArray() << QByteArray("250 Message accepted\r\n--- Recepients: ---")
        << QByteArray("no");
    QTest::newRow("STARTTLS with a trusted certificate")
        << Server::starttls << "localhost"
        << "%p"
        << "1"
        << ""
        << "" << true << true << QByteArray() << QByteArray("a@example.test 250 OK\r\n") << QByteArray("yes");
    QTest::newRow("STARTTLS switch other than 1 stays off")
        << Server::starttls << "localhost"
        << "%p"
        << "true"
        << ""
        << "" << true << true << QByteArray() << QByteArray("250 Message accepted") << QByteArray("no");
    QTest::newRow("STARTTLS with an untrusted certificate fails")
        << Server::starttls << "localhost"
        << "%p"
        << "1"
        << ""
        << "" << false << false << reason << QByteArray("C: STARTTLS") << QByteArray();
    QTest::newRow("AUTH PLAIN with user and password, password masked")
        << Server::auth << "127.0.0.1"
        << "%p"
        << "0"
        << "alice"
        << "s3cret!" << true << true << QByteArray()
        << QByteArray("auth():\nUser Name: alice\nPass Phrase: *******\n") << QByteArray("no");
    QTest::newRow("AUTH PLAIN with a wrong password fails")
        << Server::auth << "127.0.0.1"
        << "%p"
        << "0"
        << "alice"
        << "wrong" << true << false << reason << QByteArray("Pass Phrase: *****\n") << QByteArray();
    QTest::newRow("password over 255 bytes refused before connecting")
        << Server::auth << "127.0.0.1"
        << "%p"
        << "0"
        << "alice" << QString(256, QLatin1Char('p')) << true << false
        << QByteArray(reason + "Password is longer than 255 bytes; not sent.\n") << QByteArray()
        << QByteArray();
    QTest::newRow("554 from the server is a failure with the status line")
        << Server::rejecting << "127.0.0.1"
        << "%p"
        << "0"
        << ""
        << "" << true << false << QByteArray(reason + "554 Refused by test\r\nSession:\nS: 220 ")
        << QByteArray("554 Refused by test\r\n") << QByteArray();
    QTest::newRow("nothing listening") << Server::none << "127.0.0.1"
                                       << "%p"
                                       << "0"
                                       << ""
                                       << "" << true << false << QByteArray(reason + "smtp_start_session(): ")
                                       << QByteArray() << QByteArray();
    QTest::newRow("port 0 leaves the server text to the host")
        << Server::plain << "127.0.0.1:%p"
        << "0"
        << "0"
        << ""
        << "" << true << true << QByteArray() << QByteArray("250 Message accepted") << QByteArray("no");
    QTest::newRow("port that is no number leaves the server text to the host")
        << Server::plain << "127.0.0.1:%p"
        << "smtp"
        << "0"
        << ""
        << "" << true << true << QByteArray() << QByteArray("250 Message accepted") << QByteArray("no");
}

void tst_Postwing::send_outcomeInLogs() {
    QFETCH(Server, server);
    QFETCH(QString, host);
    QFETCH(QString, portArg);
    QFETCH(QString, tlsArg);
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(bool, trustCertificate);
    QFETCH(bool, sent);
    QFETCH(QByteArray, errorStart);
    QFETCH(QByteArray, sessionContains);
    QFETCH(QByteArray, receivedOverTLS);

    MailCatcher::Options options;
    if (server == Server::starttls) {
        options.certFile = certFile_;
        options.keyFile = keyFile_;
    }
    if (server == Server::auth) {
        options.user = QStringLiteral("alice");
        options.password = QStringLiteral("s3cret!");
    }
    if (server == Server::rejecting)
        options.reject = QStringLiteral("554 Refused by test");
    MailCatcher catcher(options);
    QVERIFY2(catcher.isListening(), qPrintable(catcher.error()));
    const quint16 port = server == Server::none ? Warden::Test::unusedLoopbackPort() : catcher.port();
    const QString portText = QString::number(port);

    const Run run = runPostwing({QStringLiteral("a@example.test"), QStringLiteral("b@example.test"),
                                 QString(host).replace(QStringLiteral("%p"), portText),
                                 QString(portArg).replace(QStringLiteral("%p"), portText), user, password,
                                 tlsArg, QStringLiteral("Test subject")},
                                "Hello\r\n", trustCertificate ? trustingHome_ : emptyHome_);

    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.errorLog.isEmpty() == sent, run.errorLog.constData());
    QVERIFY2(run.sessionLog.endsWith("Bye\n"), run.sessionLog.constData());
    QVERIFY2(run.sessionLog.contains(sessionContains), run.sessionLog.constData());
    if (!password.isEmpty())
        QVERIFY(!run.sessionLog.contains(password.toUtf8()));
    if (sent) {
        QVERIFY(catcher.waitForMessages(1));
        const Saved saved = readSaved(catcher.messages().constFirst());
        QCOMPARE(headerValue(saved.headers, "X-Envelope-TLS"), receivedOverTLS);
        QCOMPARE(headerValue(saved.headers, "X-Envelope-To"), QByteArray("a@example.test"));
        QCOMPARE(headerValue(saved.headers, "X-Envelope-From"), QByteArray("b@example.test"));
        QCOMPARE(headerValue(saved.headers, "To"), QByteArray("a@example.test"));
    } else {
        QVERIFY2(run.errorLog.startsWith(errorStart), run.errorLog.constData());
        QVERIFY(run.errorLog.endsWith("\n"));
        QVERIFY(run.sessionLog.contains("Message cannot be sent."));
        QVERIFY(catcher.messages().isEmpty());
    }
}

void tst_Postwing::message_headersAndBody_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("subjectArg");
    QTest::addColumn<QByteArray>("subject"); // empty: no Subject header at all
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("text without an empty line is all body")
        << QByteArray("Subject: not a header\r\nsecond line\r\n") << "S" << QByteArray("S")
        << QByteArray("Subject: not a header\r\nsecond line\r\n");
    QTest::newRow("header lines of the text are kept") << QByteArray("Subject: inner\r\n\r\nbody\r\n") << ""
                                                       << QByteArray("inner") << QByteArray("body\r\n");
    QTest::newRow("command-line subject replaces the inner one")
        << QByteArray("Subject: inner\r\n\r\nbody\r\n") << "outer" << QByteArray("outer")
        << QByteArray("body\r\n");
    QTest::newRow("empty subject sets none")
        << QByteArray("body\r\n") << "" << QByteArray() << QByteArray("body\r\n");
    QTest::newRow("leading dot survives the transfer")
        << QByteArray("x\r\n.hidden\r\n") << "S" << QByteArray("S") << QByteArray("x\r\n.hidden\r\n");
}

void tst_Postwing::message_headersAndBody() {
    QFETCH(QByteArray, input);
    QFETCH(QString, subjectArg);
    QFETCH(QByteArray, subject);
    QFETCH(QByteArray, body);

    MailCatcher catcher;
    QVERIFY2(catcher.isListening(), qPrintable(catcher.error()));
    const Run run = runPostwing({QStringLiteral("a@example.test"), QStringLiteral("b@example.test"),
                                 QStringLiteral("127.0.0.1"), QString::number(catcher.port()), QString(),
                                 QString(), QStringLiteral("0"), subjectArg},
                                input, emptyHome_);
    QVERIFY2(run.errorLog.isEmpty(), run.errorLog.constData());
    QVERIFY(catcher.waitForMessages(1));
    const Saved saved = readSaved(catcher.messages().constFirst());
    QCOMPARE(headerValue(saved.headers, "Subject"), subject);
    QCOMPARE(saved.headers.count("Subject:"), subject.isEmpty() ? 0 : 1);
    QCOMPARE(saved.body, body);
}

QTEST_GUILESS_MAIN(tst_Postwing)
#include "tst_Postwing.moc"
