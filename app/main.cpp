#include "config/Settings.h"
#include "core/Application.h"
#include "core/DiagnosticLog.h"
#include "core/InstanceGuard.h"
#include "core/StallProbe.h"
#include "core/TerminationSignals.h"
#include "energy/EnergyExportCommand.h"
#include "metrics/MetricsServer.h"
#include "query/OpenFileLimit.h"
#include "report/Outbox.h"
#include "service/Service.h"
#include "syslog/SyslogReceiver.h"
#include "ui/Ampwarden.h"
#include "ui/TrayIcon.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QLoggingCategory>
#include <QMessageBox>

#include <QTimer>

#include <cstdio>
#include <exception>
#include <optional>

namespace {

// Unattended (a script, a service, a test), nobody can click: each box prints its title and text to
// standard output and closes itself.
void showBox(const QString& title, const QString& text, bool unattended, bool closeByItself = false) {
    QMessageBox box(QMessageBox::Question, title, text);
    box.setWindowFlags(box.windowFlags() | Qt::MSWindowsFixedSizeDialogHint);
    if (unattended) {
        std::printf("%s: %s\n", qPrintable(title), qPrintable(text));
        std::fflush(stdout);
        closeByItself = true;
    }
    if (closeByItself)
        QTimer::singleShot(0, &box, &QMessageBox::accept);
    box.exec();
}

struct Options {
    bool hidden = false;
    bool unattended = false;
    quint16 syslogPort = Warden::SyslogReceiver::defaultPort;
    QString instanceKey = QString::fromLatin1(Warden::InstanceGuard::defaultKey);
    // Overrides the settings' address when given.
    std::optional<QByteArray> metricsAddress;
    // Every retry of an undelivered report mail after this many seconds, instead of the schedule.
    std::optional<qint64> mailRetrySeconds;
};

// --help and --version print and end the process here. Words that are no option of ours, such as
// "-hidden", are passed over with a warning as every further argument always was; an option of ours
// with a wrong value ends the start, as guessing another port or key would be worse.
std::optional<Options> parseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Watches rack power controllers and mails reports."));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("hidden"),
                                 QStringLiteral("Start without showing the window."),
                                 QStringLiteral("[hidden]"));
    const QCommandLineOption port(
        QStringLiteral("syslog-port"),
        QStringLiteral(
            "UDP port to receive syslog on (default 514; behind a forwarding rule any free port)."),
        QStringLiteral("port"));
    const QCommandLineOption key(QStringLiteral("instance-key"),
                                 QStringLiteral("Name of the single-instance guard (default AmpwardenPort): "
                                                "instances with different names run side by side."),
                                 QStringLiteral("name"));
    const QCommandLineOption metrics(
        QStringLiteral("metrics"),
        QStringLiteral("Serve metrics for Prometheus at http://ADDRESS:PORT/metrics, such as 127.0.0.1:9647 "
                       "or [::1]:9647, instead of where the settings say. No password protects them."),
        QStringLiteral("address:port"));
    const QCommandLineOption unattended(
        QStringLiteral("unattended"),
        QStringLiteral("Nobody is there to click OK: message boxes print their title and text on standard "
                       "output and close by themselves."));
    const QCommandLineOption mailRetry(
        QStringLiteral("mail-retry"),
        QStringLiteral("Retry an undelivered report mail every SECONDS (default: after 1, 2, 5, 10 and "
                       "30 minutes, then hourly), for up to three days as always."),
        QStringLiteral("seconds"));
    parser.addOption(port);
    parser.addOption(key);
    parser.addOption(unattended);
    parser.addOption(mailRetry);
    parser.addOptions(Warden::Business::EnergyExportCommand::options());
    parser.addOption(metrics);
    if (!parser.parse(arguments)) {
        if (parser.unknownOptionNames().isEmpty()) {
            std::fprintf(stderr, "%s\n", qPrintable(parser.errorText()));
            return std::nullopt;
        }
        std::fprintf(stderr, "Ignored: %s\n", qPrintable(parser.errorText()));
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    Options options;
    // Only exactly "hidden" as the first word hides the window.
    options.hidden = parser.positionalArguments().value(0) == QLatin1String("hidden");
    options.unattended = parser.isSet(unattended);
    if (parser.isSet(port)) {
        bool ok = false;
        const uint value = parser.value(port).toUInt(&ok);
        if (!ok || value == 0 || value > 65535) {
            std::fprintf(stderr, "--syslog-port: not a port number: %s\n", qPrintable(parser.value(port)));
            return std::nullopt;
        }
        options.syslogPort = static_cast<quint16>(value);
    }
    if (parser.isSet(key)) {
        options.instanceKey = parser.value(key);
        if (options.instanceKey.isEmpty()) {
            std::fprintf(stderr, "--instance-key: empty name\n");
            return std::nullopt;
        }
    }
    if (parser.isSet(metrics)) {
        const QByteArray value = parser.value(metrics).toUtf8();
        if (!Warden::MetricsServer::parseEndpoint(value)) {
            std::fprintf(stderr, "--metrics: not ADDRESS:PORT with a numeric address: %s\n",
                         value.constData());
            return std::nullopt;
        }
        options.metricsAddress = value;
    }
    if (parser.isSet(mailRetry)) {
        bool ok = false;
        const qint64 seconds = parser.value(mailRetry).toLongLong(&ok);
        if (!ok || seconds < 1 || seconds > 86400) {
            std::fprintf(stderr, "--mail-retry: not a number of seconds from 1 to 86400: %s\n",
                         qPrintable(parser.value(mailRetry)));
            return std::nullopt;
        }
        options.mailRetrySeconds = seconds;
    }
    return options;
}

// The service runs from the start; the window is built the first time someone asks for it (at once
// unless started hidden, from the tray or from a second start) and then only hides.
class Shell {
public:
    explicit Shell(Warden::Service& service)
        : service_(service) {}

    void showWindow() {
        if (!window_) {
            window_ = std::make_unique<Ampwarden>(service_);
            window_->setAttribute(Qt::WA_DeleteOnClose, false);
        }
        window_->resumeProgram();
    }
    void closeWindow() { window_.reset(); }

private:
    Warden::Service& service_;
    std::unique_ptr<Ampwarden> window_;
};

QString windowTitle() {
    return QStringLiteral("Ampwarden ver. ") + QString::fromLatin1(Ampwarden::version);
}

int runFirstInstance(Warden::InstanceGuard& guard, const Options& options) {
    // Caught from the start: a signal that arrives while the service is built is acted on as soon as
    // the event loop runs, instead of killing the program half-way.
    Warden::TerminationSignals termination;
    Warden::Service service({options.syslogPort, options.metricsAddress, true});
    Warden::InstanceGuard::Failure failure;
    if (!guard.publish(service.instancePort(), &failure)) {
        if (!failure.title.isEmpty())
            showBox(failure.title, failure.text, options.unattended);
        return 0;
    }
    Shell shell(service);
    Warden::TrayIcon tray(service.app(), service.alerts(), windowTitle());
    QObject::connect(&service, &Warden::Service::showRequested, &service, [&shell] { shell.showWindow(); });
    QObject::connect(&tray, &Warden::TrayIcon::showRequested, &service, [&shell] { shell.showWindow(); });
    QObject::connect(&tray, &Warden::TrayIcon::stopRequested, &service, [] {
        if (Ampwarden::stopConfirmed())
            QCoreApplication::exit(0);
    });
    bool bySignal = false;
    QObject::connect(&termination, &Warden::TerminationSignals::terminationRequested, &service, [&bySignal] {
        bySignal = true;
        QCoreApplication::exit(0);
    });
    if (!options.hidden)
        shell.showWindow();
    const auto stallProbe = Warden::StallProbe::fromEnvironment();
    const int code = QApplication::exec();
    // After a termination signal nobody may be there to click OK (started hidden or offscreen, a
    // session logging out, systemd stopping the unit): the goodbye then closes by itself instead of
    // holding the process until a second signal or SIGKILL.
    showBox(QStringLiteral("Bye!"), QStringLiteral("Emails will no longer be sent"), options.unattended,
            bySignal);
    shell.closeWindow();
    return code;
}

// Runs beside a running instance and without a display: no window, no single-instance guard, no
// syslog socket. The settings are read for the check interval only and never written back.
int exportEnergy(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QString::fromLatin1(Ampwarden::version));
    // The settings reader traces what it reads; standard error is for the export's own lines.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    Warden::Business::Application state;
    Warden::Business::loadSettings(state);
    state.settingsBook.savingEnabled = false;
    return Warden::Business::EnergyExportCommand::run(QCoreApplication::arguments(),
                                                      state.report.checkPeriod());
}

} // namespace

int main(int argc, char* argv[]) {
    if (Warden::Business::EnergyExportCommand::isRequested(argc, argv))
        return exportEnergy(argc, argv);
    std::optional<Options> options;
    {
        // Read before the window's application exists, which needs a display: --help, --version and a
        // wrong value answer on a server or over ssh too.
        QCoreApplication parsing(argc, argv);
        QCoreApplication::setApplicationVersion(QString::fromLatin1(Ampwarden::version));
        options = parseCommandLine(QCoreApplication::arguments());
    }
    if (!options)
        return 2;
    if (options->mailRetrySeconds)
        Warden::RetrySchedule::useForProgram(Warden::RetrySchedule::every(*options->mailRetrySeconds));
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QString::fromLatin1(Ampwarden::version));
    // The window hides on close; only Stop ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    try {
        Warden::DiagnosticLog::open();
        Warden::raiseOpenFileLimit();
        Warden::InstanceGuard guard(options->instanceKey);
        guard.removeStaleSegment();
        Warden::InstanceGuard::Failure failure;
        if (guard.wakeRunningInstance(&failure)) {
            if (!failure.title.isEmpty())
                showBox(failure.title, failure.text, options->unattended);
            return 0;
        }
        return runFirstInstance(guard, *options);
    } catch (...) {
        showBox(QStringLiteral("Bye!"), QStringLiteral("Caught exception"), options->unattended);
        return 0;
    }
}
