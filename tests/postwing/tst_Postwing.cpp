#include "MailCatcher.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
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

// The Subject as a mail reader shows it: unfolded, encoded-words decoded, the white space between
// two of them dropped.
QByteArray decodedSubject(const QByteArray& headers) {
    const QRegularExpression field(
        QStringLiteral("(?m)^Subject: ((?:[^\\r\\n]*)(?:\\r\\n[ \\t][^\\r\\n]*)*)"));
    const QByteArray value =
        field.match(QString::fromLatin1(headers)).captured(1).toLatin1().replace("\r\n", "");
    const QRegularExpression word(QStringLiteral("=\\?UTF-8\\?B\\?([A-Za-z0-9+/=]*)\\?="));
    QByteArray decoded;
    qsizetype at = 0;
    bool afterWord = false;
    for (const QRegularExpressionMatch& match : word.globalMatch(QString::fromLatin1(value))) {
        const QByteArray between = value.mid(at, match.capturedStart() - at);
        if (!(afterWord && between.trimmed().isEmpty()))
            decoded += between;
        decoded += QByteArray::fromBase64(match.captured(1).toLatin1());
        at = match.capturedEnd();
        afterWord = true;
    }
    return decoded + value.mid(at);
}

// What a server may ask of every header line: 7-bit and at most 78 characters.
bool headersFit(const QByteArray& headers) {
    const QList<QByteArray> lines = headers.split('\n');
    for (const QByteArray& line : lines) {
        if (line.size() > 79) // 78 and the CR
            return false;
        for (const char c : line) {
            if (static_cast<unsigned char>(c) > 0x7f)
                return false;
        }
    }
    return true;
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
    void credentials_neverInOutputs_data();
    void credentials_neverInOutputs();
    void starttlsAuth_fiftySendsInARow();
    void pieceOfAMessage_refusedBeforeConnecting_data();
    void pieceOfAMessage_refusedBeforeConnecting();

private:
    Run runPostwing(const QStringList& arguments, const QByteArray& input, const QString& home,
                    const QByteArray& passwordVariable = QByteArray(),
                    const QProcessEnvironment& extra = QProcessEnvironment());

    QTemporaryDir certDir_;
    QString certFile_;
    QString keyFile_;
    QString trustingHome_; // ca.pem names the test certificate
    QString emptyHome_;    // no ca.pem: the system's CA store, which does not know it
};

void tst_Postwing::initTestCase() {
    QVERIFY(certDir_.isValid());
    const Warden::Test::TestCertificate certificate(certDir_.path());
    QVERIFY2(certificate.isValid(), qPrintable(certificate.error));
    certFile_ = certificate.certFile;
    keyFile_ = certificate.keyFile;
    trustingHome_ = certificate.trustingHome;
    emptyHome_ = certDir_.filePath(QStringLiteral("empty-home"));
    QVERIFY(QDir().mkpath(emptyHome_));
}

Run tst_Postwing::runPostwing(const QStringList& arguments, const QByteArray& input, const QString& home,
                              const QByteArray& passwordVariable, const QProcessEnvironment& extra) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home);
    environment.remove(QStringLiteral("XDG_CONFIG_DIR"));
    environment.remove(QStringLiteral("POSTWING_PASSWORD"));
    if (!passwordVariable.isEmpty())
        environment.insert(QStringLiteral("POSTWING_PASSWORD"), QString::fromUtf8(passwordVariable));
    environment.insert(extra);
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

enum class Server { plain, starttls, auth, rejecting, refusingRecipient, droppingAtQuit, none };

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
        << "" << true << true << QByteArray() << QByteArray("250 Message accepted\r\n--- Recipients: ---")
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
        << "" << false << false << QByteArray(reason + "The server's certificate is not trusted")
        << QByteArray("C: STARTTLS") << QByteArray();
    QTest::newRow("STARTTLS for another host name fails")
        << Server::starttls << "127.0.0.1"
        << "%p"
        << "1"
        << ""
        << "" << true << false << QByteArray(reason + "The server's certificate is for \"localhost\"")
        << QByteArray("C: STARTTLS") << QByteArray();
    QTest::newRow("STARTTLS switched on, server without it: nothing sent, no login in clear")
        << Server::auth << "127.0.0.1"
        << "%p"
        << "1"
        << "alice"
        << "s3cret!" << true << false << QByteArray(reason + "The server does not offer STARTTLS")
        << QByteArray() << QByteArray();
    QTest::newRow("AUTH PLAIN with user and password, password masked")
        << Server::auth << "127.0.0.1"
        << "%p"
        << "0"
        << "alice"
        << "s3cret!" << true << true << QByteArray()
        << QByteArray("auth():\nUser Name: alice\nPass Phrase: *******\n") << QByteArray("no");
    QTest::newRow("AUTH PLAIN with a wrong password gives the server's refusal")
        << Server::auth << "127.0.0.1"
        << "%p"
        << "0"
        << "alice"
        << "wrong" << true << false << QByteArray(reason + "535 5.7.8 Authentication credentials invalid\n")
        << QByteArray("Pass Phrase: *****\n") << QByteArray();
    QTest::newRow("no user name: no AUTH tried, the server's refusal of MAIL stands")
        << Server::auth << "127.0.0.1"
        << "%p"
        << "0"
        << ""
        << "" << true << false << QByteArray(reason + "530 5.7.0 Authentication required\n") << QByteArray()
        << QByteArray();
    QTest::newRow("password over 255 bytes refused before connecting")
        << Server::auth << "127.0.0.1"
        << "%p"
        << "0"
        << "alice" << QString(256, QLatin1Char('p')) << true << false
        << QByteArray(reason + "Password is longer than 255 bytes; not sent.\n") << QByteArray()
        << QByteArray();
    QTest::newRow("554 from the server is a failure with its reply")
        << Server::rejecting << "127.0.0.1"
        << "%p"
        << "0"
        << ""
        << "" << true << false << QByteArray(reason + "554 Refused by test\nSession:\nS: 220 ")
        << QByteArray("554 Refused by test\r\n") << QByteArray();
    QTest::newRow("refused recipient: its reply, not the data's follow-up")
        << Server::refusingRecipient << "127.0.0.1"
        << "%p"
        << "0"
        << ""
        << "" << true << false
        << QByteArray(reason +
                      "550 5.1.1 <a@example.test>: Recipient address rejected: User unknown\nSession:\n")
        << QByteArray() << QByteArray();
    QTest::newRow("250 and then a dropped connection is a delivery")
        << Server::droppingAtQuit << "127.0.0.1"
        << "%p"
        << "0"
        << ""
        << "" << true << true << QByteArray() << QByteArray("250 Message accepted") << QByteArray("no");
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
    if (server == Server::refusingRecipient)
        options.refuseRecipient = QStringLiteral("a@example.test");
    options.dropAtQuit = server == Server::droppingAtQuit;
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
        QVERIFY(!run.sessionLog.contains(password.toUtf8()) && !run.errorLog.contains(password.toUtf8()));
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
    QTest::addColumn<QByteArray>("subject"); // as decoded; empty: no Subject header at all
    QTest::addColumn<QByteArray>("body");

    const QString longName =
        QStringLiteral("Power Controller Rack-07 upstairs : PDU 8 @ 10.20.30.40:8080 report");
    const QString cyrillic = QStringLiteral("Стойка 1 руб. ");

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
    QTest::newRow("bare LF and bare CR reach the server as CRLF")
        << QByteArray("one\ntwo\rthree\r\n") << "S" << QByteArray("S")
        << QByteArray("one\r\ntwo\r\nthree\r\n");
    QTest::newRow("NUL does not cut the message")
        << QByteArray("a\0b\r\nlast\r\n", 11) << "S" << QByteArray("S") << QByteArray("a\0b\r\nlast\r\n", 11);
    QTest::newRow("non-ASCII subject as encoded-words")
        << QByteArray("x\r\n") << cyrillic.trimmed() << cyrillic.trimmed().toUtf8() << QByteArray("x\r\n");
    QTest::newRow("long non-ASCII subject folded into lines of 78")
        << QByteArray("x\r\n") << cyrillic.repeated(8) << cyrillic.repeated(8).toUtf8()
        << QByteArray("x\r\n");
    QTest::newRow("long ASCII subject folded at spaces")
        << QByteArray("x\r\n") << longName + longName << (longName + longName).toUtf8()
        << QByteArray("x\r\n");
    QTest::newRow("line break in the subject adds no header")
        << QByteArray("x\r\n") << "S\r\nBcc: x@example.test" << QByteArray("S  Bcc: x@example.test")
        << QByteArray("x\r\n");
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
    QCOMPARE(decodedSubject(saved.headers), subject);
    QCOMPARE(saved.headers.count("Subject:"), subject.isEmpty() ? 0 : 1);
    QVERIFY2(headersFit(saved.headers), saved.headers.constData());
    QVERIFY(!saved.headers.contains("\nBcc:"));
    QCOMPARE(saved.body, body);
}

void tst_Postwing::credentials_neverInOutputs_data() {
    QTest::addColumn<QString>("mechanism");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<bool>("inEnvironment");
    QTest::addColumn<bool>("rejectMessage"); // a login that works, a message that fails: trace with AUTH

    QTest::newRow("PLAIN, wrong password from the environment")
        << "PLAIN" << QByteArray("wr0ng!pw") << true << false;
    QTest::newRow("PLAIN, wrong password as argument") << "PLAIN" << QByteArray("wr0ng!pw") << false << false;
    QTest::newRow("PLAIN, right password, message refused")
        << "PLAIN" << QByteArray("s3cret!") << true << true;
    QTest::newRow("LOGIN, wrong password") << "LOGIN" << QByteArray("wr0ng!pw") << true << false;
    QTest::newRow("LOGIN, right password, message refused")
        << "LOGIN" << QByteArray("s3cret!") << true << true;
}

// The error log goes to app.log and into a message box: the trace in it must not carry the login.
void tst_Postwing::credentials_neverInOutputs() {
    QFETCH(QString, mechanism);
    QFETCH(QByteArray, password);
    QFETCH(bool, inEnvironment);
    QFETCH(bool, rejectMessage);

    MailCatcher::Options options;
    options.user = QStringLiteral("alice");
    options.password = QStringLiteral("s3cret!");
    options.mechanisms = mechanism;
    if (rejectMessage)
        options.reject = QStringLiteral("554 Refused by test");
    MailCatcher catcher(options);
    QVERIFY2(catcher.isListening(), qPrintable(catcher.error()));
    const Run run = runPostwing(
        {QStringLiteral("a@example.test"), QStringLiteral("b@example.test"), QStringLiteral("127.0.0.1"),
         QString::number(catcher.port()), QStringLiteral("alice"),
         inEnvironment ? QString() : QString::fromUtf8(password), QStringLiteral("0"), QStringLiteral("S")},
        "Hello\r\n", emptyHome_, inEnvironment ? password : QByteArray());

    QVERIFY2(run.errorLog.contains("C: AUTH " + mechanism.toLatin1()), run.errorLog.constData());
    QVERIFY2(run.errorLog.contains(rejectMessage ? "\n554 Refused by test\n" : "\n535 "),
             run.errorLog.constData());
    const QByteArray secrets[] = {password, password.toBase64(), ("\0alice\0" + password).toBase64(),
                                  QByteArray("alice\0" + password).toBase64()};
    for (const QByteArray& secret : secrets) {
        QVERIFY2(!run.errorLog.contains(secret), secret.constData());
        QVERIFY2(!run.sessionLog.contains(secret), secret.constData());
    }
}

// libESMTP 1.1 and a server that sends TLS 1.3 session tickets used to hang about every third send
// for minutes; every send has to end, quickly, with its 250.
void tst_Postwing::starttlsAuth_fiftySendsInARow() {
    MailCatcher::Options options;
    options.certFile = certFile_;
    options.keyFile = keyFile_;
    options.user = QStringLiteral("alice");
    options.password = QStringLiteral("s3cret!");
    MailCatcher catcher(options);
    QVERIFY2(catcher.isListening(), qPrintable(catcher.error()));
    constexpr int sends = 50;
    for (int i = 0; i < sends; ++i) {
        QElapsedTimer timer;
        timer.start();
        const Run run =
            runPostwing({QStringLiteral("a@example.test"), QStringLiteral("b@example.test"),
                         QStringLiteral("localhost"), QString::number(catcher.port()),
                         QStringLiteral("alice"), QString(), QStringLiteral("1"), QStringLiteral("S")},
                        "Hello\r\n", trustingHome_, "s3cret!");
        QVERIFY2(run.exitCode == 0 && run.errorLog.isEmpty(),
                 qPrintable(QString::number(i) + QLatin1Char(' ') + QString::fromUtf8(run.errorLog)));
        QVERIFY2(timer.elapsed() < 10000, qPrintable(QString::number(timer.elapsed())));
    }
    QVERIFY(catcher.waitForMessages(sends));
    QCOMPARE(headerValue(readSaved(catcher.messages().constLast()).headers, "X-Envelope-TLS"),
             QByteArray("yes"));
}

// What a caller killed while handing the message over leaves behind: never sent.
void tst_Postwing::pieceOfAMessage_refusedBeforeConnecting_data() {
    QTest::addColumn<QString>("variable");
    QTest::addColumn<QString>("value"); // "%n": the message's length, "%p": this process's id
    QTest::addColumn<bool>("sent");
    QTest::addColumn<QByteArray>("reason");

    QTest::newRow("announced length met") << "POSTWING_MESSAGE_LENGTH"
                                          << "%n" << true << QByteArray();
    QTest::newRow("message shorter than announced")
        << "POSTWING_MESSAGE_LENGTH"
        << "%n0" << false << QByteArray("The message ended after 7 of 70 bytes");
    QTest::newRow("message longer than announced")
        << "POSTWING_MESSAGE_LENGTH"
        << "6" << false << QByteArray("The message ended after 7 of 6 bytes");
    QTest::newRow("length that is no number")
        << "POSTWING_MESSAGE_LENGTH"
        << "-7" << false << QByteArray("The message ended after 7 of an unreadable");
    QTest::newRow("caller still there") << "POSTWING_PARENT_PID"
                                        << "%p" << true << QByteArray();
    QTest::newRow("caller gone before postwing ran")
        << "POSTWING_PARENT_PID"
        << "1" << false << QByteArray("The program that started postwing ended");
}

void tst_Postwing::pieceOfAMessage_refusedBeforeConnecting() {
    QFETCH(QString, variable);
    QFETCH(QString, value);
    QFETCH(bool, sent);
    QFETCH(QByteArray, reason);

    MailCatcher catcher;
    QVERIFY2(catcher.isListening(), qPrintable(catcher.error()));
    const QByteArray message = "Hello\r\n";
    QProcessEnvironment extra;
    extra.insert(variable,
                 QString(value)
                     .replace(QStringLiteral("%n"), QString::number(message.size()))
                     .replace(QStringLiteral("%p"), QString::number(QCoreApplication::applicationPid())));
    const Run run = runPostwing({QStringLiteral("a@example.test"), QStringLiteral("b@example.test"),
                                 QStringLiteral("127.0.0.1"), QString::number(catcher.port()), QString(),
                                 QString(), QStringLiteral("0"), QStringLiteral("S")},
                                message, emptyHome_, QByteArray(), extra);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.errorLog.isEmpty() == sent, run.errorLog.constData());
    QVERIFY2(sent || run.errorLog.startsWith("Message cannot be sent. Reason:\n" + reason),
             run.errorLog.constData());
    QCOMPARE(catcher.waitForMessages(1, sent ? 15000 : 0), sent);
}

QTEST_GUILESS_MAIN(tst_Postwing)
#include "tst_Postwing.moc"
