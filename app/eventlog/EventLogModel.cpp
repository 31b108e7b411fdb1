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
    readStore();
    refilter(false);
    showRows();
    store_.addWatcher(this);
}

EventLogModel::~EventLogModel() {
    store_.removeWatcher(this);
}

int EventLogModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(std::min(rows_.size(), window_));
}

int EventLogModel::shownCount() const {
    return static_cast<int>(rows_.size());
}

bool EventLogModel::canFetchMore(const QModelIndex& parent) const {
    return !parent.isValid() && !relayingOut_ && rows_.size() > window_;
}

void EventLogModel::fetchMore(const QModelIndex& parent) {
    if (!canFetchMore(parent))
        return;
    // Doubling: the far end of a million rows is a few fetches away, and the rows a view keeps track
    // of stay as few as the user has looked at.
    const std::size_t more = std::min(rows_.size(), window_ + std::max(window_, pageSize_)) - window_;
    beginInsertRows({}, static_cast<int>(window_), static_cast<int>(window_ + more) - 1);
    window_ += more;
    endInsertRows();
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

EventLogRow EventLogModel::rowOf(const EventKey& key, const Event& event, bool askPolling) const {
    return {&event,
            key,
            event.owner,
            EventLogRow::kindSlot(event.kind),
            event.transport == Business::Transport::http,
            askPolling && polling_.matches(event),
            false};
}

void EventLogModel::readStore() {
    all_.clear();
    reserveRows(all_, store_.size());
    const auto& events = store_.events();
    for (auto it = events.rbegin(); it != events.rend(); ++it)
        all_.push_back(rowOf(it->first, it->second, false));
    // The logins' texts are read in a pass of their own, where the next ones can be asked for ahead.
    constexpr std::size_t ahead = 16;
    const quint8 login = EventLogRow::kindSlot(Business::EventKind::login_success);
    for (std::size_t i = 0; i < all_.size(); ++i) {
        if (i + 2 * ahead < all_.size())
            __builtin_prefetch(all_[i + 2 * ahead].event);
        if (i + ahead < all_.size() && all_[i + ahead].kind == login)
            __builtin_prefetch(all_[i + ahead].event->raw.constData());
        if (all_[i].kind == login)
            all_[i].ownPolling = polling_.matches(*all_[i].event);
    }
}

void EventLogModel::refilter(bool narrower) {
    EventLogFilter::Matcher shown(filter_, names_);
    // A search reads every event's texts: the next ones are asked for ahead (no row's event is gone
    // here: a flush comes first).
    const bool reads = !filter_.text.isEmpty();
    for (std::size_t i = 0; i < all_.size(); ++i) {
        EventLogRow& row = all_[i];
        if (reads)
            prefetchTexts(all_, i);
        if (!narrower || row.shown)
            row.shown = shown(row);
    }
}

void EventLogModel::showRows() {
    const auto count =
        std::count_if(all_.begin(), all_.end(), [](const EventLogRow& row) { return row.shown; });
    rows_.clear();
    reserveRows(rows_, static_cast<std::size_t>(count));
    for (auto it = all_.rbegin(); it != all_.rend(); ++it) {
        if (it->shown)
            rows_.push_back(*it);
    }
    order().arrange(rows_, spare_);
}

template <class Change> void EventLogModel::relayout(Change change) {
    relayingOut_ = true;
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
    std::vector<std::ptrdiff_t> rows;
    const EventOrder place = order();
    for (const Kept& k : kept) {
        auto it = k.row ? std::lower_bound(rows_.begin(), rows_.end(), *k.row, place) : rows_.end();
        const bool found = it != rows_.end() && it->key.sequence == k.row->key.sequence;
        rows.push_back(found ? it - rows_.begin() : -1);
    }
    // A page from the top, or as far as the chosen event and a page beyond.
    std::ptrdiff_t chosenRow = -1;
    for (qsizetype i = 0; i < before.size(); ++i) {
        if (chosen_.isValid() && before[i] == chosen_)
            chosenRow = rows[static_cast<std::size_t>(i)];
    }
    window_ = static_cast<std::size_t>(chosenRow + 1) + pageSize_;
    QModelIndexList after;
    for (std::size_t i = 0; i < kept.size(); ++i)
        after.append(rows[i] < 0 ? QModelIndex() : index(static_cast<int>(rows[i]), kept[i].column));
    changePersistentIndexList(before, after);
    relayingOut_ = false;
    emit layoutChanged();
    emit countsChanged();
}

void EventLogModel::sort(int column, Qt::SortOrder order) {
    if (column < 0 || column >= eventLogColumns || (column == sortColumn_ && order == sortOrder_))
        return;
    flush();
    relayout([&] {
        sortColumn_ = column;
        sortOrder_ = order;
        showRows();
    });
}

void EventLogModel::setFilter(const EventLogFilter& filter) {
    if (filter == filter_)
        return;
    flush();
    const bool narrower = filter.narrows(filter_);
    relayout([&] {
        filter_ = filter;
        refilter(narrower);
        if (narrower) {
            // The rows shown stay in order; only those the new filter refuses go.
            EventLogFilter::Matcher shown(filter_, names_);
            std::erase_if(rows_, [&shown](const EventLogRow& row) { return !shown(row); });
        } else {
            showRows();
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
    all_.clear();
    rows_.clear();
    window_ = pageSize_;
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
            polling_.forget();
            readStore();
            refilter(false);
            showRows();
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
    std::erase_if(all_, [this](const EventLogRow& row) { return gone(row); });
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
    const std::size_t loaded = static_cast<std::size_t>(rowCount());
    if (oneRun && positions.front() >= loaded) {
        drop(); // past the rows loaded: no view knows of them
    } else if (oneRun) {
        const std::size_t last = std::min(positions.back(), loaded - 1);
        beginRemoveRows({}, static_cast<int>(positions.front()), static_cast<int>(last));
        drop();
        window_ -= last - positions.front() + 1;
        endRemoveRows();
    } else {
        relayout(drop);
    }
}

void EventLogModel::insertNew() {
    EventLogRows added;
    EventLogFilter::Matcher shown(filter_, names_);
    const NewestFirst newer;
    for (const EventKey& key : inserted_) {
        const auto it = store_.events().find(key);
        if (it == store_.events().end())
            continue;
        EventLogRow row = rowOf(key, it->second, true);
        row.shown = shown(row);
        // Oldest first: a new event nearly always goes at the end.
        auto at = all_.end();
        int steps = 0;
        while (at != all_.begin() && newer(std::prev(at)->key, key) && ++steps <= 64)
            --at;
        if (steps > 64)
            at = std::upper_bound(
                all_.begin(), all_.end(), row,
                [&newer](const EventLogRow& a, const EventLogRow& b) { return newer(b.key, a.key); });
        all_.insert(at, row);
        if (row.shown)
            added.push_back(row);
    }
    inserted_.clear();
    if (added.empty())
        return;
    const EventOrder place = order();
    std::sort(added.begin(), added.end(), place);
    reserveRows(rows_, rows_.size() + added.size());
    const auto first = std::lower_bound(rows_.begin(), rows_.end(), added.front(), place);
    const auto last = std::lower_bound(rows_.begin(), rows_.end(), added.back(), place);
    if (first == last) {
        // One run of rows, such as the newest events on top.
        const std::size_t at = static_cast<std::size_t>(first - rows_.begin());
        if (at >= static_cast<std::size_t>(rowCount()) && rows_.size() > window_) {
            rows_.insert(first, added.begin(), added.end()); // past the rows loaded
            return;
        }
        beginInsertRows({}, static_cast<int>(at), static_cast<int>(at + added.size()) - 1);
        rows_.insert(first, added.begin(), added.end());
        window_ += added.size();
        endInsertRows();
        return;
    }
    relayout([&] {
        // Each new row is placed by a binary search and the rows between are copied as blocks: merging
        // would compare every row, which sorted by a text reads a million events.
        reserveRows(spare_, rows_.size() + added.size());
        spare_.clear();
        auto from = rows_.begin();
        for (const EventLogRow& row : added) {
            const auto at = std::upper_bound(from, rows_.end(), row, place);
            spare_.insert(spare_.end(), from, at);
            spare_.push_back(row);
            from = at;
        }
        spare_.insert(spare_.end(), from, rows_.end());
        rows_.swap(spare_);
    });
}

} // namespace Warden
