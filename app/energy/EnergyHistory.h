#pragma once

#include "Sweep.h"

#include "core/EventLine.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QIODevice>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace Warden::Business {

enum class EnergyGrouping { hour, day, month };

// One line of the energy export: a bus of a controller over one period.
struct EnergyPeriod {
    QByteArray controller; // display name, as the event lines carry it
    QByteArray bus;        // "A" or "B"
    Time start = 0;
    Time end = 0;
    double kWh = 0;
    qint64 readings = 0; // readings taken within [start, end)
    double coverage = 0; // percent of the period for which a reading holds
};

// The load readings of the daily logs, the record that outlives the event store, and their energy per
// hour, day or month, counted by an EnergyMeter with the given bridge: a gap longer than it adds no
// energy and shows as missing coverage.
class EnergyHistory final {
public:
    // `controller`, when not empty, keeps only the readings of the controller with that name or
    // display name.
    explicit EnergyHistory(Time bridge, QByteArray controller = {});

    // Reads the daily logs under `directory` (the one holding "log") of every local day that can hold
    // a reading in force within [from, till). Missing days are no error; unreadable files, and files
    // that are no regular files (a FIFO, a link to a device), are: they are named and not read.
    void readLogs(const QString& directory, Time from, Time till);
    // One line of a daily log, the lines of one file in their order, then endOfFile(). A line that is
    // no event line is counted and otherwise passed over.
    void addLine(QByteArrayView line);
    void endOfFile() { clock_.newFile(); }

    qint64 skippedLines() const { return skipped_; }
    const QStringList& unreadableFiles() const { return unreadable_; }

    // Every bus with readings, over the periods of `by` that [from, till) cuts, the first and last
    // one clipped to it; sorted by controller, bus and time and handed to `sink` one by one, so that
    // the memory taken does not grow with the number of periods. A local day starts at the first
    // instant of its date: a midnight the clocks show twice starts it at the first one.
    using PeriodSink = std::function<void(const EnergyPeriod&)>;
    void periods(Time from, Time till, EnergyGrouping by, const PeriodSink& sink);

    // The CSV's header line and one line per period, each with its line feed. Text cells that start
    // like a spreadsheet formula (= + - @, tab, CR) are quoted with a leading apostrophe.
    static QByteArray csvHeader();
    static QByteArray csvLine(const EnergyPeriod& row);

private:
    // The bus is the series' key: a reading of the history needs no more than this.
    struct Sample {
        Time time = 0;
        double watts = 0;
    };
    struct Series {
        std::vector<Sample> readings; // in the order of the files
    };
    void addReading(const QByteArray& owner, Time time, const QByteArray& reason);
    // Reads one daily log; what kept it from being read, if anything. A missing file is none.
    std::optional<QString> readLog(const QString& path);

    Time bridge_;
    QByteArray controller_;
    std::map<std::pair<QByteArray, int>, Series> series_; // (display name, bus index)
    qint64 skipped_ = 0;
    QStringList unreadable_;
    LogClock clock_; // of the current file, to tell the two runs of a repeated hour apart
};

// The whole export: the daily logs under `directory`, read once, written to `out` as CSV line by line.
struct EnergyExport {
    qint64 skippedLines = 0;
    QStringList unreadableFiles;
    QString writeError; // empty when every line was written
};
// Each bus starts at the first period in which a reading of it holds: the periods before its
// monitoring began would be rows of 0 kWh that look like an idle bus. `allPeriods` writes them too.
EnergyExport exportEnergy(QIODevice& out, const QString& directory, Time from, Time till, EnergyGrouping by,
                          const QByteArray& controller, Time bridge, bool allPeriods = false);

// "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM[:SS]" in local time. A bare date as the end of a range means the
// end of that day. A time the clocks show twice is its first instant.
std::optional<Time> parseLocalTime(const QString& text, bool endOfRange);
std::optional<EnergyGrouping> parseGrouping(const QString& text);
// ISO 8601 local time with its UTC offset: "2026-10-25T02:00:00+01:00".
QByteArray isoLocalTime(Time t);

} // namespace Warden::Business
