#include "EventLogModel.h"

#include "core/ClockText.h"

#include <algorithm>

namespace Warden {

using Business::Event;
using Business::EventKey;
using Business::NewestFirst;

namespace {

// Most changes are a few events at the newest end; past this many, reading the store again is faster
// than placing each new event.
constexpr std::size_t placedOneByOne = 4096;

QString text(const QByteArray& bytes) {
    return QString::fromUtf8(bytes);
}

} // namespace

EventLogModel::EventLogModel(const Business::EventStore& store, Naming naming, OwnPollingLogins polling,
                             QObject* parent)
    : QAbstractTableModel(parent)
    , store_(store)
    , names_(std::move(naming))
    , polling_(std::move(polling)) {
    flushTimer_.setSingleShot(true);
    flushTimer_.setInterval(100);
    connect(&flushTimer_, &QTimer::timeout, this, &EventLogModel::flush);
    rows_ = rowsFromStore();
    store_.addWatcher(this);
}

EventLogModel::~EventLogModel() {
    store_.removeWatcher(this);
}

int EventLogModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int EventLogModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : eventLogColumns;
}

int EventLogModel::storedCount() const {
    return static_cast<int>(store_.size());
}

bool EventLogModel::gone(const EventLogRow& row) const {
    return !erased_.empty() && erased_.contains(row.key.sequence);
}

const Event* EventLogModel::eventAt(int row) const {
    if (row < 0 || row >= rowCount() || gone(rows_[static_cast<std::size_t>(row)]))
        return nullptr;
    return rows_[static_cast<std::size_t>(row)].event;
}

QVariant EventLogModel::data(const QModelIndex& index, int role) const {
    const Event* event = index.isValid() ? eventAt(index.row()) : nullptr;
    if (!event)
        return {};
    if (role == Qt::DisplayRole) {
        switch (index.column()) {
        case messageIdColumn:
            return text(event->messageId);
        case whenColumn:
            return text(clockText(event->time));
        case controllerColumn:
            return text(names_.of(*event));
        case kindColumn:
            return text(eventKindName(event->kind));
        case reasonColumn:
            return text(event->reason);
        case rawColumn:
            return text(event->raw);
        case transportColumn:
            return text(transportName(event->transport));
        default:
            return {};
        }
    }
    if (role == Qt::ToolTipRole && (index.column() == reasonColumn || index.column() == rawColumn)) {
        const QByteArray& full = index.column() == reasonColumn ? event->reason : event->raw;
        // As rich text the tip wraps instead of running off the screen.
        if (!full.isEmpty())
            return QStringLiteral("<qt>%1</qt>").arg(text(full).toHtmlEscaped());
    }
    return {};
}

QVariant EventLogModel::headerData(int section, Qt::Orientation orientation, int role) const {
    static const char* const headers[] = {"Message ID",    "When",     "From (Controller)", "Type",
                                          "Reason Phrase", "Raw Data", "Transport"};
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= eventLogColumns)
        return {};
    return QString::fromLatin1(headers[section]);
}

EventOrder EventLogModel::order() const {
    return EventOrder(sortColumn_, sortOrder_, names_);
}

std::vector<EventLogRow> EventLogModel::rowsFromStore() {
    std::vector<EventLogRow> rows;
    EventLogFilter::Matcher shown(filter_, polling_, names_);
    for (const auto& [key, event] : store_.events()) {
        if (shown(event))
            rows.push_back({&event, key});
    }
    order().arrange(rows);
    return rows;
}

template <class Change> void EventLogModel::relayout(Change change) {
    emit layoutAboutToBeChanged();
    const QModelIndexList before = persistentIndexList();
    struct Kept {
        std::optional<EventLogRow> row; // none: the index has no event, or its event is gone
        int column;
    };
    std::vector<Kept> kept;
    for (const QModelIndex& index : before) {
        const Event* event = eventAt(index.row());
        kept.push_back({event ? std::optional(rows_[static_cast<std::size_t>(index.row())]) : std::nullopt,
                        index.column()});
    }
    change();
    QModelIndexList after;
    const EventOrder place = order();
    for (const Kept& k : kept) {
        auto it = k.row ? std::lower_bound(rows_.begin(), rows_.end(), *k.row, place) : rows_.end();
        const bool found = it != rows_.end() && it->key.sequence == k.row->key.sequence;
        after.append(found ? index(static_cast<int>(it - rows_.begin()), k.column) : QModelIndex());
    }
    changePersistentIndexList(before, after);
    emit layoutChanged();
    emit countsChanged();
}

void EventLogModel::sort(int column, Qt::SortOrder order) {
    if (column < 0 || column >= eventLogColumns || (column == sortColumn_ && order == sortOrder_))
        return;
    flush();
    relayout([&] {
        // The orders start from the store's, newest first.
        if (sortColumn_ == whenColumn) {
            if (sortOrder_ == Qt::AscendingOrder)
                std::reverse(rows_.begin(), rows_.end());
        } else {
            std::sort(rows_.begin(), rows_.end(),
                      [](const EventLogRow& a, const EventLogRow& b) { return NewestFirst{}(a.key, b.key); });
        }
        sortColumn_ = column;
        sortOrder_ = order;
        this->order().arrange(rows_);
    });
}

void EventLogModel::setFilter(const EventLogFilter& filter) {
    if (filter == filter_)
        return;
    flush();
    const bool narrower = filter.narrows(filter_);
    relayout([&] {
        filter_ = filter;
        if (narrower) {
            // The rows shown stay in order; only those the new filter refuses go.
            EventLogFilter::Matcher shown(filter_, polling_, names_);
            std::erase_if(rows_, [&shown](const EventLogRow& row) { return !shown(*row.event); });
        } else {
            rows_ = rowsFromStore();
        }
    });
}

void EventLogModel::controllersChanged() {
    rebuildNeeded_ = true;
    changed();
}

void EventLogModel::eventInserted(const EventKey& key) {
    inserted_.push_back(key);
    changed();
}

void EventLogModel::eventErasing(const EventKey& key) {
    erased_.insert(key.sequence);
    changed();
}

void EventLogModel::ownersDropped() {
    // The owner decides the name, the controller filter and whether a login is ours.
    rebuildNeeded_ = true;
    changed();
}

void EventLogModel::cleared() {
    // Every row's event is gone at once: no row may be read again.
    beginResetModel();
    rows_.clear();
    inserted_.clear();
    erased_.clear();
    rebuildNeeded_ = false;
    endResetModel();
    emit countsChanged();
}

void EventLogModel::changed() {
    if (!flushTimer_.isActive())
        flushTimer_.start();
}

void EventLogModel::flush() {
    flushTimer_.stop();
    if (rebuildNeeded_ || inserted_.size() > placedOneByOne) {
        relayout([this] {
            names_.forget();
            rows_ = rowsFromStore();
            inserted_.clear();
            erased_.clear();
            rebuildNeeded_ = false;
        });
        return;
    }
    if (inserted_.empty() && erased_.empty())
        return;
    dropGone();
    insertNew();
    emit countsChanged();
}

void EventLogModel::dropGone() {
    if (erased_.empty())
        return;
    std::vector<std::size_t> positions;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        if (gone(rows_[i]))
            positions.push_back(i);
    }
    if (positions.empty()) {
        erased_.clear();
        return;
    }
    const bool oneRun = positions.back() - positions.front() + 1 == positions.size();
    const auto drop = [this] {
        std::erase_if(rows_, [this](const EventLogRow& row) { return gone(row); });
        erased_.clear();
    };
    if (oneRun) {
        beginRemoveRows({}, static_cast<int>(positions.front()), static_cast<int>(positions.back()));
        drop();
        endRemoveRows();
    } else {
        relayout(drop);
    }
}

void EventLogModel::insertNew() {
    std::vector<EventLogRow> added;
    EventLogFilter::Matcher shown(filter_, polling_, names_);
    for (const EventKey& key : inserted_) {
        const auto it = store_.events().find(key);
        if (it != store_.events().end() && shown(it->second))
            added.push_back({&it->second, key});
    }
    inserted_.clear();
    if (added.empty())
        return;
    const EventOrder place = order();
    std::sort(added.begin(), added.end(), place);
    const auto first = std::lower_bound(rows_.begin(), rows_.end(), added.front(), place);
    const auto last = std::lower_bound(rows_.begin(), rows_.end(), added.back(), place);
    if (first == last) {
        // One run of rows, such as the newest events on top.
        const int at = static_cast<int>(first - rows_.begin());
        beginInsertRows({}, at, at + static_cast<int>(added.size()) - 1);
        rows_.insert(first, added.begin(), added.end());
        endInsertRows();
        return;
    }
    relayout([&] {
        std::vector<EventLogRow> merged;
        merged.reserve(rows_.size() + added.size());
        std::merge(rows_.begin(), rows_.end(), added.begin(), added.end(), std::back_inserter(merged), place);
        rows_.swap(merged);
    });
}

} // namespace Warden
