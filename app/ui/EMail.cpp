#include "EMail.h"

#include "ui_EMail.h"

#include "MessageBoxes.h"

#include "core/DiagnosticLog.h"
#include "report/QMailer.h"

#include <QApplication>
#include <QEventLoop>
#include <QProgressDialog>
#include <QThread>

namespace {

QString text(const QByteArray& bytes) {
    return QString::fromUtf8(bytes);
}

EMail::MailSend& mailSend() {
    static EMail::MailSend send;
    return send;
}

QByteArray sendWithMailer(const EMail::TestMail& mail);

} // namespace

EMail::EMail(QWidget* parent)
    : QDialog(parent)
    , ui(std::make_unique<Ui::EMailClass>()) {
    ui->setupUi(this);
    // What the mail sender's library takes without a port.
    ui->spinPort->setDefaultHint(QStringLiteral("587"));
    connect(ui->pushButton, &QPushButton::clicked, this, &EMail::accept);
    connect(ui->pushButton_2, &QPushButton::clicked, this, &EMail::reject);
    connect(ui->pushButton_3, &QPushButton::clicked, this, &EMail::sendTestEmail);
}

EMail::~EMail() = default;

void EMail::setMailSend(MailSend send) {
    mailSend() = std::move(send);
}

void EMail::fill(const QList<QByteArray>& texts) {
    ui->lineEdit_6->setText(text(texts.value(0)));
    ui->lineEdit_7->setText(text(texts.value(1)));
    const QString hostPort = text(texts.value(2));
    const auto colon = hostPort.indexOf(QLatin1Char(':'));
    ui->lineEdit_2->setText(colon < 0 ? hostPort : hostPort.left(colon));
    if (colon >= 0)
        ui->spinPort->setPortText(hostPort.mid(colon + 1));
    ui->lineEdit_4->setText(text(texts.value(3)));
    ui->lineEdit_5->setText(text(texts.value(4)));
    ui->checkBox->setChecked(texts.value(5) == "1");
}

QList<QByteArray> EMail::values() const {
    QByteArray host = ui->lineEdit_2->text().toUtf8();
    if (!ui->spinPort->portText().isEmpty())
        host += ':' + ui->spinPort->portText().toUtf8();
    return {ui->lineEdit_6->text().toUtf8(),
            ui->lineEdit_7->text().toUtf8(),
            host,
            ui->lineEdit_4->text().toUtf8(),
            ui->lineEdit_5->text().toUtf8(),
            ui->checkBox->isChecked() ? QByteArray("1") : QByteArray("0")};
}

void EMail::sendTestEmail() {
    TestMail mail;
    mail.to = ui->lineEdit_6->text().toUtf8();
    mail.from = ui->lineEdit_7->text().toUtf8();
    mail.host = ui->lineEdit_2->text().toUtf8();
    mail.port = static_cast<quint16>(ui->spinPort->value());
    mail.user = ui->lineEdit_4->text().toUtf8();
    mail.password = ui->lineEdit_5->text().toUtf8();
    mail.useTLS = ui->checkBox->isChecked();
    mail.subject = "Test email from Ampwarden";
    // One line only: the mail sender sends the text as the body as it stands.
    mail.logOutcome = false;
    mail.body = "If you are reading this email all setting for mail transport agent (MTA) are correct";

    const QByteArray errors = runSend(mail);
    if (!errors.isEmpty()) {
        Warden::messageBox(QMessageBox::Warning, QStringLiteral("Cannot send email to ") + text(mail.to),
                           text(errors));
        Warden::DiagnosticLog::write(errors + '\n');
    } else {
        // An outcome, not a question: the icon says which.
        Warden::messageBox(
            QMessageBox::Information, QStringLiteral("Email was successfully sent to ") + text(mail.to),
            QStringLiteral("Please check the ") + text(mail.to) +
                QStringLiteral(" inbox. If email has been received from ") + text(mail.from) +
                QStringLiteral(", all MTA settings are correct. If email hasn't been received, "
                               "check MTA settings and inbox spam filter settings."));
    }
}

QByteArray EMail::runSend(const TestMail& mail) {
    // A send can take a minute; it runs on a worker while a modal progress box keeps the windows
    // painting and the user from changing the values under it.
    const MailSend send = mailSend() ? mailSend() : MailSend(sendWithMailer);
    QByteArray errors;
    QProgressDialog progress(QStringLiteral("Sending test email to ") + text(mail.to) +
                                 QStringLiteral(" ..."),
                             QString(), 0, 0, this);
    progress.setWindowModality(Qt::ApplicationModal);
    progress.setMinimumDuration(0);
    progress.show();
    QApplication::setOverrideCursor(Qt::BusyCursor);
    QEventLoop loop;
    QThread* worker = QThread::create([&] { errors = send(mail); });
    connect(worker, &QThread::finished, &loop, &QEventLoop::quit);
    worker->start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    worker->wait();
    delete worker;
    QApplication::restoreOverrideCursor();
    return errors;
}

namespace {

QByteArray sendWithMailer(const EMail::TestMail& mail) {
    return Warden::sendEmail(mail).error;
}

} // namespace
