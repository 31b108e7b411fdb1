#include "EnergyExportCommand.h"

#include "EnergyHistory.h"
#include "EnergyMeter.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>

#include <cstdio>
#include <cstring>

namespace Warden::Business {

namespace {

const QString exportName = QStringLiteral("export-energy");
const QString byName = QStringLiteral("by");
const QString controllerName = QStringLiteral("controller");
const QString allPeriodsName = QStringLiteral("all-periods");

int wrong(const QString& text) {
    std::fprintf(stderr, "%s\n", qPrintable(text));
    return 2;
}

} // namespace

bool EnergyExportCommand::isRequested(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        // Single-dash words count as long options, as everywhere on this command line.
        if (word[0] == '-' && word[1] == '-')
            ++word;
        if (std::strcmp(word, "-export-energy") == 0 || std::strncmp(word, "-export-energy=", 15) == 0)
            return true;
    }
    return false;
}

QList<QCommandLineOption> EnergyExportCommand::options() {
    return {
        QCommandLineOption(exportName,
                           QStringLiteral("Write the energy per bus from FROM till TILL, read from the daily "
                                          "logs, as CSV to standard output and exit. FROM and TILL are local "
                                          "times: YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS]; a date as TILL counts "
                                          "to the end of that day."),
                           QStringLiteral("FROM TILL")),
        QCommandLineOption(byName, QStringLiteral("Export periods: hour, day (default) or month."),
                           QStringLiteral("period")),
        QCommandLineOption(controllerName,
                           QStringLiteral("Export only the controller with this name (or display name)."),
                           QStringLiteral("name")),
        QCommandLineOption(allPeriodsName,
                           QStringLiteral("Also write the periods before a bus's first reading in the range, "
                                          "as 0 kWh with 0 % coverage (by default each bus starts where its "
                                          "readings do).")),
    };
}

int EnergyExportCommand::run(const QStringList& arguments, quint32 checkPeriod) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addHelpOption();
    parser.addOptions(options());
    parser.addPositionalArgument(QStringLiteral("TILL"), QStringLiteral("End of the export."));
    if (!parser.parse(arguments))
        return wrong(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1)
        return wrong(QStringLiteral("--export-energy: expected FROM TILL"));
    const std::optional<Time> from = parseLocalTime(parser.value(exportName), false);
    const std::optional<Time> till = parseLocalTime(positional.front(), true);
    if (!from)
        return wrong(QStringLiteral("--export-energy: not a date or date-time: ") + parser.value(exportName));
    if (!till)
        return wrong(QStringLiteral("--export-energy: not a date or date-time: ") + positional.front());
    if (*from >= *till)
        return wrong(QStringLiteral("--export-energy: FROM is not before TILL"));
    const std::optional<EnergyGrouping> by =
        parser.isSet(byName) ? parseGrouping(parser.value(byName)) : EnergyGrouping::day;
    if (!by)
        return wrong(QStringLiteral("--by: not hour, day or month: ") + parser.value(byName));

    QFile out;
    if (!out.open(stdout, QIODevice::WriteOnly)) {
        std::fprintf(stderr, "Not written: %s\n", qPrintable(out.errorString()));
        return 1;
    }
    const EnergyExport result =
        exportEnergy(out, QDir::currentPath(), *from, *till, *by, parser.value(controllerName).toUtf8(),
                     EnergyMeter::bridge(checkPeriod), parser.isSet(allPeriodsName));
    const bool written = result.writeError.isEmpty() && out.flush();
    if (result.skippedLines > 0)
        std::fprintf(stderr, "%lld %s of the daily logs skipped: no event line or no possible reading\n",
                     static_cast<long long>(result.skippedLines),
                     result.skippedLines == 1 ? "line" : "lines");
    for (const QString& file : result.unreadableFiles)
        std::fprintf(stderr, "Not read: %s\n", qPrintable(file));
    if (!written) {
        std::fprintf(stderr, "Not written: %s\n",
                     qPrintable(result.writeError.isEmpty() ? out.errorString() : result.writeError));
        return 1;
    }
    return result.unreadableFiles.isEmpty() ? 0 : 1;
}

} // namespace Warden::Business
