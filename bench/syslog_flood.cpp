// Floods a running Ampwarden with syslog datagrams from a configured controller's address and counts
// what arrived: datagrams sent, events stored, datagrams logged as from an unknown host, and the
// kernel's receive-buffer drops.
//
//   syslog_flood [--rate R] [--seconds S] [--port P] [--no-search]
//
// The first trial runs at R datagrams/s (default 20000) for S seconds (default 10). Unless
// --no-search is given, shorter trials follow at doubling rates until one loses datagrams, and the
// highest lossless rate is printed. Every trial starts a fresh program, hidden and offscreen, in a
// temporary working directory with a configuration holding controller rack1 on 127.0.0.1.

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

const char* const configuration = R"(<?xml version="1.0" encoding="UTF-8"?>
<Ampwarden>
    <Controllers>
        <Controller>
            <name>rack1</name>
            <type>Kestrel 2</type>
            <host>127.0.0.1</host>
            <port>80</port>
            <admin>root</admin>
            <password></password>
            <Channels>
            </Channels>
        </Controller>
    </Controllers>
    <MTAs>
    </MTAs>
    <EMails>
    </EMails>
    <Report>
        <checkEveryUnits>1</checkEveryUnits>
        <checkEveryUnit>Day</checkEveryUnit>
        <sendOnLogin>1</sendOnLogin>
        <sendUnderOverCurrent>1</sendUnderOverCurrent>
        <sendHistogram>0</sendHistogram>
        <sendPowerBill>0</sendPowerBill>
        <sendEntireLog>0</sendEntireLog>
        <reportEveryUnits>1</reportEveryUnits>
        <reportEveryUnit>Month</reportEveryUnit>
        <kWHPriceUSD>0.12</kWHPriceUSD>
        <currency>USD</currency>
    </Report>
</Ampwarden>)";

struct UdpCounters {
    qint64 rcvbufErrors = 0;
    qint64 inErrors = 0;
};

// The "Udp:" and "Udp6" receive-buffer counters; IPv4 datagrams to a dual-stack socket count under Udp.
UdpCounters udpCounters() {
    UdpCounters c;
    QFile snmp(QStringLiteral("/proc/net/snmp"));
    if (snmp.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = snmp.readAll().split('\n');
        for (int i = 0; i + 1 < lines.size(); ++i) {
            if (!lines[i].startsWith("Udp: ") || !lines[i + 1].startsWith("Udp: "))
                continue;
            const QList<QByteArray> names = lines[i].simplified().split(' ');
            const QList<QByteArray> values = lines[i + 1].simplified().split(' ');
            for (int k = 0; k < names.size() && k < values.size(); ++k) {
                if (names[k] == "RcvbufErrors")
                    c.rcvbufErrors += values[k].toLongLong();
                else if (names[k] == "InErrors")
                    c.inErrors += values[k].toLongLong();
            }
            break;
        }
    }
    QFile snmp6(QStringLiteral("/proc/net/snmp6"));
    if (snmp6.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : snmp6.readAll().split('\n')) {
            const QList<QByteArray> f = line.simplified().split(' ');
            if (f.size() == 2 && f[0] == "Udp6RcvbufErrors")
                c.rcvbufErrors += f[1].toLongLong();
            else if (f.size() == 2 && f[0] == "Udp6InErrors")
                c.inErrors += f[1].toLongLong();
        }
    }
    return c;
}

bool portBound(quint16 port) {
    const QByteArray needle = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0') + ' ';
    for (const char* path : {"/proc/net/udp", "/proc/net/udp6"}) {
        QFile f(QString::fromLatin1(path));
        if (f.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : f.readAll().split('\n')) {
                const QList<QByteArray> fields = line.simplified().split(' ');
                if (fields.size() > 1 && (fields[1] + ' ').endsWith(needle))
                    return true;
            }
        }
    }
    return false;
}

qint64 eventLogBytes(const QString& dir) {
    qint64 total = 0;
    QDirIterator it(dir + QStringLiteral("/log"), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        total += QFileInfo(it.next()).size();
    return total + QFileInfo(dir + QStringLiteral("/app.log")).size();
}

qint64 storedEvents(const QString& dir) {
    qint64 lines = 0;
    QDirIterator it(dir + QStringLiteral("/log"), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile f(it.next());
        if (f.open(QIODevice::ReadOnly))
            lines += f.readAll().count('\n');
    }
    return lines;
}

struct Trial {
    bool ok = false;
    qint64 sent = 0;
    double sendSeconds = 0;
    qint64 stored = 0;
    qint64 unknownHost = 0;
    qint64 rcvbufDrops = 0;
    double drainSeconds = 0;
    qint64 handled() const { return stored + unknownHost; }
};

Trial runTrial(quint16 port, qint64 rate, double seconds) {
    Trial t;
    QTemporaryDir dir;
    QFile xml(dir.filePath(QStringLiteral("Ampwarden.xml")));
    if (!xml.open(QIODevice::WriteOnly) || xml.write(configuration) < 0)
        return t;
    xml.close();

    if (portBound(port)) {
        std::fprintf(stderr, "UDP port %u is already in use; stop the other program first\n", port);
        return t;
    }
    QProcess program;
    program.setWorkingDirectory(dir.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("AMPWARDEN_AUTOCLOSE_BOXES"), QStringLiteral("1"));
    program.setProcessEnvironment(env);
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(QStringLiteral(AMPWARDEN_BINARY), {QStringLiteral("hidden")});
    if (!program.waitForStarted(10000)) {
        std::fprintf(stderr, "cannot start %s\n", AMPWARDEN_BINARY);
        return t;
    }
    QElapsedTimer waiting;
    waiting.start();
    while (!portBound(port) && waiting.elapsed() < 10000)
        QThread::msleep(20);
    if (!portBound(port)) {
        std::fprintf(stderr, "the program did not bind UDP port %u\n", port);
        program.kill();
        program.waitForFinished();
        return t;
    }

    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const qint64 count = static_cast<qint64>(rate * seconds);
    const UdpCounters before = udpCounters();

    // Paced in 1 ms slices so the rate holds over the whole trial rather than on average.
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    char buffer[160];
    for (qint64 i = 0; i < count; ++i) {
        const auto due = start + std::chrono::nanoseconds(i * 1000000000LL / rate);
        if (Clock::now() < due)
            std::this_thread::sleep_until(due);
        const int n =
            std::snprintf(buffer, sizeof buffer,
                          "<38>Dec  7 09:00:00 rack1 Successful authentication for admin, datagram %lld",
                          static_cast<long long>(i));
        if (::sendto(fd, buffer, static_cast<size_t>(n), 0, reinterpret_cast<const sockaddr*>(&to),
                     sizeof to) == n)
            ++t.sent;
    }
    t.sendSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);

    // Drained when the event files stop growing for a second.
    QElapsedTimer drain;
    drain.start();
    qint64 last = -1;
    QElapsedTimer stable;
    stable.start();
    while (drain.elapsed() < 120000) {
        const qint64 now = eventLogBytes(dir.path());
        if (now != last) {
            last = now;
            stable.restart();
        } else if (stable.elapsed() >= 1000) {
            break;
        }
        QThread::msleep(50);
    }
    t.drainSeconds = (drain.elapsed() - stable.elapsed()) / 1000.0;
    t.rcvbufDrops = udpCounters().rcvbufErrors - before.rcvbufErrors;

    program.terminate();
    if (!program.waitForFinished(15000)) {
        program.kill();
        program.waitForFinished();
    }
    t.stored = storedEvents(dir.path());
    QFile appLog(dir.filePath(QStringLiteral("app.log")));
    if (appLog.open(QIODevice::ReadOnly))
        t.unknownHost = appLog.readAll().count("Syslog message from unknown host: ");
    t.ok = true;
    return t;
}

void print(qint64 rate, const Trial& t) {
    std::printf(
        "rate %7lld/s  sent %8lld in %6.2f s (%8.0f/s)  stored %8lld  unknown-host %8lld  lost %7lld  "
        "rcvbuf drops %7lld  drained %.2f s after sending\n",
        static_cast<long long>(rate), static_cast<long long>(t.sent), t.sendSeconds,
        t.sendSeconds > 0 ? t.sent / t.sendSeconds : 0.0, static_cast<long long>(t.stored),
        static_cast<long long>(t.unknownHost), static_cast<long long>(t.sent - t.handled()),
        static_cast<long long>(t.rcvbufDrops), t.drainSeconds);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    qint64 rate = 20000;
    double seconds = 10;
    quint16 port = 514;
    bool search = true;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--rate") && i + 1 < args.size())
            rate = args[++i].toLongLong();
        else if (args[i] == QLatin1String("--seconds") && i + 1 < args.size())
            seconds = args[++i].toDouble();
        else if (args[i] == QLatin1String("--port") && i + 1 < args.size())
            port = static_cast<quint16>(args[++i].toUInt());
        else if (args[i] == QLatin1String("--no-search"))
            search = false;
        else {
            std::fprintf(stderr, "usage: syslog_flood [--rate R] [--seconds S] [--port P] [--no-search]\n");
            return 2;
        }
    }
    if (rate <= 0 || seconds <= 0)
        return 2;

    const Trial first = runTrial(port, rate, seconds);
    if (!first.ok)
        return 1;
    print(rate, first);
    if (first.stored == 0 && first.unknownHost > 0)
        std::printf("note: no event stored; the program read no controller from Ampwarden.xml\n");
    std::printf("%s at %lld datagrams/s for %g s\n", first.sent == first.handled() ? "no loss" : "LOSS",
                static_cast<long long>(rate), seconds);

    if (!search)
        return 0;
    qint64 bestLossless = 0;
    if (first.sent == first.handled()) {
        bestLossless = rate;
        for (qint64 r = rate * 2; r <= 1280000; r *= 2) {
            const Trial t = runTrial(port, r, 2);
            if (!t.ok)
                return 1;
            print(r, t);
            const bool lossless = t.sent == t.handled();
            if (lossless)
                bestLossless = std::max(bestLossless, static_cast<qint64>(t.sent / t.sendSeconds));
            // Beyond what this machine can send, a higher target says nothing more.
            if (!lossless || t.sent / t.sendSeconds < r * 0.9)
                break;
        }
    } else {
        // Lossy at the first rate: halve it until a trial of the same length loses nothing.
        for (qint64 r = rate / 2; r >= 1000; r /= 2) {
            const Trial t = runTrial(port, r, seconds);
            if (!t.ok)
                return 1;
            print(r, t);
            if (t.sent == t.handled()) {
                bestLossless = r;
                break;
            }
        }
    }
    std::printf("highest lossless rate: %lld datagrams/s\n", static_cast<long long>(bestLossless));
    return 0;
}
