#pragma once

#include <QByteArray>
#include <QDialog>
#include <QList>

#include <memory>

namespace Ui {
class ChannelClass;
}

// One power bus of the controller dialog: name (fixed by the model), overcurrent, undercurrent and
// power factor, all as texts in the order of a table row.
class Channel final : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Channel)

public:
    explicit Channel(QWidget* parent = nullptr);
    ~Channel() override;

    void fill(const QList<QByteArray>& texts);
    QList<QByteArray> values() const;

public slots:
    // Accepts limits and a power factor the store can take as meant; otherwise says why and stays open
    // on the field to correct.
    void tryAccept();

private:
    std::unique_ptr<Ui::ChannelClass> ui;
};
