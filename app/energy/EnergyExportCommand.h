#pragma once

#include <QCommandLineOption>
#include <QList>
#include <QStringList>

namespace Warden::Business {

// "ampwarden --export-energy FROM TILL [--by hour|day|month] [--controller NAME] [--all-periods]": the energy
// of the daily logs under the working directory as CSV on standard output. It runs beside a running instance
// and without a display, so it is told apart from a start of the program before anything else.
class EnergyExportCommand final {
public:
    static bool isRequested(int argc, const char* const* argv);
    // The options, for the program's --help as well.
    static QList<QCommandLineOption> options();
    // Exit code: 0 done (lines that are no event lines are skipped, counted on standard error), 1 a
    // daily log that cannot be read, 2 a wrong command line.
    static int run(const QStringList& arguments, quint32 checkPeriod);
};

} // namespace Warden::Business
