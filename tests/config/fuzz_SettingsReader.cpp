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

// Not Application::reset(): that also writes the event snapshot to disk, which would slow every run
// down to a few per second.
void freshState() {
    Application::mailAccounts.clear();
    Application::mailServers.clear();
    Application::controllers.clear();
    Application::report = ReportSettings{};
    serverKeys().clear();
    savingEnabled() = false;
}

QByteArray readAndWrite(const QByteArray& document, QByteArray* errors) {
    freshState();
    XmlHandler handler;
    parseSettings(document, handler);
    if (errors)
        *errors = handler.errorString();
    pruneMailServers();
    return SettingsWriter::document();
}

bool hasFourthChannel() {
    // A fourth channel does not fit the reader's slots; such a file is known not to read back whole.
    return std::any_of(Application::controllers.begin(), Application::controllers.end(),
                       [](const Controller& c) { return c.channels.size() > 3; });
}

[[noreturn]] void fail(const char* what, const QByteArray& detail) {
    std::fprintf(stderr, "%s\n%s\n", what, detail.constData());
    std::abort();
}

// The same bytes as the text lists the dialogs hand over, one text per line.
void storeAsTexts(const QByteArray& input) {
    freshState();
    const Texts texts = input.split('\n');
    storeController(-1, texts);
    storeController(static_cast<int>(texts.front().size() % 3) - 1, texts);
    storeMailAccount(-1, texts, {});
    storeMailAccount(-1, texts, texts.value(1));
    storeMailServer(texts);
    storeReportSettings(texts);
    (void)controllerValues(0);
    pruneMailServers();
    (void)SettingsWriter::document();
    removeMailAccount(0);
    removeController(0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        qInstallMessageHandler(discardMessages);
        return true;
    }();
    Q_UNUSED(quiet);

    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QByteArray first = readAndWrite(input, nullptr);
    if (!hasFourthChannel()) {
        QByteArray errors;
        const QByteArray second = readAndWrite(first, &errors);
        if (!errors.isEmpty())
            fail("a written file did not read back:", first + "\n---\n" + errors);
        const QByteArray third = readAndWrite(second, &errors);
        if (third != second)
            fail("a rewritten file changed again:", second + "\n---\n" + third);
    }
    storeAsTexts(input);
    freshState();
    return 0;
}
