#include "Channel.h"

#include "ui_Channel.h"

#include "MessageBoxes.h"

#include "config/SettingsRange.h"

Channel::Channel(QWidget* parent)
    : QDialog(parent)
    , ui(std::make_unique<Ui::ChannelClass>()) {
    ui->setupUi(this);
    connect(ui->pushButton, &QPushButton::clicked, this, &Channel::tryAccept);
    connect(ui->pushButton_2, &QPushButton::clicked, this, &Channel::reject);
}

Channel::~Channel() = default;

void Channel::fill(const QList<QByteArray>& texts) {
    ui->lineEdit_2->setText(QString::fromUtf8(texts.value(0)));
    ui->lineEdit_4->setText(QString::fromUtf8(texts.value(1)));
    ui->lineEdit_5->setText(QString::fromUtf8(texts.value(2)));
    ui->lineEdit_3->setText(QString::fromUtf8(texts.value(3)));
}

QList<QByteArray> Channel::values() const {
    return {ui->lineEdit_2->text().toUtf8(), ui->lineEdit_4->text().toUtf8(), ui->lineEdit_5->text().toUtf8(),
            ui->lineEdit_3->text().toUtf8()};
}

void Channel::tryAccept() {
    using Warden::Business::SettingsRange;
    const std::pair<const QLineEdit*, const SettingsRange*> fields[] = {
        {ui->lineEdit_4, &SettingsRange::overcurrent},
        {ui->lineEdit_5, &SettingsRange::undercurrent},
        {ui->lineEdit_3, &SettingsRange::powerFactor}};
    for (const auto& [field, range] : fields) {
        if (const auto problem = range->problem(field->text().toUtf8())) {
            Warden::questionBox(QStringLiteral("Cannot save channel"), QString::fromUtf8(*problem));
            return;
        }
    }
    accept();
}
