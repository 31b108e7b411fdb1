#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPersistentModelIndex>
#include <QTimer>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QTableView;

namespace Warden {
class EventLogModel;
}

// The Event Log tab's widgets around its model: the filter row drives the model's filter, the header
// its order, and the counter line shows how many events are shown of how many stored. While the user
// looks further down the list, new events on top do not push what is on screen away.
class EventLogTab final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(EventLogTab)

public:
    struct Widgets {
        QTableView* table;
        QComboBox* controllers;
        QComboBox* kinds;
        QLineEdit* search;
        QCheckBox* hideOwnPolling;
        QLineEdit* counts;
    };

    EventLogTab(const Widgets& widgets, Warden::EventLogModel* model, QObject* parent = nullptr);

    // The controllers the filter offers, in the order of the settings. A controller still offered stays
    // chosen; one that went leaves every controller shown.
    void setControllerNames(const QList<QByteArray>& names);
    void showCounts();

private:
    void applyFilter();
    void rememberTopRow();
    void restoreTopRow();

    Widgets ui_;
    Warden::EventLogModel* model_;
    // The event at the top of a scrolled list while the rows change around it.
    QPersistentModelIndex topRow_;
    // Typing waits for a pause before the store is searched again.
    QTimer searchPause_;
};
