#include "EventLogTab.h"

#include "eventlog/EventLogModel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QScrollBar>
#include <QTableView>

namespace {

const QString noController = QStringLiteral("(no controller)");

} // namespace

EventLogTab::EventLogTab(const Widgets& widgets, Warden::EventLogModel* model, QObject* parent)
    : QObject(parent)
    , ui_(widgets)
    , model_(model) {
    QTableView* table = ui_.table;
    table->setModel(model_);
    // A million rows of one height: nothing is measured row by row, and the scroll bar counts rows.
    table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table->verticalHeader()->setDefaultSectionSize(QFontMetrics(table->font()).height() + 6);
    table->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    table->horizontalHeader()->setSortIndicator(model_->sortColumn(), model_->sortOrder());
    table->setSortingEnabled(true);
    connect(table->selectionModel(), &QItemSelectionModel::currentChanged, model_,
            [this](const QModelIndex& current) { model_->setChosen(current); });
    const int widths[] = {85, 190, 180, 100, 160, 140, 70};
    for (int c = 0; c < Warden::eventLogColumns; ++c)
        table->setColumnWidth(c, widths[c]);
    // The reason takes the room a wider window gives: it is what a glance down the list reads.
    table->horizontalHeader()->setStretchLastSection(false);
    table->horizontalHeader()->setSectionResizeMode(Warden::reasonColumn, QHeaderView::Stretch);

    ui_.kinds->addItem(QStringLiteral("All types"), -1);
    for (int kind = 0; kind < 6; ++kind)
        ui_.kinds->addItem(QString::fromLatin1(eventKindName(static_cast<Warden::Business::EventKind>(kind))),
                           kind);
    ui_.hideOwnPolling->setChecked(model_->filter().hideOwnPolling);
    setControllerNames({});

    searchPause_.setSingleShot(true);
    searchPause_.setInterval(250);
    connect(&searchPause_, &QTimer::timeout, this, &EventLogTab::applyFilter);
    connect(ui_.search, &QLineEdit::textChanged, &searchPause_, qOverload<>(&QTimer::start));
    connect(ui_.search, &QLineEdit::returnPressed, this, &EventLogTab::applyFilter);
    connect(ui_.controllers, &QComboBox::currentIndexChanged, this, &EventLogTab::applyFilter);
    connect(ui_.kinds, &QComboBox::currentIndexChanged, this, &EventLogTab::applyFilter);
    connect(ui_.hideOwnPolling, &QCheckBox::toggled, this, &EventLogTab::applyFilter);

    connect(model_, &Warden::EventLogModel::countsChanged, this, &EventLogTab::showCounts);
    connect(model_, &QAbstractItemModel::rowsAboutToBeInserted, this, &EventLogTab::rememberTopRow);
    connect(model_, &QAbstractItemModel::rowsAboutToBeRemoved, this, &EventLogTab::rememberTopRow);
    connect(model_, &QAbstractItemModel::layoutAboutToBeChanged, this, &EventLogTab::rememberTopRow);
    connect(model_, &QAbstractItemModel::rowsInserted, this, &EventLogTab::restoreTopRow);
    connect(model_, &QAbstractItemModel::rowsRemoved, this, &EventLogTab::restoreTopRow);
    connect(model_, &QAbstractItemModel::layoutChanged, this, [this] {
        restoreTopRow();
        // After a new order or filter the chosen event is looked for where it went.
        if (ui_.table->currentIndex().isValid())
            ui_.table->scrollTo(ui_.table->currentIndex());
    });
    showCounts();
}

void EventLogTab::setControllerNames(const QList<QByteArray>& names) {
    const QString chosen = ui_.controllers->currentIndex() > 0 ? ui_.controllers->currentText() : QString();
    {
        const QSignalBlocker quiet(ui_.controllers);
        ui_.controllers->clear();
        ui_.controllers->addItem(QStringLiteral("All controllers"));
        for (const QByteArray& name : names)
            ui_.controllers->addItem(QString::fromUtf8(name));
        ui_.controllers->addItem(noController);
        ui_.controllers->setCurrentIndex(std::max(0, ui_.controllers->findText(chosen)));
    }
    applyFilter();
}

void EventLogTab::applyFilter() {
    searchPause_.stop();
    Warden::EventLogFilter filter;
    if (ui_.controllers->currentIndex() > 0)
        filter.controller = ui_.controllers->currentText().toUtf8();
    if (const int kind = ui_.kinds->currentData().toInt(); ui_.kinds->currentIndex() > 0 && kind >= 0)
        filter.kind = static_cast<Warden::Business::EventKind>(kind);
    filter.text = ui_.search->text().trimmed().toUtf8();
    filter.hideOwnPolling = ui_.hideOwnPolling->isChecked();
    model_->setFilter(filter);
}

void EventLogTab::showCounts() {
    ui_.counts->setText(QStringLiteral("%1 / %2").arg(model_->shownCount()).arg(model_->storedCount()));
}

// Rows that come or go above the top of a scrolled list move the scroll bar with them: what the user
// reads stays where it is. At the very top, new events are what the user is there to see.
void EventLogTab::rememberTopRow() {
    const int top = ui_.table->verticalScrollBar()->value(); // in rows
    topRow_ = top > 0 ? QPersistentModelIndex(model_->index(top, 0)) : QPersistentModelIndex();
}

void EventLogTab::restoreTopRow() {
    if (!topRow_.isValid())
        return;
    // The view lays its rows out later; the scroll bar's range has to know of the new rows now.
    ui_.table->doItemsLayout();
    ui_.table->verticalScrollBar()->setValue(topRow_.row());
    topRow_ = QPersistentModelIndex();
}
