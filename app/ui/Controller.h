#pragma once

#include <QByteArray>
#include <QDialog>
#include <QList>

#include <memory>

namespace Ui {
class ControllerClass;
}

// Edits one controller's settings as texts; the main window hands the accepted values to the store.
// Kept outside Warden::Business, whose Controller is the stored record.
class Controller final : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Controller)

public:
    Controller(QWidget* parent, const QByteArray& modelName);
    ~Controller() override;

    // The names of the controllers there are: a new one may not take one of them.
    void setTakenNames(QList<QByteArray> names) { takenNames_ = std::move(names); }

    // The texts controllerValues gives for a stored controller.
    void fill(const QList<QByteArray>& values);
    // The texts storeController takes: name, model, host, port, admin, password, then per bus its
    // name and three limits.
    QList<QByteArray> values() const;

public slots:
    void channel(int row, int column);
    void changeType(int index);
    void tryAccept();
    void ping();
    void connectHost();

private:
    QList<QByteArray> takenNames_;
    std::unique_ptr<Ui::ControllerClass> ui;
    bool editsExisting = false;
};
