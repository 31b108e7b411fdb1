// Arbitrary bytes as "Ampwarden.xml". Beyond not crashing, hanging or leaking: whatever was loaded
// must be written as a file that reads back without complaint and settles after one round (values of
// white space only read back empty, so the first rewrite may differ from the second).

#include "config/Settings.h"
#include "config/SettingsWriter.h"
#include "config/XmlHandler.h"
#include "core/Application.h"

#include <QtGlobal>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

using namespace Warden::Business;

namespace {

void discardMessages(QtMsgType, const QMessageLogContext&, const QString&) {
}

// One state for every input, emptied by hand between them: a new one each time would write the event
// snapshot to disk when it goes, slowing every run down to a few per second. Never destroyed for the
// same reason.
Application& state() {
    static Application& app = *new Application;
    return app;
}

void freshState(Application& app) {
    // The store keeps the report time of every controller added, until the controller is removed.
    app.events.clear();
    app.mailAccounts.clear();
    app.mailServers.clear();
    app.controllers.clear();
    app.report = ReportSettings{};
    app.settingsBook.serverKeys.clear();
    app.settingsBook.savingEnabled = false;
}

QByteArray readAndWrite(Application& app, const QByteArray& document, QByteArray* errors) {
    freshState(app);
    XmlHandler handler(app);
    parseSettings(document, handler);
    if (errors)
        *errors = handler.errorString();
    pruneMailServers(app);
    return SettingsWriter::document(app);
}

bool hasFourthChannel(const Application& app) {
    // A fourth channel does not fit the reader's slots; such a file is known not to read back whole.
    return std::any_of(app.controllers.begin(), app.controllers.end(),
                       [](const Controller& c) { return c.channels.size() > 3; });
}

[[noreturn]] void fail(const char* what, const QByteArray& detail) {
    std::fprintf(stderr, "%s\n%s\n", what, detail.constData());
    std::abort();
}

// The same bytes as the text lists the dialogs hand over, one text per line.
void storeAsTexts(Application& app, const QByteArray& input) {
    freshState(app);
    const Texts texts = input.split('\n');
    storeController(app, -1, texts);
    storeController(app, static_cast<int>(texts.front().size() % 3) - 1, texts);
    storeMailAccount(app, -1, texts, {});
    storeMailAccount(app, -1, texts, texts.value(1));
    storeMailServer(app, texts);
    storeReportSettings(app, texts);
    (void)controllerValues(app, 0);
    pruneMailServers(app);
    (void)SettingsWriter::document(app);
    removeMailAccount(app, 0);
    removeController(app, 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        qInstallMessageHandler(discardMessages);
        return true;
    }();
    Q_UNUSED(quiet);

    Application& app = state();
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QByteArray first = readAndWrite(app, input, nullptr);
    if (!hasFourthChannel(app)) {
        QByteArray errors;
        const QByteArray second = readAndWrite(app, first, &errors);
        if (!errors.isEmpty())
            fail("a written file did not read back:", first + "\n---\n" + errors);
        const QByteArray third = readAndWrite(app, second, &errors);
        if (third != second)
            fail("a rewritten file changed again:", second + "\n---\n" + third);
    }
    storeAsTexts(app, input);
    freshState(app);
    return 0;
}
