#include "core/Application.h"
#include "core/DiagnosticLog.h"
#include "core/InstanceGuard.h"
#include "core/StallProbe.h"
#include "core/TerminationSignals.h"
#include "query/OpenFileLimit.h"
#include "ui/Ampwarden.h"

#include <QApplication>
#include <QMessageBox>

#include <QTimer>

#include <cstdio>
#include <exception>

namespace {

// Tests that run the program as a process cannot click; with AMPWARDEN_AUTOCLOSE_BOXES set, each
// box prints its title and text to standard output and closes itself.
void showBox(const QString& title, const QString& text, bool closeByItself = false) {
    QMessageBox box(QMessageBox::Question, title, text);
    box.setWindowFlags(box.windowFlags() | Qt::MSWindowsFixedSizeDialogHint);
    if (qEnvironmentVariableIsSet("AMPWARDEN_AUTOCLOSE_BOXES")) {
        std::printf("%s: %s\n", qPrintable(title), qPrintable(text));
        std::fflush(stdout);
        closeByItself = true;
    }
    if (closeByItself)
        QTimer::singleShot(0, &box, &QMessageBox::accept);
    box.exec();
}

int runFirstInstance(Warden::InstanceGuard& guard, bool hidden) {
    // Caught from the start: a signal that arrives while the window is built is acted on as soon as
    // the event loop runs, instead of killing the program half-way.
    Warden::TerminationSignals termination;
    auto window = std::make_unique<Ampwarden>();
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    Warden::InstanceGuard::Failure failure;
    if (!guard.publish(window->instancePort(), &failure)) {
        if (!failure.title.isEmpty())
            showBox(failure.title, failure.text);
        return 0;
    }
    bool bySignal = false;
    QObject::connect(&termination, &Warden::TerminationSignals::terminationRequested, window.get(),
                     [&bySignal, target = window.get()] {
                         bySignal = true;
                         target->exitProgram();
                     });
    if (!hidden)
        window->show();
    const auto stallProbe = Warden::StallProbe::fromEnvironment();
    const int code = QApplication::exec();
    // After a termination signal nobody may be there to click OK (started hidden or offscreen, a
    // session logging out, systemd stopping the unit): the goodbye then closes by itself instead of
    // holding the process until a second signal or SIGKILL.
    showBox(QStringLiteral("Bye!"), QStringLiteral("Emails will no longer be sent"), bySignal);
    window.reset();
    Warden::Business::Application::shutdown();
    return code;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    // The window hides on close; only Stop ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    try {
        Warden::DiagnosticLog::open();
        Warden::raiseOpenFileLimit();
        const bool hidden = argc > 1 && QByteArray(argv[1]) == "hidden";
        Warden::InstanceGuard guard;
        guard.removeStaleSegment();
        Warden::InstanceGuard::Failure failure;
        if (guard.wakeRunningInstance(&failure)) {
            if (!failure.title.isEmpty())
                showBox(failure.title, failure.text);
            return 0;
        }
        return runFirstInstance(guard, hidden);
    } catch (...) {
        showBox(QStringLiteral("Bye!"), QStringLiteral("Caught exception"));
        return 0;
    }
}
