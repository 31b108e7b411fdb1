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

const QColor overColour(255, 190, 190);
const QColor underColour(255, 225, 160);
const QColor faultColour(255, 225, 160);
const QColor answeringColour(215, 240, 215);

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
    endResetModel();
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
        bus.today = Business::EnergyMeter(Business::EnergyMeter::bridge(app_.report.checkPeriod()), dayStart_);
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
    if (outcome.answered)
        row.lastGood = Clock::now();
    markChanged(it->second);
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
    std::sort(changed_.begin(), changed_.end());
    // Neighbouring rows go out as one range: the rows of one check mostly come in order.
    for (std::size_t i = 0; i < changed_.size();) {
        std::size_t j = i;
        while (j + 1 < changed_.size() && changed_[j + 1] == changed_[j] + 1)
            ++j;
        for (std::size_t k = i; k <= j; ++k) {
            showToday(rows_[changed_[k]], now);
            isChanged_[changed_[k]] = false;
        }
        emit dataChanged(index(changed_[i], 0), index(changed_[j], columnTotal - 1));
        i = j + 1;
    }
    changed_.clear();
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
    for (int bus = 0; bus < busesOf(index); ++bus) {
        if (limitState(index, bus) != Limit::within)
            return QStringLiteral("alarm");
    }
    return QStringLiteral("answering");
}

QVariant StatusModel::busData(int row, int bus, int column, int role) const {
    if (bus >= busesOf(row))
        return {};
    const Bus& b = rows_[row].buses[bus];
    const Business::ChannelSettings* settings = limitsOf(row, bus);
    const Limit limit = limitState(row, bus);
    if (role == Qt::BackgroundRole) {
        if (column == current && limit != Limit::within)
            return QBrush(limit == Limit::over ? overColour : underColour);
        return {};
    }
    if (role != Qt::DisplayRole)
        return {};
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

QVariant StatusModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= int(rows_.size()))
        return {};
    const Row& row = rows_[index.row()];
    const int column = index.column();
    if (column >= firstBus && column < lastEvent)
        return busData(index.row(), (column - firstBus) % busCount, (column - firstBus) / busCount, role);
    if (role == Qt::BackgroundRole && column == state) {
        const QString shown = stateText(row, index.row());
        if (shown == QLatin1String("alarm"))
            return QBrush(overColour);
        if (shown == QLatin1String("answering"))
            return QBrush(answeringColour);
        return row.outcome ? QBrush(faultColour) : QVariant();
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
    case state:
        return stateText(row, index.row());
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
