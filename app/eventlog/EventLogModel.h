#pragma once

#include "ControllerNames.h"
#include "EventLogFilter.h"
#include "EventLogRow.h"
#include "EventOrder.h"
#include "OwnPollingLogins.h"

#include "core/EventStore.h"

#include <QAbstractTableModel>
#include <QTimer>

#include <optional>
#include <unordered_set>
#include <vector>

namespace Warden {

// The Event Log's table over the whole event store: the events the filter lets through, in the order
// of one column. It watches the store, so every new and every pruned event reaches it; the changes are
// gathered and shown together a moment later, a few row insertions rather than a rebuild. Rows are
// moved, never rebuilt under a view: a selection stays on its event through new events, pruning,
// sorting and filtering (or goes, with its event).
class EventLogModel final : public QAbstractTableModel, private Business::EventStore::Watcher {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(EventLogModel)

public:
    using Naming = ControllerNames::Naming;

    // `naming` names an event's controller, "(no controller)" for an event without one.
    EventLogModel(const Business::EventStore& store, Naming naming, OwnPollingLogins polling,
                  QObject* parent = nullptr);
    ~EventLogModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
    // The rows are loaded a page at a time as a view scrolls down: a view keeps track of every row it
    // knows, and with a million that made each new event cost a view a quarter of a second.
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

    void setFilter(const EventLogFilter& filter);
    const EventLogFilter& filter() const { return filter_; }
    int sortColumn() const { return sortColumn_; }
    Qt::SortOrder sortOrder() const { return sortOrder_; }
    // How many events the filter lets through, loaded or not.
    int shownCount() const;
    // How many events the store holds, shown or not.
    int storedCount() const;
    // The event of a row; null when the row is past the end or its event has just gone.
    const Business::Event* eventAt(int row) const;

    // Milliseconds between a change of the store and its rows in the table.
    void setDelay(int milliseconds) { flushTimer_.setInterval(milliseconds); }
    // The event the user chose (a view's current index): a new order or filter loads the rows as far
    // as wherever it went.
    void setChosen(const QModelIndex& index) { chosen_ = index; }
    // Rows loaded at first, and after a new order or filter (tests shorten it).
    void setPageSize(std::size_t rows) { pageSize_ = window_ = rows; }

public slots:
    // Controllers were added, renamed or removed: their names, and an order or filter by them, change.
    void controllersChanged();
    // Shows the store's changes gathered so far now rather than after the delay.
    void flush();

signals:
    // The rows shown changed in number (or the store's count did).
    void countsChanged();

private:
    void eventInserted(const Business::EventKey& key) override;
    void eventErasing(const Business::EventKey& key) override;
    void ownersDropped() override;
    void cleared() override;

    EventOrder order() const;
    bool gone(const EventLogRow& row) const;
    // `askPolling`: whether the row is one of our own polling logins is found out now.
    EventLogRow rowOf(const Business::EventKey& key, const Business::Event& event, bool askPolling) const;
    void readStore();
    // Sets the rows' `shown` anew; `narrower`: only rows shown so far can be.
    void refilter(bool narrower);
    // rows_ from all_, in order.
    void showRows();
    // Runs `change` on the rows as one layout change; persistent indexes follow their events.
    template <class Change> void relayout(Change change);
    void dropGone();
    void insertNew();
    void changed();

    const Business::EventStore& store_;
    mutable ControllerNames names_;
    OwnPollingLogins polling_;
    EventLogFilter filter_;
    int sortColumn_ = whenColumn;
    Qt::SortOrder sortOrder_ = Qt::DescendingOrder;
    // The whole store, oldest first (so that new events go at the end), with what the filter says.
    EventLogRows all_;
    // The rows shown, in their order; views see the first window_ of them.
    EventLogRows rows_;
    // The rows' next arrangement is built here and swapped in: the memory of a million rows is touched
    // once, not at every sort, filter or merge.
    EventLogRows spare_;
    std::size_t pageSize_ = 1000;
    std::size_t window_ = pageSize_;
    QPersistentModelIndex chosen_;
    bool relayingOut_ = false; // no rows are loaded between the two signals of a layout change
    // Changes of the store not yet in the rows. An erased event's row stays until the next flush but
    // reads as empty: the event is no longer there to read.
    std::vector<Business::EventKey> inserted_;
    std::unordered_set<quint64> erased_;
    bool rebuildNeeded_ = false;
    QTimer flushTimer_;
};

} // namespace Warden
