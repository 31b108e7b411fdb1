#pragma once

#include "BusLoad.h"
#include "StatusLook.h"
#include "core/CheckOutcome.h"
#include "core/Event.h"
#include "energy/EnergyMeter.h"

#include <QAbstractTableModel>
#include <QTimer>

#include <array>
#include <optional>
#include <unordered_map>
#include <vector>

namespace Warden {

namespace Business {
class Application;
}

// The Status tab's table: one row per configured controller, in configuration order, with what its
// latest check and readings say. It hears the querying object once per controller and the event store
// once per event (through the window's event listener), and tells views only about the rows that
// changed, gathered per event-loop pass: a check of a thousand controllers is a few row-range updates,
// never a rebuild. The day's energy is counted as the readings come, as the energy export counts it;
// the store is read for it only for a new row or model, or after a reading older than the newest.
class StatusModel final : public QAbstractTableModel {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusModel)

public:
    // Columns. The buses' come side by side per quantity (A current, B current, A power, ...), the
    // currents first: they carry the marks a glance looks for.
    static constexpr int name = 0, model = 1, state = 2, lastGoodCheck = 3, firstBus = 4;
    static constexpr int current = 0, power = 1, volts = 2, today = 3, limits = 4, busColumns = 5;
    static constexpr int busCount = 2;
    static constexpr int lastEvent = firstBus + busCount * busColumns;
    static constexpr int columnTotal = lastEvent + 1;
    static constexpr int busColumn(int quantity, int bus) { return firstBus + quantity * busCount + bus; }

    using Limit = BusLimit;

    using Condition = StatusCondition;
    // The rows by condition, for the summary that every tab shows.
    struct Counts {
        int controllers = 0;
        int inAlarm = 0;  // a bus over or under its limits at the last good check
        int noAnswer = 0; // the last check failed, whatever the reason
        int stale = 0;    // no good check for longer than the checks should take
        friend bool operator==(const Counts&, const Counts&) = default;
    };
    // What views sort by: the condition's rank for the State column, numbers for the numbers.
    static constexpr int sortRole = Qt::UserRole + 1;

    // Follows the controllers of `app`: rows come and go with them.
    explicit StatusModel(Business::Application& app, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Rows anew from the configured controllers; what is known of a controller that stays is kept.
    // Runs by itself after the controllers change: at once for a removal, once per event-loop pass for
    // additions and edits (the reading of the settings adds them all in one pass).
    void reload();
    // A controller's check has ended.
    void setOutcome(Business::ControllerId controller, const Business::CheckOutcome& outcome);
    // An event was stored.
    void eventAdded(const Business::Event& event);
    // Tells the views about the rows changed so far now rather than on the next event-loop pass.
    void flush();
    // A row that has had no good check for longer than this is stale (its values greyed, counted
    // apart); 0, the start, for never. The checks' period and deadline decide it.
    void setStaleAfter(Business::Time seconds);

    Condition condition(int row) const;
    Counts counts() const { return counts_; }
    // The selected row in one line: its state, since when, and the reason of the last failed check.
    QString detailText(int row) const;

    int busesOf(int row) const;
    Limit limitState(int row, int bus) const;
    const Business::Controller* controllerAt(int row) const;
    // The limits of a bus, or null when the controller has no settings for it.
    const Business::ChannelSettings* limitsOf(int row, int bus) const;

    static QString number(double value);

signals:
    void countsChanged(const Warden::StatusModel::Counts& counts);

private:
    enum class State { answering, noAnswer, loginRefused, pageUnreadable };
    struct Bus {
        bool read = false;
        double volts = 0;
        double amps = 0;
        double watts = 0;
        // The day's energy, counted as the readings come.
        Business::EnergyMeter today{0};
        double kWhToday = 0;
    };
    struct Row {
        // Valid while the row is: a removal reloads the rows at once.
        Business::Controller* controller = nullptr;
        std::optional<State> outcome;
        Business::Time lastGood = 0;
        // The last failed check: why, when, and how many failed in a row since `failingSince`.
        Business::CheckFailure failure;
        Business::Time failedAt = 0;
        Business::Time failingSince = 0;
        int failedChecks = 0;
        // As last told to the views and counted.
        Condition shown = Condition::unchecked;
        std::array<Bus, busCount> buses;
        QByteArray lastEvent;
        QByteArray lastEventRaw;
        // A reading came older than the newest one (a clock set back): the day's energy is counted
        // again from the store.
        bool recount = false;
        int countedBuses = 0;
    };

    static void noteEvent(Row& row, const Business::Event& event);
    // The bus a reading belongs to in `row`, or nothing when it is none of its buses.
    std::optional<int> busOf(const Row& row, const Business::Event& reading) const;
    void takeReading(Row& row, const Business::Event& reading);
    // The day's energy of the row from the readings the store holds.
    void countToday(Row& row) const;
    void showToday(Row& row, Business::Time now);
    // Starts the day's counts afresh once `now` has left the day counted so far.
    void followDay(Business::Time now);
    void tick();
    void markChanged(int row);
    QString stateText(const Row& row, int index) const;
    QString stateToolTip(const Row& row, int index) const;
    QVariant stateData(int index, int role) const;
    QVariant busData(int row, int bus, int column, int role) const;
    // Whether the values of the row are old news (no good check lately, or none yet).
    bool valuesStale(int row) const;
    // Recounts the summary and tells who listens when it changed.
    void recount();

    Business::Time staleAfter_ = 0;
    Counts counts_;
    mutable std::array<QIcon, 6> icons_;

    Business::Application& app_;
    std::vector<Row> rows_;
    QTimer reloadTimer_;
    std::unordered_map<Business::ControllerId, int> rowOf_;
    std::vector<int> changed_;
    std::vector<bool> isChanged_;
    // The local day whose energy the rows show.
    Business::Time dayStart_ = 0;
    Business::Time dayEnd_ = 0;
    QTimer flushTimer_;
    QTimer ageTimer_;
};

} // namespace Warden
