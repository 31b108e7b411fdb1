#include "Channel.h"

#include "ui_Channel.h"

#include "MessageBoxes.h"

#include "config/InputCheck.h"

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
    const auto problem = Warden::Business::channelProblem(values());
    if (!problem) {
        accept();
        return;
    }
    Warden::questionBox(problem->title, problem->text);
    QLineEdit* const fields[] = {ui->lineEdit_2, ui->lineEdit_4, ui->lineEdit_5, ui->lineEdit_3};
    fields[problem->field]->setFocus();
    fields[problem->field]->selectAll();
}
