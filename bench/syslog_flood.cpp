// Floods a running Ampwarden with syslog datagrams and counts what arrived.
//
//   syslog_flood [--rate R] [--seconds S] [--port P] [--step N | --no-search]
//   syslog_flood --hostile [--rate R] [--seconds S] [--port P]
//   syslog_flood --controller-flood [--rate R] [--seconds S] [--port P]
//
// The first form sends from a configured controller's address and prints per trial: datagrams sent,
// events stored, datagrams the controller's budget of events a second refused (handled, not lost: all
// but 100 a second), datagrams logged as from an unknown host, datagrams lost, the kernel's drops for the
// program's socket (/proc/net/udp6) and for all UDP (RcvbufErrors), the losses the program itself
// logged (the kernel's, which each datagram tells it, and its own when too many wait for the main
// thread), and how long the program took to catch up after the last datagram was sent. The first
// trial runs at R datagrams/s (default 20000) for S seconds (default 10). Then the rate goes up: by N
// per trial with --step N, or else doubling until a trial loses datagrams and then halving the gap
// between the highest lossless and the lowest lossy rate down to a twentieth; every trial as long as
// the first. The highest lossless rate is printed last. Long trials matter: the program can hold some
// seconds' worth of datagrams in memory, so only a trial longer than that shows whether it keeps pace.
//
// --hostile sends R datagrams/s (default 100000) for S seconds from unknown senders all over
// 127.0.0.0/8 (random bytes, forged lines with line feeds and terminal controls, 8 KiB lines) while
// the configured controller sends 10 datagrams a second. It prints how many of the controller's
// datagrams were lost, how much app.log grew, and the longest stall of the program's event loop,
// which the program measures itself (AMPWARDEN_STALL_REPORT).
//
// --controller-flood sends R datagrams/s (default 20000) of 1 KiB for S seconds under the configured
// controller's own address, as anyone can. It prints the events stored against the controller's
// budget, what the program logged as over the budget or lost, the program's memory (resident before,
// at its peak and after), the size of AMW.log, the growth of app.log and the longest event-loop stall.
//
// Every trial starts a fresh program, hidden and offscreen, in a temporary working directory with a
// configuration holding controller rack1 on 127.0.0.1, on syslog port P (default 514) and with an
// instance key of its own, so it runs beside an Ampwarden the user runs on another port.

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>
#include <vector>

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

// The drops column of the program's socket: what the kernel threw away because its receive buffer was
// full (the dual-stack socket is listed under udp6).
qint64 socketDrops(quint16 port) {
    const QByteArray needle = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    qint64 drops = 0;
    for (const char* path : {"/proc/net/udp", "/proc/net/udp6"}) {
        QFile f(QString::fromLatin1(path));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& line : f.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > 12 && fields[1].endsWith(needle))
                drops += fields.last().toLongLong();
        }
    }
    return drops;
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

// Drained when the event files stop growing for five seconds (at most two minutes): rewriting AMW.log
// from a store of a million events holds the main thread for more than one. The seconds until they
// stopped.
double waitUntilSettled(const QString& dir) {
    QElapsedTimer drain;
    drain.start();
    qint64 last = -1;
    QElapsedTimer stable;
    stable.start();
    while (drain.elapsed() < 120000) {
        const qint64 now = eventLogBytes(dir);
        if (now != last) {
            last = now;
            stable.restart();
        } else if (stable.elapsed() >= 5000) {
            break;
        }
        QThread::msleep(50);
    }
    return static_cast<double>(drain.elapsed() - stable.elapsed()) / 1000.0;
}

struct Trial {
    bool ok = false;
    qint64 sent = 0;
    double sendSeconds = 0;
    qint64 stored = 0;
    qint64 unknownHost = 0;
    qint64 overBudget = 0; // handled: refused by the controller's budget of events a second
    qint64 rcvbufDrops = 0;
    qint64 socketDrops = 0;
    qint64 loggedLost = 0; // the program's own "datagrams lost" lines, summed
    qint64 loggedLostInSystem = 0;
    double drainSeconds = 0;
    qint64 handled() const { return stored + unknownHost + overBudget; }
    bool lossless() const { return sent > 0 && sent == handled(); }
};

// Writes the configuration into `dir` and starts the program there; false (and a message) when it
// does not come up on `port`.
bool startProgram(QProcess& program, const QTemporaryDir& dir, quint16 port,
                  const QProcessEnvironment& extra = {}) {
    QFile xml(dir.filePath(QStringLiteral("Ampwarden.xml")));
    if (!xml.open(QIODevice::WriteOnly) || xml.write(configuration) < 0)
        return false;
    xml.close();

    if (portBound(port)) {
        std::fprintf(stderr, "UDP port %u is already in use; stop the other program first\n", port);
        return false;
    }
    program.setWorkingDirectory(dir.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(extra);
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(AMPWARDEN_BINARY),
                  {QStringLiteral("hidden"), QStringLiteral("--unattended"), QStringLiteral("--syslog-port"),
                   QString::number(port), QStringLiteral("--instance-key"),
                   QStringLiteral("syslog_flood-%1").arg(QCoreApplication::applicationPid())});
    if (!program.waitForStarted(10000)) {
        std::fprintf(stderr, "cannot start %s\n", AMPWARDEN_BINARY);
        return false;
    }
    QElapsedTimer waiting;
    waiting.start();
    while (!portBound(port) && waiting.elapsed() < 10000)
        QThread::msleep(20);
    if (!portBound(port)) {
        std::fprintf(stderr, "the program did not bind UDP port %u\n", port);
        program.kill();
        program.waitForFinished();
        return false;
    }
    return true;
}

void stopProgram(QProcess& program) {
    program.terminate();
    if (!program.waitForFinished(15000)) {
        program.kill();
        program.waitForFinished();
    }
}

Trial runTrial(quint16 port, qint64 rate, double seconds) {
    Trial t;
    QTemporaryDir dir;
    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    if (!startProgram(program, dir, port))
        return t;

    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const qint64 count = static_cast<qint64>(static_cast<double>(rate) * seconds);
    const UdpCounters before = udpCounters();

    // Paced in 1 ms slices so the rate holds over the whole trial rather than on average; each slice's
    // datagrams go in one sendmmsg() call, which leaves more of the two cores to the program.
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const qint64 perSliceMax = rate / 1000 + 1;
    std::vector<std::array<char, 160>> texts(static_cast<size_t>(perSliceMax));
    std::vector<iovec> vectors(static_cast<size_t>(perSliceMax));
    std::vector<mmsghdr> messages(static_cast<size_t>(perSliceMax));
    for (qint64 next = 0, slice = 0; next < count; ++slice) {
        const auto due = start + std::chrono::milliseconds(slice);
        if (Clock::now() < due)
            std::this_thread::sleep_until(due);
        // Every datagram due by the end of this slice.
        const qint64 until = std::min(count, (slice + 1) * rate / 1000);
        int m = 0;
        for (; next < until && m < perSliceMax; ++next, ++m) {
            char* text = texts[size_t(m)].data();
            const int n =
                std::snprintf(text, texts[size_t(m)].size(),
                              "<38>Dec  7 09:00:00 rack1 Successful authentication for admin, datagram %lld",
                              static_cast<long long>(next));
            vectors[size_t(m)] = {text, size_t(n)};
            messages[size_t(m)] = {};
            messages[size_t(m)].msg_hdr.msg_name = &to;
            messages[size_t(m)].msg_hdr.msg_namelen = sizeof to;
            messages[size_t(m)].msg_hdr.msg_iov = &vectors[size_t(m)];
            messages[size_t(m)].msg_hdr.msg_iovlen = 1;
        }
        for (int done = 0; done < m;) {
            const int n = ::sendmmsg(fd, messages.data() + done, unsigned(m - done), 0);
            if (n <= 0)
                break; // not sent: counted as not sent, not as lost
            done += n;
            t.sent += n;
        }
    }
    t.sendSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);

    t.drainSeconds = waitUntilSettled(dir.path());
    t.rcvbufDrops = udpCounters().rcvbufErrors - before.rcvbufErrors;
    t.socketDrops = socketDrops(port);

    // The program tells the rest of its losses when it ends.
    stopProgram(program);
    t.stored = storedEvents(dir.path());
    QFile appLog(dir.filePath(QStringLiteral("app.log")));
    if (appLog.open(QIODevice::ReadOnly)) {
        const QByteArray log = appLog.readAll();
        t.unknownHost = log.count("Syslog message from unknown host: ");
        static const QRegularExpression over(
            QStringLiteral("Syslog: (\\d+) datagrams from .* not stored: over"));
        for (auto it = over.globalMatch(QString::fromLatin1(log)); it.hasNext();)
            t.overBudget += it.next().captured(1).toLongLong();
        static const QRegularExpression lost(
            QStringLiteral("Syslog: (\\d+) datagrams lost: (\\d+) dropped by the system"));
        for (auto it = lost.globalMatch(QString::fromLatin1(log)); it.hasNext();) {
            const QRegularExpressionMatch match = it.next();
            t.loggedLost += match.captured(1).toLongLong();
            t.loggedLostInSystem += match.captured(2).toLongLong();
        }
        static bool bufferShown = false;
        static const QRegularExpression buffer(QStringLiteral("Syslog receive buffer: (\\d+) bytes"));
        const QRegularExpressionMatch granted = buffer.match(QString::fromLatin1(log));
        if (granted.hasMatch() && !std::exchange(bufferShown, true))
            std::printf("program's receive buffer: %s bytes\n", qPrintable(granted.captured(1)));
    }
    t.ok = true;
    return t;
}

void print(qint64 rate, const Trial& t) {
    std::printf(
        "rate %7lld/s  sent %8lld in %6.2f s (%8.0f/s)  stored %8lld  over budget %8lld  unknown-host %lld  "
        "lost %lld  "
        "kernel drops: socket %lld, all UDP %lld  program logged lost %lld (kernel %lld, waiting %lld)  "
        "caught up %.2f s after sending\n",
        static_cast<long long>(rate), static_cast<long long>(t.sent), t.sendSeconds,
        t.sendSeconds > 0 ? static_cast<double>(t.sent) / t.sendSeconds : 0.0,
        static_cast<long long>(t.stored), static_cast<long long>(t.overBudget),
        static_cast<long long>(t.unknownHost), static_cast<long long>(t.sent - t.handled()),
        static_cast<long long>(t.socketDrops), static_cast<long long>(t.rcvbufDrops),
        static_cast<long long>(t.loggedLost), static_cast<long long>(t.loggedLostInSystem),
        static_cast<long long>(t.loggedLost - t.loggedLostInSystem), t.drainSeconds);
    std::fflush(stdout);
}

// What unknown senders send: forged event and app.log lines with line feeds and terminal controls,
// random bytes, and 8 KiB lines; every tenth datagram is a large one.
QList<QByteArray> hostilePayloads() {
    QList<QByteArray> payloads;
    const QByteArray forged =
        "<13>Dec  7 09:00:00 evil boot\n \"Mon Dec  7 09:00:00 2026\" \"rack1 : Kestrel 2 @ "
        "127.0.0.1:80\" login_success syslog \"\" forged\nSyslog message from unknown "
        "host: 10.0.0.1: 6 bytes: forged\n\x1b]0;owned\x07\x1b[2J\r";
    QRandomGenerator random(14);
    for (int i = 0; i < 10; ++i) {
        if (i == 0) {
            QByteArray large = forged;
            while (large.size() < 8192)
                large += "A long line that only wants to fill the disk. ";
            large.truncate(8192);
            payloads << large;
        } else if (i % 2 == 1) {
            QByteArray bytes(600, Qt::Uninitialized);
            for (char& c : bytes)
                c = char(random.bounded(256));
            payloads << bytes;
        } else {
            payloads << forged + QByteArray::number(i);
        }
    }
    return payloads;
}

struct Stall {
    qint64 ms = 0;
    qint64 endedAt = 0;
};

QList<Stall> readStalls(const QString& path) {
    QList<Stall> stalls;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return stalls;
    for (const QByteArray& line : f.readAll().split('\n')) {
        long long ms = 0;
        long long endedAt = 0;
        if (std::sscanf(line.constData(), "event loop stall: %lld ms, ended at %lld", &ms, &endedAt) == 2)
            stalls.append({ms, endedAt});
    }
    return stalls;
}

qint64 controllerDatagramsStored(const QString& dir, qint64 sent) {
    QByteArray all;
    QDirIterator it(dir + QStringLiteral("/log"), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile f(it.next());
        if (f.open(QIODevice::ReadOnly))
            all += f.readAll();
    }
    qint64 found = 0;
    for (qint64 i = 0; i < sent; ++i)
        found += all.contains("controller datagram " + QByteArray::number(i) + '\n') ? 1 : 0;
    return found;
}

// Stalls from 10 ms up are reported; shorter ones say nothing about the targets.
const int reportFromMs = 10;

// Starts the program with its event-loop stalls reported to `stallFile`, and waits past its start-up
// work.
bool startProbed(QProcess& program, const QTemporaryDir& dir, quint16 port, const QString& stallFile) {
    // A file, not a pipe: nobody reads a pipe while this program sends, and a full pipe would stall
    // the very loop being measured.
    program.setStandardErrorFile(stallFile);
    QProcessEnvironment probe;
    probe.insert(QStringLiteral("AMPWARDEN_STALL_REPORT"), QString::number(reportFromMs));
    if (!startProgram(program, dir, port, probe))
        return false;
    QThread::msleep(1000);
    return true;
}

int runHostile(quint16 port, qint64 rate, double seconds) {
    QTemporaryDir dir;
    QProcess program;
    const QString stallFile = dir.filePath(QStringLiteral("stderr.txt"));
    if (!startProbed(program, dir, port, stallFile))
        return 1;
    const QString appLogPath = dir.filePath(QStringLiteral("app.log"));
    const qint64 appLogBefore = QFileInfo(appLogPath).size();
    const UdpCounters before = udpCounters();

    // Unknown senders: one socket per source address, all over 127.0.0.0/8 but never 127.0.0.1.
    std::vector<int> sockets;
    for (int k = 0; k < 256; ++k) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl((127u << 24) | (1u + k / 200) << 16 | (k % 200) << 8 | 7u);
        if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) {
            std::fprintf(stderr, "cannot bind a sender to 127.%d.%d.7\n", 1 + k / 200, k % 200);
            return 1;
        }
        sockets.push_back(fd);
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const QList<QByteArray> payloads = hostilePayloads();

    using Clock = std::chrono::steady_clock;
    const qint64 floodStartMs = QDateTime::currentMSecsSinceEpoch();
    const auto start = Clock::now();
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));

    // The controller: 10 datagrams a second from 127.0.0.1, on its own thread so that the flood's
    // pace does not decide when they go.
    std::atomic<qint64> controllerSent{0};
    std::thread controller([&] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        for (qint64 i = 0;; ++i) {
            const auto due = start + std::chrono::milliseconds(100 * i);
            if (due >= end)
                break;
            std::this_thread::sleep_until(due);
            const QByteArray text =
                "<38>Dec  7 09:00:00 rack1 Successful authentication for admin, controller datagram " +
                QByteArray::number(i);
            if (::sendto(fd, text.constData(), size_t(text.size()), 0, reinterpret_cast<const sockaddr*>(&to),
                         sizeof to) == text.size())
                ++controllerSent;
        }
        ::close(fd);
    });

    // Paced in 1 ms slices; one sender address per slice, its datagrams in one sendmmsg call.
    const int perSlice = int(std::max<qint64>(1, rate / 1000));
    std::vector<mmsghdr> messages(static_cast<size_t>(perSlice));
    std::vector<iovec> vectors(static_cast<size_t>(perSlice));
    qint64 sent = 0;
    qint64 bytes = 0;
    for (qint64 slice = 0;; ++slice) {
        const auto due = start + std::chrono::milliseconds(slice);
        if (due >= end)
            break;
        if (Clock::now() < due)
            std::this_thread::sleep_until(due);
        for (int m = 0; m < perSlice; ++m) {
            const QByteArray& payload = payloads[int((slice * perSlice + m) % payloads.size())];
            vectors[size_t(m)] = {const_cast<char*>(payload.constData()), size_t(payload.size())};
            messages[size_t(m)] = {};
            messages[size_t(m)].msg_hdr.msg_name = &to;
            messages[size_t(m)].msg_hdr.msg_namelen = sizeof to;
            messages[size_t(m)].msg_hdr.msg_iov = &vectors[size_t(m)];
            messages[size_t(m)].msg_hdr.msg_iovlen = 1;
        }
        const int n = ::sendmmsg(sockets[size_t(slice % qint64(sockets.size()))], messages.data(),
                                 unsigned(perSlice), 0);
        for (int m = 0; m < n; ++m)
            bytes += messages[size_t(m)].msg_len;
        sent += std::max(n, 0);
    }
    const double sendSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    controller.join();
    for (int fd : sockets)
        ::close(fd);

    // Drained when the controller's datagrams are all stored, or after 30 s.
    QElapsedTimer drain;
    drain.start();
    qint64 stored = 0;
    while ((stored = controllerDatagramsStored(dir.path(), controllerSent)) < controllerSent &&
           drain.elapsed() < 30000)
        QThread::msleep(100);
    const qint64 floodEndMs = QDateTime::currentMSecsSinceEpoch();
    const qint64 rcvbufDrops = udpCounters().rcvbufErrors - before.rcvbufErrors;
    stopProgram(program);
    const qint64 appLogGrowth = QFileInfo(appLogPath).size() - appLogBefore;

    qint64 longest = 0;
    qint64 longestElsewhere = 0;
    for (const Stall& s : readStalls(stallFile)) {
        // A stall that ended after the flood began may have started before it; it counts, to be safe.
        if (s.endedAt >= floodStartMs && s.endedAt <= floodEndMs)
            longest = std::max(longest, s.ms);
        else
            longestElsewhere = std::max(longestElsewhere, s.ms);
    }
    const auto below = [&](qint64 ms) {
        return ms < reportFromMs ? QByteArray("< ") + QByteArray::number(reportFromMs)
                                 : QByteArray::number(ms);
    };

    std::printf("hostile flood: %lld datagrams (%.1f MB) from 256 unknown senders in %.2f s (%.0f/s), "
                "kernel receive-buffer drops %lld\n",
                static_cast<long long>(sent), static_cast<double>(bytes) / 1e6, sendSeconds,
                static_cast<double>(sent) / sendSeconds, static_cast<long long>(rcvbufDrops));
    std::printf("controller: %lld of %lld datagrams stored, %lld lost (target 0)\n",
                static_cast<long long>(stored), static_cast<long long>(controllerSent.load()),
                static_cast<long long>(controllerSent - stored));
    std::printf("app.log grew by %.1f KiB (target < 100 KiB)\n", static_cast<double>(appLogGrowth) / 1024.0);
    std::printf("longest event-loop stall during the flood: %s ms (target < 200 ms); at other times: %s ms\n",
                below(longest).constData(), below(longestElsewhere).constData());
    const bool met = stored == controllerSent && appLogGrowth < 100 * 1024 && longest < 200;
    std::printf("%s\n", met ? "targets met" : "TARGETS MISSED");
    return met ? 0 : 3;
}

// VmRSS or VmHWM of a process, in KiB; -1 when it cannot be read.
qint64 memoryKiB(qint64 pid, const char* field) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

int runControllerFlood(quint16 port, qint64 rate, double seconds) {
    QTemporaryDir dir;
    QProcess program;
    const QString stallFile = dir.filePath(QStringLiteral("stderr.txt"));
    if (!startProbed(program, dir, port, stallFile))
        return 1;
    const qint64 pid = program.processId();
    const qint64 rssBefore = memoryKiB(pid, "VmRSS:");
    const QString appLogPath = dir.filePath(QStringLiteral("app.log"));
    const qint64 appLogBefore = QFileInfo(appLogPath).size();

    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QByteArray text = "<38>Dec  7 09:00:00 rack1 Successful authentication for admin ";
    text += QByteArray(1024 - text.size(), 'x');

    using Clock = std::chrono::steady_clock;
    const qint64 floodStartMs = QDateTime::currentMSecsSinceEpoch();
    const auto start = Clock::now();
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    const int perSlice = int(std::max<qint64>(1, rate / 1000));
    std::vector<mmsghdr> messages(static_cast<size_t>(perSlice));
    iovec vector{text.data(), size_t(text.size())};
    for (mmsghdr& m : messages) {
        m = {};
        m.msg_hdr.msg_name = &to;
        m.msg_hdr.msg_namelen = sizeof to;
        m.msg_hdr.msg_iov = &vector;
        m.msg_hdr.msg_iovlen = 1;
    }
    qint64 sent = 0;
    for (qint64 slice = 0;; ++slice) {
        const auto due = start + std::chrono::milliseconds(slice);
        if (due >= end)
            break;
        if (Clock::now() < due)
            std::this_thread::sleep_until(due);
        sent += std::max(0, ::sendmmsg(fd, messages.data(), unsigned(perSlice), 0));
    }
    const double sendSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);

    waitUntilSettled(dir.path());
    const qint64 floodEndMs = QDateTime::currentMSecsSinceEpoch();
    const qint64 rssAfter = memoryKiB(pid, "VmRSS:");
    const qint64 rssPeak = memoryKiB(pid, "VmHWM:");
    const qint64 amwLog = QFileInfo(dir.filePath(QStringLiteral("AMW.log"))).size();
    stopProgram(program);
    const qint64 stored = storedEvents(dir.path());
    const qint64 appLogGrowth = QFileInfo(appLogPath).size() - appLogBefore;
    qint64 overBudget = 0;
    qint64 lost = 0;
    QFile appLog(appLogPath);
    if (appLog.open(QIODevice::ReadOnly)) {
        const QString log = QString::fromLatin1(appLog.readAll());
        static const QRegularExpression over(
            QStringLiteral("Syslog: (\\d+) datagrams from .* not stored: over"));
        for (auto it = over.globalMatch(log); it.hasNext();)
            overBudget += it.next().captured(1).toLongLong();
        static const QRegularExpression lostLine(QStringLiteral("Syslog: (\\d+) datagrams lost"));
        for (auto it = lostLine.globalMatch(log); it.hasNext();)
            lost += it.next().captured(1).toLongLong();
    }
    qint64 longest = 0;
    for (const Stall& s : readStalls(stallFile)) {
        if (s.endedAt >= floodStartMs && s.endedAt <= floodEndMs)
            longest = std::max(longest, s.ms);
    }

    std::printf("controller-address flood: %lld datagrams of %lld bytes in %.2f s (%.0f/s)\n",
                static_cast<long long>(sent), static_cast<long long>(text.size()), sendSeconds,
                static_cast<double>(sent) / sendSeconds);
    std::printf("events stored %lld, over the budget %lld, lost %lld, unaccounted %lld\n",
                static_cast<long long>(stored), static_cast<long long>(overBudget),
                static_cast<long long>(lost), static_cast<long long>(sent - stored - overBudget - lost));
    std::printf("program memory: %.1f MB before, %.1f MB at its peak, %.1f MB after\n",
                static_cast<double>(rssBefore) / 1024.0, static_cast<double>(rssPeak) / 1024.0,
                static_cast<double>(rssAfter) / 1024.0);
    std::printf("AMW.log %.1f KiB, app.log grew by %.1f KiB, longest event-loop stall %lld ms\n",
                static_cast<double>(amwLog) / 1024.0, static_cast<double>(appLogGrowth) / 1024.0,
                static_cast<long long>(longest));
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    qint64 rate = 0;
    double seconds = 10;
    quint16 port = 514;
    bool search = true;
    qint64 step = 0;
    bool hostile = false;
    bool controllerFlood = false;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--hostile"))
            hostile = true;
        else if (args[i] == QLatin1String("--controller-flood"))
            controllerFlood = true;
        else if (args[i] == QLatin1String("--rate") && i + 1 < args.size())
            rate = args[++i].toLongLong();
        else if (args[i] == QLatin1String("--seconds") && i + 1 < args.size())
            seconds = args[++i].toDouble();
        else if (args[i] == QLatin1String("--port") && i + 1 < args.size())
            port = static_cast<quint16>(args[++i].toUInt());
        else if (args[i] == QLatin1String("--no-search"))
            search = false;
        else if (args[i] == QLatin1String("--step") && i + 1 < args.size())
            step = args[++i].toLongLong();
        else {
            std::fprintf(stderr,
                         "usage: syslog_flood [--rate R] [--seconds S] [--port P] [--step N | --no-search]\n"
                         "       syslog_flood --hostile [--rate R] [--seconds S] [--port P]\n"
                         "       syslog_flood --controller-flood [--rate R] [--seconds S] [--port P]\n");
            return 2;
        }
    }
    if (rate == 0)
        rate = hostile ? 100000 : 20000;
    if (hostile)
        return rate > 0 && seconds > 0 ? runHostile(port, rate, seconds) : 2;
    if (controllerFlood)
        return rate > 0 && seconds > 0 ? runControllerFlood(port, rate, seconds) : 2;
    if (rate <= 0 || seconds <= 0 || step < 0)
        return 2;

    const Trial first = runTrial(port, rate, seconds);
    if (!first.ok)
        return 1;
    print(rate, first);
    if (first.stored == 0 && first.unknownHost > 0)
        std::printf("note: no event stored; the program read no controller from Ampwarden.xml\n");
    std::printf("%s at %lld datagrams/s for %g s\n", first.lossless() ? "no loss" : "LOSS",
                static_cast<long long>(rate), seconds);

    if (!search)
        return 0;
    // Rates are what the sender reached, which under load may be less than it was asked for.
    const auto reached = [](const Trial& t) {
        return static_cast<qint64>(static_cast<double>(t.sent) / t.sendSeconds);
    };
    qint64 bestLossless = first.lossless() ? reached(first) : 0;
    qint64 lowestLossy = first.lossless() ? 0 : rate;
    qint64 asked = rate;
    for (;;) {
        qint64 next = 0;
        if (step > 0)
            next = lowestLossy ? 0 : asked + step;
        else if (!lowestLossy)
            next = asked * 2;
        else if (!bestLossless)
            next = lowestLossy / 2 >= 1000 ? lowestLossy / 2 : 0;
        else if (lowestLossy - bestLossless > bestLossless / 20)
            next = (bestLossless + lowestLossy) / 2;
        if (next == 0 || next > 2000000)
            break;
        asked = next;
        const Trial t = runTrial(port, asked, seconds);
        if (!t.ok)
            return 1;
        print(asked, t);
        if (t.lossless()) {
            bestLossless = std::max(bestLossless, reached(t));
            // Beyond what this machine can send, a higher target says nothing more.
            if (reached(t) < asked * 9 / 10)
                break;
        } else {
            lowestLossy = lowestLossy ? std::min(lowestLossy, asked) : asked;
        }
    }
    std::printf("highest lossless rate: %lld datagrams/s\n", static_cast<long long>(bestLossless));
    return 0;
}
