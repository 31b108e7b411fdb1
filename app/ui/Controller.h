#pragma once

#include <QByteArray>
#include <QDialog>
#include <QList>
#include <QStringList>

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
    // `otherNames`: the names of the other controllers, which this one must not take.
    Controller(QWidget* parent, const QByteArray& modelName, QStringList otherNames = {});
    ~Controller() override;

    // The texts controllerValues gives for a stored controller.
    void fill(const QList<QByteArray>& values);
    // The texts storeController takes: name, model, host, port, admin, password, then per bus its
    // name and three limits.
    QList<QByteArray> values() const;

public slots:
    void channel(int row, int column);
    void changeType(int index);
    // Accepts only a controller the store takes as meant (name, type and host given, a unique name,
    // numeric limits); otherwise says why and stays open on what to correct.
    void tryAccept();
    void ping();
    void connectHost();

private:
    // `field`: index in values().
    void showField(int field);

    std::unique_ptr<Ui::ControllerClass> ui;
    QStringList otherNames_;
    bool editsExisting = false;
};
