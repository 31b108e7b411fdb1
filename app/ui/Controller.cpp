#include "Controller.h"

#include "ui_Controller.h"

#include "Channel.h"
#include "MessageBoxes.h"
#include "httpconnect.h"
#include "ping.h"

#include "RowKeys.h"

#include "config/InputCheck.h"

#include <QHeaderView>

#include <algorithm>

namespace {

QString text(const QByteArray& bytes) {
    return QString::fromUtf8(bytes);
}

QString cellText(const QTableWidget* table, int row, int column) {
    const auto* item = table->item(row, column);
    return item ? item->text() : QString();
}

QString rowHeaderText(const QTableWidget* table, int row) {
    const auto* item = table->verticalHeaderItem(row);
    return item ? item->text() : QString();
}

// A bus whose load nobody has measured: its power is the volts times the amperes.
const QString defaultPowerFactor = QStringLiteral("1");

void givePowerFactor(QTableWidget* table, int row) {
    if (!table->item(row, 2))
        table->setItem(row, 2, new QTableWidgetItem(defaultPowerFactor));
}

} // namespace

Controller::Controller(QWidget* parent, const QByteArray& modelName, QStringList otherNames)
    : QDialog(parent)
    , ui(std::make_unique<Ui::ControllerClass>())
    , otherNames_(std::move(otherNames)) {
    ui->setupUi(this);
    ui->spinPort->setDefaultHint(QStringLiteral("80"));
    ui->tableWidget->setColumnWidth(0, 150);
    ui->tableWidget->setColumnWidth(1, 150);
    ui->tableWidget->horizontalHeader()->setStretchLastSection(true);
    connect(ui->pushButton, &QPushButton::clicked, this, &Controller::tryAccept);
    connect(ui->pushButton_2, &QPushButton::clicked, this, &Controller::reject);
    connect(ui->pushButton_3, &QPushButton::clicked, this, &Controller::ping);
    connect(ui->pushButton_4, &QPushButton::clicked, this, &Controller::connectHost);
    connect(ui->tableWidget, &QTableWidget::cellDoubleClicked, this, &Controller::channel);
    connect(new RowKeys(ui->tableWidget), &RowKeys::openRequested, this,
            [this](int row) { channel(row, 0); });
    connect(ui->cbControllerTypes, &QComboBox::currentIndexChanged, this, &Controller::changeType);

    ui->cbControllerTypes->setCurrentIndex(-1);
    ui->cbControllerTypes->setCurrentIndex(
        ui->cbControllerTypes->findText(text(modelName), Qt::MatchExactly | Qt::MatchCaseSensitive));
}

Controller::~Controller() = default;

void Controller::changeType(int index) {
    auto* table = ui->tableWidget;
    if (index < 0 || index >= ui->cbControllerTypes->count())
        return;
    if (ui->cbControllerTypes->itemText(index).startsWith(QLatin1String("Kestrel"))) {
        if (table->rowCount() >= 2)
            return;
        table->setRowCount(2);
        table->setVerticalHeaderItem(0, new QTableWidgetItem(QStringLiteral("A")));
        table->setVerticalHeaderItem(1, new QTableWidgetItem(QStringLiteral("B")));
        table->verticalHeader()->show();
        givePowerFactor(table, 0);
        // Bus B starts with bus A's limits: both buses usually feed the same kind of load.
        for (int c = 0; c < table->columnCount(); ++c) {
            if (const auto* item = table->item(0, c))
                table->setItem(1, c, item->clone());
        }
    } else {
        table->setRowCount(1);
        table->setVerticalHeaderItem(0, new QTableWidgetItem(QString()));
        givePowerFactor(table, 0);
    }
}

void Controller::fill(const QList<QByteArray>& values) {
    editsExisting = true;
    const QString hostPort = text(values.value(2));
    const auto colon = hostPort.indexOf(QLatin1Char(':'));
    ui->lineEditControllerName->setText(text(values.value(0)));
    ui->lineEdit_2->setText(colon < 0 ? hostPort : hostPort.left(colon));
    ui->spinPort->setPortText(colon < 0 ? QString() : hostPort.mid(colon + 1));
    ui->lineEdit_4->setText(text(values.value(3)));
    ui->lineEdit_5->setText(text(values.value(4)));

    auto* table = ui->tableWidget;
    const int rows = table->rowCount();
    for (int i = 0; i < rows; ++i) {
        const int base = 5 + 4 * i;
        QString name = rows == 2 ? (i == 0 ? QStringLiteral("A") : QStringLiteral("B")) : QString();
        if (base < values.size())
            name = text(values[base]);
        table->setVerticalHeaderItem(i, new QTableWidgetItem(name));
        for (int c = 0; c < 3; ++c) {
            const int at = base + 1 + c;
            const bool missingFactor = c == 2 && at >= values.size();
            table->setItem(i, c,
                           new QTableWidgetItem(missingFactor ? defaultPowerFactor : text(values.value(at))));
        }
    }
}

QList<QByteArray> Controller::values() const {
    QList<QByteArray> list{ui->lineEditControllerName->text().toUtf8(),
                           ui->cbControllerTypes->currentText().toUtf8(),
                           ui->lineEdit_2->text().toUtf8(),
                           ui->spinPort->portText().toUtf8(),
                           ui->lineEdit_4->text().toUtf8(),
                           ui->lineEdit_5->text().toUtf8()};
    const auto* table = ui->tableWidget;
    for (int r = 0; r < table->rowCount(); ++r) {
        list.append(rowHeaderText(table, r).toUtf8());
        for (int c = 0; c < table->columnCount(); ++c)
            list.append(cellText(table, r, c).toUtf8());
    }
    return list;
}

void Controller::tryAccept() {
    const auto problem = Warden::Business::controllerProblem(values(), otherNames_, !editsExisting);
    if (!problem) {
        accept();
        return;
    }
    Warden::questionBox(problem->title, problem->text);
    showField(problem->field);
}

void Controller::showField(int field) {
    QWidget* const fields[] = {ui->lineEditControllerName, ui->cbControllerTypes, ui->lineEdit_2};
    if (field >= 0 && field < 3) {
        fields[field]->setFocus();
        return;
    }
    // A channel's limit: its cell, ready for Enter to open the channel dialog.
    const int row = (field - 6) / 4;
    ui->tableWidget->setCurrentCell(row, std::clamp((field - 6) % 4 - 1, 0, 2));
    ui->tableWidget->setFocus();
}

void Controller::ping() {
    ::ping dialog(ui->lineEdit_2->text(), nullptr);
    dialog.exec();
}

void Controller::connectHost() {
    httpconnect dialog(ui->lineEdit_2->text(), static_cast<quint16>(ui->spinPort->value()),
                       ui->lineEdit_4->text(), ui->lineEdit_5->text());
    dialog.exec();
}

void Controller::channel(int row, int) {
    const auto* table = ui->tableWidget;
    QList<QByteArray> texts{rowHeaderText(table, row).toUtf8()};
    for (int c = 0; c < 3; ++c)
        texts.append(cellText(table, row, c).toUtf8());
    Channel dialog(nullptr);
    dialog.fill(texts);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const auto result = dialog.values();
    ui->tableWidget->setVerticalHeaderItem(row, new QTableWidgetItem(text(result.value(0))));
    for (int c = 0; c < 3; ++c)
        ui->tableWidget->setItem(row, c, new QTableWidgetItem(text(result.value(c + 1))));
}
