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

    void setFilter(const EventLogFilter& filter);
    const EventLogFilter& filter() const { return filter_; }
    int sortColumn() const { return sortColumn_; }
    Qt::SortOrder sortOrder() const { return sortOrder_; }
    // How many events the store holds, shown or not.
    int storedCount() const;
    // The event of a row; null when the row is past the end or its event has just gone.
    const Business::Event* eventAt(int row) const;

    // Milliseconds between a change of the store and its rows in the table.
    void setDelay(int milliseconds) { flushTimer_.setInterval(milliseconds); }

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
    std::vector<EventLogRow> rowsFromStore();
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
    std::vector<EventLogRow> rows_;
    // Changes of the store not yet in the rows. An erased event's row stays until the next flush but
    // reads as empty: the event is no longer there to read.
    std::vector<Business::EventKey> inserted_;
    std::unordered_set<quint64> erased_;
    bool rebuildNeeded_ = false;
    QTimer flushTimer_;
};

} // namespace Warden
