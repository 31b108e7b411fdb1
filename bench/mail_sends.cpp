// Sends mails one after another through postwing to the local mail catcher, with STARTTLS (TLS 1.3
// and session tickets offered, as usual servers do) and AUTH PLAIN, the way Ampwarden sends its
// reports, and prints sends per second and the slowest send.
//
//   mail_sends [sends]        (default 100)
//
// Exits with 1 when a send does not end with the server's 250.

#include "MailCatcher.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int sends = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 100;

    QTemporaryDir dir;
    const Warden::Test::TestCertificate certificate(dir.path());
    if (!certificate.isValid()) {
        std::fprintf(stderr, "%s\n", qPrintable(certificate.error));
        return 2;
    }
    Warden::Test::MailCatcher::Options options;
    options.certFile = certificate.certFile;
    options.keyFile = certificate.keyFile;
    options.user = QStringLiteral("alice");
    options.password = QStringLiteral("s3cret!");
    Warden::Test::MailCatcher catcher(options);
    if (!catcher.isListening()) {
        std::fprintf(stderr, "%s\n", qPrintable(catcher.error()));
        return 2;
    }

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), certificate.trustingHome);
    environment.remove(QStringLiteral("XDG_CONFIG_DIR"));
    environment.insert(QStringLiteral("POSTWING_PASSWORD"), options.password);
    const QStringList arguments{QStringLiteral("a@example.test"),
                                QStringLiteral("b@example.test"),
                                QStringLiteral("localhost"),
                                QString::number(catcher.port()),
                                options.user,
                                QString(),
                                QStringLiteral("1"),
                                QStringLiteral("Benchmark")};
    // About the size of a report without images, in lines a server takes.
    const QByteArray message =
        "Content-Type: text/plain\r\n\r\n" + (QByteArray(62, 'x') + "\r\n").repeated(64);

    std::vector<qint64> times;
    int failed = 0;
    QElapsedTimer total;
    total.start();
    for (int i = 0; i < sends; ++i) {
        QElapsedTimer one;
        one.start();
        QProcess postwing;
        postwing.setProcessEnvironment(environment);
        postwing.start(QStringLiteral(POSTWING_BINARY), arguments);
        postwing.write(message);
        postwing.closeWriteChannel();
        // Longer than any server delay worth measuring, shorter than libESMTP's five-minute reads.
        if (!postwing.waitForFinished(60000)) {
            postwing.kill();
            postwing.waitForFinished();
        }
        const QByteArray error = postwing.readAllStandardError();
        times.push_back(one.elapsed());
        if (postwing.exitStatus() != QProcess::NormalExit || !error.isEmpty()) {
            if (++failed == 1)
                std::fprintf(stderr, "send %d failed after %lld ms:\n%s\n", i + 1,
                             static_cast<long long>(times.back()), error.constData());
        }
    }
    const double seconds = static_cast<double>(total.elapsed()) / 1000.0;
    std::vector<qint64> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    std::printf("sends: %d over STARTTLS+AUTH PLAIN, failed: %d\n", sends, failed);
    std::printf("total: %.2f s, %.1f sends/s\n", seconds, sends / seconds);
    std::printf("per send: median %lld ms, slowest %lld ms\n",
                static_cast<long long>(sorted[sorted.size() / 2]), static_cast<long long>(sorted.back()));
    return failed == 0 ? 0 : 1;
}
