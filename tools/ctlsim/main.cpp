// ctlsim: simulated power controllers for tests, benchmarks and demonstrations.
#include "SimController.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QUdpSocket>

#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using namespace CtlSim;

namespace {

const char* const commandHelp = R"(Commands on standard input, one per line; <n> is a controller number or *:
  load <n> <A|B> <volts> <amps>   set the load of a bus
  fault <n> <mode>                change how the controller answers
  log <n> <text>                  add a row to the controller's log table
  syslog <n> <text>               add a row and send it as a syslog datagram (needs --syslog)
  quit                            end the program
)";

class Simulator {
public:
    std::vector<std::unique_ptr<SimController>> controllers;
    QUdpSocket udp;
    QHostAddress syslogHost;
    quint16 syslogPort = 0;

    template <typename F> bool forEach(const QByteArray& which, F f) {
        bool ok = false;
        const int n = which.toInt(&ok);
        if (which == "*") {
            for (auto& c : controllers)
                f(*c);
            return true;
        }
        if (!ok || n < 0 || n >= int(controllers.size()))
            return false;
        f(*controllers[n]);
        return true;
    }

    void sendSyslog(SimController& c, const QByteArray& text) {
        if (syslogPort != 0)
            udp.writeDatagram(c.syslogMessage(text), syslogHost, syslogPort);
    }

    void command(const QByteArray& line) {
        const QList<QByteArray> words = line.simplified().split(' ');
        const QByteArray verb = words.value(0);
        const QByteArray rest = words.mid(2).join(' ');
        bool ok = true;
        if (verb.isEmpty()) {
            return;
        } else if (verb == "quit") {
            QCoreApplication::quit();
            return;
        } else if (verb == "load" && words.size() == 5) {
            const char bus = words[2] == "B" ? 'B' : 'A';
            const double volts = words[3].toDouble();
            const double amps = words[4].toDouble();
            ok = forEach(words[1], [&](SimController& c) { c.setLoad(bus, volts, amps); });
        } else if (verb == "fault" && words.size() == 3 && faultFromName(words[2])) {
            const Fault fault = *faultFromName(words[2]);
            ok = forEach(words[1], [&](SimController& c) { c.setFault(fault); });
        } else if (verb == "log" && words.size() >= 3) {
            ok = forEach(words[1], [&](SimController& c) { c.addLogRow(rest); });
        } else if (verb == "syslog" && words.size() >= 3) {
            ok = forEach(words[1], [&](SimController& c) {
                c.addLogRow(rest);
                sendSyslog(c, rest);
            });
        } else {
            ok = false;
        }
        std::printf(ok ? "ok\n" : "error: %s\n", line.trimmed().constData());
        std::fflush(stdout);
    }
};

} // namespace

int main(int argc, char* argv[]) {
    // A thousand controllers listen and answer at once: far more descriptors than the usual 1024.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ctlsim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Simulated power controllers: each serves /index.htm and /syslog.htm with Basic "
                       "authentication on its own port.\nPrints \"controller <n> <port>\" for each, then "
                       "\"ready\".\n\n") +
        QString::fromLatin1(commandHelp));
    parser.addHelpOption();
    const auto option = [&](const char* name, const char* help, const char* value, const char* fallback) {
        QCommandLineOption o(QString::fromLatin1(name), QString::fromLatin1(help), QString::fromLatin1(value),
                             QString::fromLatin1(fallback));
        parser.addOption(o);
        return o;
    };
    const auto bindOpt = option("bind", "Address to listen on.", "address", "127.0.0.1");
    const auto portOpt =
        option("port", "First port; controllers use consecutive ports. 0: a free port each.", "port", "0");
    const auto countOpt = option("count", "Number of controllers.", "n", "1");
    const auto userOpt = option("user", "Login name.", "name", "admin");
    const auto passwordOpt = option("password", "Password.", "password", "secret");
    const auto modelOpt =
        option("model", "clock (time and date) or uptime (time since start).", "model", "clock");
    const auto busesOpt = option("buses", "Power buses, 1 or 2.", "n", "2");
    const auto voltsOpt = option("volts", "Voltage of every bus.", "volts", "230");
    const auto ampsAOpt = option("amps-a", "Current of bus A.", "amps", "2.5");
    const auto ampsBOpt = option("amps-b", "Current of bus B.", "amps", "1.5");
    const auto rowsOpt = option("log-rows", "Rows in the log table at start.", "n", "5");
    const auto maxOpt = option("log-max", "Most rows the log table keeps.", "n", "50");
    const auto offsetOpt =
        option("clock-offset", "Seconds the controller clock is ahead of the host.", "s", "0");
    const auto uptimeOpt = option("uptime", "Uptime at start (uptime model).", "s", "3600");
    const auto faultOpt = option("fault", "How to misbehave: " + faultNames() + ".", "mode", "none");
    const auto hostileOpt =
        option("hostile",
               "Controller 0 attacks the poller's budgets (the others stay healthy): " + hostileNames() +
                   ". Short for --fault MODE --fault-first 1.",
               "mode", "");
    const auto faultFirstOpt =
        option("fault-first", "Only the first n controllers misbehave (-1: all).", "n", "-1");
    const auto trickleOpt = option("trickle-ms", "Delay between bytes of the slow fault.", "ms", "500");
    const auto delayOpt =
        option("answer-delay-ms", "Wait this long before answering each request.", "ms", "0");
    const auto syslogOpt = option("syslog", "Send syslog datagrams to this address.", "host:port", "");
    const auto syslogEveryOpt = option(
        "syslog-every", "Seconds between datagrams of every controller (0: on command only).", "s", "0");
    const QCommandLineOption verboseOpt(QStringLiteral("verbose"), QStringLiteral("Print every request."));
    parser.addOption(verboseOpt);
    parser.process(app);

    const auto text = [&](const QCommandLineOption& o) { return parser.value(o).toLatin1(); };
    const auto integer = [&](const QCommandLineOption& o) { return parser.value(o).toLongLong(); };
    Settings settings;
    settings.bind = QHostAddress(parser.value(bindOpt));
    settings.user = text(userOpt);
    settings.password = text(passwordOpt);
    settings.model = parser.value(modelOpt) == QLatin1String("uptime") ? Model::uptime : Model::clock;
    settings.buses = integer(busesOpt) == 1 ? 1 : 2;
    settings.volts = parser.value(voltsOpt).toDouble();
    settings.ampsA = parser.value(ampsAOpt).toDouble();
    settings.ampsB = parser.value(ampsBOpt).toDouble();
    settings.logRows = int(integer(rowsOpt));
    settings.logMax = int(std::max<qint64>(integer(maxOpt), 1));
    settings.clockOffset = integer(offsetOpt);
    settings.uptime = integer(uptimeOpt);
    settings.trickleMs = int(integer(trickleOpt));
    settings.answerDelayMs = int(integer(delayOpt));
    settings.verbose = parser.isSet(verboseOpt);
    const bool hostile = parser.isSet(hostileOpt);
    const std::optional<Fault> fault = faultFromName(text(hostile ? hostileOpt : faultOpt));
    if (!fault || settings.bind.isNull() || (hostile && (!isHostile(*fault) || parser.isSet(faultOpt)))) {
        std::fprintf(stderr, "ctlsim: bad --fault, --hostile or --bind; see --help\n");
        return 2;
    }
    const qint64 faultFirst = hostile ? 1 : integer(faultFirstOpt);

    Simulator sim;
    if (parser.isSet(syslogOpt)) {
        const QString target = parser.value(syslogOpt);
        sim.syslogHost = QHostAddress(target.section(QLatin1Char(':'), 0, -2));
        sim.syslogPort = quint16(target.section(QLatin1Char(':'), -1).toUInt());
        // Datagrams leave from the controllers' own address, which is how the receiver knows them.
        sim.udp.bind(settings.bind, 0);
    }

    const int count = int(std::max<qint64>(integer(countOpt), 0));
    const qint64 firstPort = integer(portOpt);
    for (int i = 0; i < count; ++i) {
        auto c = std::make_unique<SimController>(i, settings);
        if (faultFirst < 0 || i < faultFirst)
            c->setFault(*fault);
        const quint16 port = firstPort == 0 ? 0 : quint16(firstPort + i);
        if (!c->listen(port)) {
            std::fprintf(stderr, "ctlsim: cannot listen on %s:%u\n", qPrintable(settings.bind.toString()),
                         port);
            return 1;
        }
        std::printf("controller %d %u\n", i, c->port());
        sim.controllers.push_back(std::move(c));
    }
    std::printf("ready\n");
    std::fflush(stdout);

    QTimer syslogTimer;
    if (const qint64 every = integer(syslogEveryOpt); every > 0 && sim.syslogPort != 0) {
        QObject::connect(&syslogTimer, &QTimer::timeout, [&sim] {
            sim.forEach("*", [&sim](SimController& c) {
                const QByteArray row = "Successful authentication of user admin from 10.0.0.5";
                c.addLogRow(row);
                sim.sendSyslog(c, row);
            });
        });
        syslogTimer.start(int(every * 1000));
    }

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            // Standard input closed: keep serving until killed, the way a device would.
            input.setEnabled(false);
            return;
        }
        pending.append(buffer, n);
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            sim.command(pending.left(end));
            pending.remove(0, end + 1);
        }
    });
    return QCoreApplication::exec();
}
