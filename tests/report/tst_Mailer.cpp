#include "report/MailQueue.h"
#include "report/QMailer.h"

#include "MailCatcher.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>

using namespace Warden;

namespace {

const QString fakePostwing = QStringLiteral(FAKE_POSTWING);

MailResult send(const QByteArray& to, quint16 port, bool tls, const QByteArray& subject,
                const QByteArray& body, const MailLimits& limits = {}) {
    MailJob job;
    job.to = to;
    job.from = "from@example.test";
    job.host = "mail.example.test";
    job.port = port;
    job.user = "user";
    job.password = "pass";
    job.useTLS = tls;
    job.subject = subject;
    job.body = body;
    return sendEmail(job, limits);
}

} // namespace

class tst_Mailer : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void sendEmail_argumentsAndInput_data();
    void sendEmail_argumentsAndInput();
    void sendEmail_failureLeavesReason_data();
    void sendEmail_failureLeavesReason();
    void concurrentSenders_eachGetOwnOutcome();
    void program_besideBeforePath();
    void queueFinish_waitsForTheSendInProgress_data();
    void queueFinish_waitsForTheSendInProgress();
    void refusedLogin_reasonWithoutSecretInAppLog_data();
    void refusedLogin_reasonWithoutSecretInAppLog();

private:
    QTemporaryDir dir_;
};

void tst_Mailer::init() {
    QVERIFY(dir_.isValid());
    const QStringList old = QDir(dir_.path()).entryList(QDir::Files);
    for (const QString& name : old)
        QFile::remove(dir_.filePath(name));
    qputenv("FAKE_POSTWING_DIR", QFile::encodeName(dir_.path()));
    qputenv("FAKE_POSTWING_MODE", "ok");
    setPostwingProgram(fakePostwing);
}

void tst_Mailer::cleanup() {
    setPostwingProgram(QString());
}

void tst_Mailer::sendEmail_argumentsAndInput_data() {
    QTest::addColumn<quint16>("port");
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QByteArray>("subject");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("portArg");
    QTest::addColumn<QByteArray>("tlsArg");

    QTest::newRow("port and TLS set") << quint16(25) << true << QByteArray("Report") << QByteArray("Hi\r\n")
                                      << QByteArray("25") << QByteArray("1");
    QTest::newRow("no port travels as 0, TLS off as 0")
        << quint16(0) << false << QByteArray("Report") << QByteArray("Hi") << QByteArray("0")
        << QByteArray("0");
    QTest::newRow("UTF-8 subject reaches the child byte for byte")
        << quint16(587) << false
        << QByteArray("Strom \xc3\x9c"
                      "bersicht")
        << QByteArray("x") << QByteArray("587") << QByteArray("0");
    QTest::newRow("NUL inside the body does not cut it")
        << quint16(25) << false << QByteArray("S") << QByteArray("before\0after\r\n", 14) << QByteArray("25")
        << QByteArray("0");
    QTest::newRow("body of several lines unchanged")
        << quint16(65535) << false << QByteArray("S")
        << QByteArray("Content-Type: text/html\r\n\r\n<b>\xe2\x82\xac</b>\r\n") << QByteArray("65535")
        << QByteArray("0");
}

void tst_Mailer::sendEmail_argumentsAndInput() {
    QFETCH(quint16, port);
    QFETCH(bool, tls);
    QFETCH(QByteArray, subject);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, portArg);
    QFETCH(QByteArray, tlsArg);

    const MailResult result = send("to@example.test", port, tls, subject, body);
    QCOMPARE(result.status, MailStatus::sent);
    QCOMPARE(result.error, QByteArray());
    QCOMPARE(result.sessionLog, QByteArray("Bye\n"));
    const QStringList args = QDir(dir_.path()).entryList({QStringLiteral("args.*")});
    QCOMPARE(args.size(), 1);
    // The password travels in the environment: every local user can read a command line.
    const QByteArray expected = "to@example.test\nfrom@example.test\nmail.example.test\n" + portArg +
                                "\nuser\n\n" + tlsArg + "\n" + subject + "\n";
    QCOMPARE(Test::readFile(dir_.filePath(args.constFirst())), expected);
    const QString pid = args.constFirst().mid(5);
    QCOMPARE(Test::readFile(dir_.filePath(QStringLiteral("password.") + pid)), QByteArray("pass"));
    QCOMPARE(Test::readFile(dir_.filePath(QStringLiteral("stdin.") + pid)), body);
}

void tst_Mailer::sendEmail_failureLeavesReason_data() {
    QTest::addColumn<QByteArray>("mode");
    QTest::addColumn<QString>("program");
    QTest::addColumn<QByteArray>("expectedStart");
    QTest::addColumn<MailStatus>("status");
    QTest::addColumn<QByteArray>("sessionLog");

    QTest::newRow("error log of the child is the error text")
        << QByteArray("fail") << fakePostwing << QByteArray("failed for to@example.test\n")
        << MailStatus::refused << QByteArray("Bye\n");
    QTest::newRow("missing program is not a success")
        << QByteArray("ok") << QStringLiteral("/nonexistent/postwing")
        << QByteArray("postwing could not be started: ") << MailStatus::notStarted << QByteArray();
    QTest::newRow("child stopped at the time limit")
        << QByteArray("hang") << fakePostwing << QByteArray("postwing did not finish within 0.5 s\n")
        << MailStatus::timedOut << QByteArray();
    QTest::newRow("crashed child is not a success")
        << QByteArray("crash") << fakePostwing << QByteArray("postwing stopped unexpectedly: ")
        << MailStatus::crashed << QByteArray();
}

void tst_Mailer::sendEmail_failureLeavesReason() {
    QFETCH(QByteArray, mode);
    QFETCH(QString, program);
    QFETCH(QByteArray, expectedStart);
    QFETCH(MailStatus, status);
    QFETCH(QByteArray, sessionLog);

    qputenv("FAKE_POSTWING_MODE", mode);
    setPostwingProgram(program);
    const MailResult result = send("to@example.test", 25, false, "S", "body", {5000, 500});
    QVERIFY2(result.error.startsWith(expectedStart), result.error.constData());
    QVERIFY(result.error.endsWith('\n'));
    QCOMPARE(result.error.count('\n'), 1);
    QCOMPARE(result.status, status);
    QCOMPARE(result.sessionLog, sessionLog);
}

void tst_Mailer::concurrentSenders_eachGetOwnOutcome() {
    qputenv("FAKE_POSTWING_MODE", "fail");
    std::atomic<int> mixedUp{0};
    auto sender = [&mixedUp](QByteArray to) {
        for (int i = 0; i < 4; ++i) {
            if (send(to, 25, false, "S", "body").error != "failed for " + to + "\n")
                ++mixedUp;
        }
    };
    QThread* first = QThread::create(sender, QByteArray("first@example.test"));
    QThread* second = QThread::create(sender, QByteArray("second@example.test"));
    first->start();
    second->start();
    QVERIFY(first->wait(60000));
    QVERIFY(second->wait(60000));
    delete first;
    delete second;
    QCOMPARE(mixedUp.load(), 0);
}

void tst_Mailer::program_besideBeforePath() {
    setPostwingProgram(QString());
    QTemporaryDir bin;
    const QString onPath = bin.filePath(QStringLiteral("postwing"));
    QVERIFY(QFile::copy(fakePostwing, onPath));
    QVERIFY(QFile::setPermissions(onPath, QFile::ReadOwner | QFile::ExeOwner));
    const QString beside = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("postwing"));
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin.path()));

    const QString withBeside = postwingProgram();
    QVERIFY(QFile::rename(beside, beside + QStringLiteral(".away")));
    const QString withoutBeside = postwingProgram();
    QVERIFY(QFile::rename(beside + QStringLiteral(".away"), beside));
    qputenv("PATH", oldPath);

    QCOMPARE(withBeside, beside);
    QCOMPARE(withoutBeside, onPath);
}

// Stop lets the send in progress end within the limit and kills its postwing after that, telling
// which send it cut off; the mails behind it are not started (their outbox files wait for the next
// start).
void tst_Mailer::queueFinish_waitsForTheSendInProgress_data() {
    QTest::addColumn<QByteArray>("mode");
    QTest::addColumn<int>("waitMs");
    QTest::addColumn<bool>("endsInTime");

    QTest::newRow("a slow send is let finish") << QByteArray("slow") << 10000 << true;
    QTest::newRow("a hanging send is cut off at the limit") << QByteArray("hang") << 500 << false;
}

void tst_Mailer::queueFinish_waitsForTheSendInProgress() {
    QFETCH(QByteArray, mode);
    QFETCH(int, waitMs);
    QFETCH(bool, endsInTime);

    qputenv("FAKE_POSTWING_MODE", mode);
    MailQueue queue;
    QSignalSpy sent(&queue, &MailQueue::sent);
    MailJob job;
    job.to = "a@example.test";
    job.logOutcome = false;
    job.id = QStringLiteral("first");
    MailJob second = job;
    second.id = QStringLiteral("second");
    queue.enqueue({job, second});
    QTRY_VERIFY_WITH_TIMEOUT(QDir(dir_.path()).entryList({QStringLiteral("args.*")}).size() == 1, 10000);
    QElapsedTimer timer;
    timer.start();
    const QStringList cut = queue.finish(waitMs);
    QVERIFY2(timer.elapsed() < waitMs + 3000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(cut, endsInTime ? QStringList() : QStringList{QStringLiteral("first")});
    QCOMPARE(sent.size(), endsInTime ? 1 : 0);
    QCOMPARE(QDir(dir_.path()).entryList({QStringLiteral("args.*")}).size(), 1);
}

void tst_Mailer::refusedLogin_reasonWithoutSecretInAppLog_data() {
    QTest::addColumn<QString>("mechanism");
    QTest::newRow("PLAIN") << "PLAIN";
    QTest::newRow("LOGIN") << "LOGIN";
}

// The real postwing and server: the refusal reaches "app.log", the login does not.
void tst_Mailer::refusedLogin_reasonWithoutSecretInAppLog() {
    QFETCH(QString, mechanism);
    Test::ScopedWorkDir work;
    Test::MailCatcher::Options options;
    options.user = QStringLiteral("alice");
    options.password = QStringLiteral("s3cret!");
    options.mechanisms = mechanism;
    Test::MailCatcher catcher(options);
    QVERIFY2(catcher.isListening(), qPrintable(catcher.error()));
    setPostwingProgram(QStringLiteral(POSTWING_BINARY));

    MailJob job;
    job.to = "a@example.test";
    job.from = "b@example.test";
    job.host = "127.0.0.1";
    job.port = catcher.port();
    job.user = "alice";
    job.password = "wr0ng!pw";
    job.subject = "S";
    job.body = "Hello\r\n";
    const qsizetype logBefore = Test::appLog().size();
    MailQueue queue;
    QSignalSpy sent(&queue, &MailQueue::sent);
    queue.enqueue({job});
    QTRY_COMPARE_WITH_TIMEOUT(sent.size(), 1, 30000);

    const QByteArray logged = Test::appLog().mid(logBefore);
    QVERIFY2(logged.contains("\n535 5.7.8 "), logged.constData());
    const QByteArray secrets[] = {job.password, job.password.toBase64(),
                                  ("\0alice\0" + job.password).toBase64()};
    for (const QByteArray& secret : secrets)
        QVERIFY2(!logged.contains(secret), secret.constData());
}

QTEST_GUILESS_MAIN(tst_Mailer)
#include "tst_Mailer.moc"
