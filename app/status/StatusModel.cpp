#include "StatusModel.h"

#include "BusLoad.h"

#include "core/Application.h"
#include "core/Clock.h"
#include "core/ClockText.h"

#include <QBrush>
#include <QColor>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <tuple>
#include <utility>

namespace Warden {

using Business::Application;
using Business::Controller;
using Business::Event;
using Business::EventKind;
using Business::Time;

namespace {

// Views repaint only what is on screen, so a tick over the whole age column stays cheap.
constexpr int ageTickMs = 5000;

QString text(const QByteArray& bytes) {
    return QString::fromLatin1(bytes);
}

QString ageText(Time seconds) {
    seconds = std::max<Time>(seconds, 0);
    if (seconds < 60)
        return QStringLiteral("%1 s ago").arg(seconds);
    if (seconds < 3600)
        return QStringLiteral("%1 min ago").arg(seconds / 60);
    if (seconds < 86400)
        return QStringLiteral("%1 h %2 min ago").arg(seconds / 3600).arg(seconds / 60 % 60);
    return QStringLiteral("%1 d %2 h ago").arg(seconds / 86400).arg(seconds / 3600 % 24);
}

// The local day holding `now`: [midnight, next midnight).
std::pair<Time, Time> localDay(Time now) {
    std::optional<std::tm> tm = localTime(now);
    if (!tm)
        return {now, now + 1};
    tm->tm_hour = tm->tm_min = tm->tm_sec = 0;
    tm->tm_isdst = -1;
    std::tm next = *tm;
    ++next.tm_mday;
    return {static_cast<Time>(std::mktime(&*tm)), static_cast<Time>(std::mktime(&next))};
}

} // namespace

StatusModel::StatusModel(Application& app, QObject* parent)
    : QAbstractTableModel(parent)
    , app_(app) {
    reloadTimer_.setSingleShot(true);
    reloadTimer_.setInterval(0);
    connect(&reloadTimer_, &QTimer::timeout, this, &StatusModel::reload);
    const auto reloadSoon = [this] { reloadTimer_.start(); };
    connect(&app_, &Application::controllerAdded, this, reloadSoon);
    connect(&app_, &Application::controllerChanged, this, reloadSoon);
    connect(&app_, &Application::controllerRemoved, this, &StatusModel::reload);
    flushTimer_.setSingleShot(true);
    flushTimer_.setInterval(0);
    connect(&flushTimer_, &QTimer::timeout, this, &StatusModel::flush);
    connect(&ageTimer_, &QTimer::timeout, this, &StatusModel::tick);
    ageTimer_.start(ageTickMs);
    reload();
}

int StatusModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(rows_.size());
}

int StatusModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : columnTotal;
}

void StatusModel::reload() {
    reloadTimer_.stop();
    beginResetModel();
    followDay(Clock::now());
    std::vector<Row> rows;
    rowOf_.clear();
    for (Controller& controller : app_.controllers) {
        const auto known = std::find_if(rows_.begin(), rows_.end(),
                                        [&](const Row& row) { return row.controller == &controller; });
        Row row;
        row.controller = &controller;
        if (known != rows_.end()) {
            row = *known;
        } else {
            // What the store already holds: the newest reading of each bus and the newest event.
            const int buses = Application::hasTwoBuses(controller.type) ? 2 : 1;
            int read = 0;
            for (const auto& [key, event] : app_.events.ownedBy(controller.id)) {
                if (row.lastEvent.isEmpty())
                    noteEvent(row, *event);
                const std::optional<int> bus = busOf(row, *event);
                if (bus && !row.buses[*bus].read) {
                    takeReading(row, *event);
                    read += row.buses[*bus].read;
                }
                if (read == buses)
                    break;
            }
        }
        // A row kept keeps its count: the store may have let go of the day's reported readings. Only
        // a change of the model, and with it of the buses, starts it again from the store.
        if (known == rows_.end() || row.countedBuses != Warden::busCount(controller))
            countToday(row);
        showToday(row, Clock::now());
        rowOf_[controller.id] = int(rows.size());
        rows.push_back(std::move(row));
    }
    rows_ = std::move(rows);
    changed_.clear();
    isChanged_.assign(rows_.size(), false);
    for (int i = 0; i < int(rows_.size()); ++i)
        rows_[i].shown = condition(i);
    endResetModel();
    recount();
}

void StatusModel::noteEvent(Row& row, const Event& event) {
    row.lastEvent = eventKindName(event.kind) + " (" + transportName(event.transport) + ')';
    row.lastEventRaw = event.reason.isEmpty() ? event.raw : event.reason;
}

void StatusModel::eventAdded(const Event& event) {
    const auto it = rowOf_.find(event.owner);
    if (it == rowOf_.end())
        return;
    followDay(Clock::now());
    Row& row = rows_[it->second];
    noteEvent(row, event);
    takeReading(row, event);
    markChanged(it->second);
}

std::optional<int> StatusModel::busOf(const Row& row, const Event& reading) const {
    return readingBus(*row.controller, reading);
}

void StatusModel::takeReading(Row& row, const Event& reading) {
    const std::optional<int> bus = busOf(row, reading);
    const std::optional<BusLoad> load = bus ? BusLoad::of(reading) : std::nullopt;
    if (!load)
        return;
    Bus& b = row.buses[*bus];
    b.today.setBridge(Business::EnergyMeter::bridge(app_.report.checkPeriod()));
    if (!b.today.add(reading.time, load->watts))
        row.recount = true;
    b.read = true;
    b.volts = load->volts;
    b.amps = load->amps;
    b.watts = load->watts;
}

void StatusModel::countToday(Row& row) const {
    for (Bus& bus : row.buses)
        bus.today =
            Business::EnergyMeter(Business::EnergyMeter::bridge(app_.report.checkPeriod()), dayStart_);
    // Newest first, down to the reading in force at midnight on each bus; counted oldest first, the one
    // stored last within a second last.
    std::vector<std::pair<int, const Event*>> readings;
    std::array<bool, busCount> settled{};
    int open = Warden::busCount(*row.controller);
    for (const auto& [key, event] : app_.events.ownedBy(row.controller->id)) {
        const std::optional<int> bus = busOf(row, *event);
        if (!bus || settled[*bus] || !BusLoad::of(*event))
            continue;
        readings.emplace_back(*bus, event);
        if (event->time < dayStart_) {
            settled[*bus] = true;
            if (--open == 0)
                break;
        }
    }
    for (auto it = readings.rbegin(); it != readings.rend(); ++it)
        row.buses[it->first].today.add(it->second->time, BusLoad::of(*it->second)->watts);
    row.recount = false;
    row.countedBuses = Warden::busCount(*row.controller);
}

void StatusModel::showToday(Row& row, Time now) {
    if (row.recount)
        countToday(row);
    for (Bus& bus : row.buses)
        bus.kWhToday = bus.today.kWh(now);
}

void StatusModel::followDay(Time now) {
    if (now >= dayStart_ && now < dayEnd_)
        return;
    std::tie(dayStart_, dayEnd_) = localDay(now);
    for (Row& row : rows_) {
        for (Bus& bus : row.buses) {
            const std::optional<Time> newest = bus.today.newest();
            if (newest && *newest > dayStart_)
                row.recount = true; // the clock went back past midnight
            else
                bus.today.restart(dayStart_);
        }
    }
}

void StatusModel::tick() {
    if (rows_.empty())
        return;
    // The day's energy grows while a reading holds, and starts again at midnight.
    const Time now = Clock::now();
    followDay(now);
    for (Row& row : rows_)
        showToday(row, now);
    // Time alone turns rows stale.
    for (int i = 0; i < int(rows_.size()); ++i) {
        if (condition(i) != rows_[i].shown)
            markChanged(i);
    }
    emit dataChanged(index(0, lastGoodCheck), index(int(rows_.size()) - 1, lastGoodCheck));
    emit dataChanged(index(0, busColumn(today, 0)),
                     index(int(rows_.size()) - 1, busColumn(today, busCount - 1)));
}

void StatusModel::setOutcome(Business::ControllerId controller, const Business::CheckOutcome& outcome) {
    const auto it = rowOf_.find(controller);
    if (it == rowOf_.end())
        return;
    Row& row = rows_[it->second];
    if (outcome.answered)
        row.outcome = State::answering;
    else if (outcome.httpStatus == 401 || outcome.httpStatus == 403)
        row.outcome = State::loginRefused;
    else
        row.outcome = outcome.httpStatus == 0 ? State::noAnswer : State::pageUnreadable;
    const Time now = Clock::now();
    if (outcome.answered) {
        row.lastGood = now;
        row.failedChecks = 0;
    } else {
        if (row.failedChecks++ == 0)
            row.failingSince = now;
        row.failure = outcome.failure;
        row.failedAt = now;
    }
    markChanged(it->second);
}

void StatusModel::setStaleAfter(Time seconds) {
    staleAfter_ = std::max<Time>(seconds, 0);
    for (int i = 0; i < int(rows_.size()); ++i) {
        if (condition(i) != rows_[i].shown)
            markChanged(i);
    }
}

StatusModel::Condition StatusModel::condition(int index) const {
    const Row& row = rows_[index];
    if (!row.outcome)
        return Condition::unchecked;
    if (*row.outcome != State::answering)
        return Condition::failing;
    if (staleAfter_ > 0 && Clock::now() - row.lastGood > staleAfter_)
        return Condition::stale;
    Condition worst = Condition::normal;
    for (int bus = 0; bus < busesOf(index); ++bus) {
        const Limit limit = limitState(index, bus);
        if (limit == Limit::over)
            return Condition::over;
        if (limit == Limit::under)
            worst = Condition::under;
    }
    return worst;
}

bool StatusModel::valuesStale(int index) const {
    const Condition now = condition(index);
    return now == Condition::failing || now == Condition::stale || now == Condition::unchecked;
}

void StatusModel::recount() {
    Counts counts;
    counts.controllers = int(rows_.size());
    for (const Row& row : rows_) {
        switch (row.shown) {
        case Condition::over:
        case Condition::under:
            ++counts.inAlarm;
            break;
        case Condition::failing:
            ++counts.noAnswer;
            break;
        case Condition::stale:
            ++counts.stale;
            break;
        case Condition::unchecked:
        case Condition::normal:
            break;
        }
    }
    if (counts == counts_)
        return;
    counts_ = counts;
    emit countsChanged(counts_);
}

void StatusModel::markChanged(int row) {
    if (isChanged_[row])
        return;
    isChanged_[row] = true;
    changed_.push_back(row);
    if (!flushTimer_.isActive())
        flushTimer_.start();
}

void StatusModel::flush() {
    flushTimer_.stop();
    const Time now = Clock::now();
    followDay(now);
    if (changed_.empty())
        return;
    for (const int row : changed_) {
        showToday(rows_[row], now);
        rows_[row].shown = condition(row);
        isChanged_[row] = false;
    }
    // One range from the first changed row to the last: views repaint only what they show, and a
    // sorting proxy takes every changed row at once. Told range by range, it would place the rows of
    // the first range among rows whose sort keys had already changed, unsorted, and lose the order.
    const auto [first, last] = std::minmax_element(changed_.begin(), changed_.end());
    emit dataChanged(index(*first, 0), index(*last, columnTotal - 1));
    changed_.clear();
    recount();
}

const Controller* StatusModel::controllerAt(int row) const {
    return row >= 0 && row < int(rows_.size()) ? rows_[row].controller : nullptr;
}

int StatusModel::busesOf(int row) const {
    const Controller* c = controllerAt(row);
    return c ? Warden::busCount(*c) : 1;
}

const Business::ChannelSettings* StatusModel::limitsOf(int row, int bus) const {
    const Controller* c = controllerAt(row);
    return c ? busLimits(*c, bus) : nullptr;
}

StatusModel::Limit StatusModel::limitState(int row, int bus) const {
    if (!rows_[row].buses[bus].read)
        return Limit::within;
    return Warden::limitState(rows_[row].buses[bus].amps, limitsOf(row, bus));
}

QString StatusModel::number(double value) {
    return QString::number(std::round(value * 100) / 100, 'g', 12);
}

QString StatusModel::stateText(const Row& row, int index) const {
    if (!row.outcome)
        return QStringLiteral("not checked yet");
    switch (*row.outcome) {
    case State::noAnswer:
        return QStringLiteral("no answer");
    case State::loginRefused:
        return QStringLiteral("login refused");
    case State::pageUnreadable:
        return QStringLiteral("page unreadable");
    case State::answering:
        break;
    }
    switch (condition(index)) {
    case Condition::over:
    case Condition::under:
        return QStringLiteral("alarm");
    case Condition::stale:
        return QStringLiteral("stale");
    default:
        return QStringLiteral("answering");
    }
}

QString StatusModel::stateToolTip(const Row& row, int index) const {
    if (!row.outcome)
        return QStringLiteral("Not checked since the start or since the controller was added.");
    const QString reason = text(row.failure.failed() ? row.failure.text() : QByteArray("no reason known"));
    if (*row.outcome != State::answering) {
        return QStringLiteral("%1: %2.\nFailing since %3 (%4 %5 in a row).")
            .arg(stateText(row, index), reason, text(clockText(row.failingSince)))
            .arg(row.failedChecks)
            .arg(row.failedChecks == 1 ? QStringLiteral("check") : QStringLiteral("checks"));
    }
    QString tip =
        condition(index) == Condition::stale
            ? QStringLiteral("No good check for %1: the values are from %2.")
                  .arg(ageText(Clock::now() - row.lastGood).chopped(4), text(clockText(row.lastGood)))
            : QStringLiteral("Answered the last check.");
    if (row.failedAt != 0)
        tip += QStringLiteral("\nLast failed check: %1: %2.").arg(text(clockText(row.failedAt)), reason);
    return tip;
}

QString StatusModel::detailText(int index) const {
    if (index < 0 || index >= int(rows_.size()))
        return {};
    const Row& row = rows_[index];
    QString line = text(row.controller->name) + QStringLiteral(": ") + stateText(row, index);
    if (row.outcome && *row.outcome != State::answering) {
        line += QStringLiteral(" since %1 (%2 failed) - %3")
                    .arg(text(clockText(row.failingSince)))
                    .arg(row.failedChecks)
                    .arg(text(row.failure.failed() ? row.failure.text() : QByteArray("no reason known")));
    } else if (row.outcome) {
        line += QStringLiteral(", last good check %1").arg(ageText(Clock::now() - row.lastGood));
        if (row.failedAt != 0)
            line += QStringLiteral("; last failed check %1: %2")
                        .arg(text(clockText(row.failedAt)), text(row.failure.text()));
    }
    return line;
}

QVariant StatusModel::busData(int row, int bus, int column, int role) const {
    if (bus >= busesOf(row))
        return {};
    const Bus& b = rows_[row].buses[bus];
    const Business::ChannelSettings* settings = limitsOf(row, bus);
    const Limit limit = limitState(row, bus);
    const bool stale = b.read && valuesStale(row);
    switch (role) {
    case Qt::BackgroundRole:
        if (column == current && limit != Limit::within && !stale)
            return StatusLook::background(limit == Limit::over ? Condition::over : Condition::under);
        return {};
    case Qt::ForegroundRole:
        return stale && column != limits ? QVariant(QBrush(StatusLook::greyed())) : QVariant();
    case Qt::ToolTipRole:
        if (!stale || column == limits)
            return {};
        return rows_[row].lastGood == 0 ? QStringLiteral("Read before the first check since the start")
                                        : QStringLiteral("As of the last good check, %1")
                                              .arg(ageText(Clock::now() - rows_[row].lastGood));
    case sortRole:
        if (!b.read)
            return {};
        switch (column) {
        case current:
            return b.amps;
        case power:
            return b.watts;
        case volts:
            return b.volts;
        case today:
            return b.kWhToday;
        default:
            return settings ? QVariant(settings->overcurrent) : QVariant();
        }
    case Qt::DisplayRole:
        break;
    default:
        return {};
    }
    switch (column) {
    case volts:
        return b.read ? number(b.volts) + QStringLiteral(" V") : QString();
    case current: {
        if (!b.read)
            return QString();
        QString shown = number(b.amps) + QStringLiteral(" A");
        // The mark is in the words too: a colour alone says nothing to everyone.
        if (limit == Limit::over)
            shown += QStringLiteral(" (over %1 A)").arg(number(settings->overcurrent));
        else if (limit == Limit::under)
            shown += QStringLiteral(" (under %1 A)").arg(number(settings->undercurrent));
        return shown;
    }
    case power:
        return b.read
                   ? QStringLiteral("%1 W (pf %2)").arg(number(b.watts), number(settings ? settings->pf : 1))
                   : QString();
    case limits:
        return settings ? QStringLiteral("%1 - %2 A")
                              .arg(number(settings->undercurrent), number(settings->overcurrent))
                        : QString();
    case today:
        return b.read ? QStringLiteral("%1 kWh").arg(QString::number(b.kWhToday, 'f', 3)) : QString();
    default:
        return {};
    }
}

QVariant StatusModel::stateData(int index, int role) const {
    const Row& row = rows_[index];
    const Condition now = condition(index);
    switch (role) {
    case Qt::DisplayRole:
        return stateText(row, index);
    case Qt::BackgroundRole:
        return StatusLook::background(now);
    case Qt::DecorationRole: {
        QIcon& icon = icons_[std::size_t(now)];
        if (icon.isNull())
            icon = StatusLook::icon(now);
        return icon;
    }
    case Qt::ToolTipRole:
        return stateToolTip(row, index);
    case sortRole:
        return int(now);
    default:
        return {};
    }
}

QVariant StatusModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= int(rows_.size()))
        return {};
    const Row& row = rows_[index.row()];
    const int column = index.column();
    if (column >= firstBus && column < lastEvent)
        return busData(index.row(), (column - firstBus) % busCount, (column - firstBus) / busCount, role);
    if (column == state)
        return stateData(index.row(), role);
    if (role == sortRole) {
        if (column == lastGoodCheck)
            return qlonglong(row.lastGood);
        return data(index, Qt::DisplayRole).toString().toLower();
    }
    if (role == Qt::ToolTipRole) {
        if (column == lastGoodCheck && row.lastGood != 0)
            return text(clockText(row.lastGood));
        if (column == lastEvent)
            return text(row.lastEventRaw);
        if (column == name)
            return text(row.controller->displayName());
        return {};
    }
    if (role != Qt::DisplayRole)
        return {};
    switch (column) {
    case name:
        return text(row.controller->name);
    case model:
        return text(Application::modelName(row.controller->type));
    case lastGoodCheck:
        return row.lastGood == 0 ? QStringLiteral("never") : ageText(Clock::now() - row.lastGood);
    case lastEvent:
        return text(row.lastEvent);
    default:
        return {};
    }
}

QVariant StatusModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    static const char* const names[] = {"Controller", "Model", "State", "Last good check"};
    static const char* const busNames[] = {"current", "power", "volts", "today", "limits"};
    if (section < firstBus)
        return QString::fromLatin1(names[section]);
    if (section < lastEvent)
        return QString(QChar(char('A' + (section - firstBus) % busCount))) + QLatin1Char(' ') +
               QLatin1String(busNames[(section - firstBus) / busCount]);
    if (section == lastEvent)
        return QStringLiteral("Last event");
    return {};
}

} // namespace Warden
