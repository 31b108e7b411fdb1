#pragma once

#include <QByteArray>
#include <QDialog>
#include <QList>

#include <functional>
#include <memory>

#include "report/MailQueue.h"

namespace Ui {
class EMailClass;
}

// One report recipient with its outgoing mail server, and the test e-mail that tries those settings.
class EMail final : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(EMail)

public:
    // The same settings a report mail travels with; the test mail's outcome is shown, not logged.
    using TestMail = Warden::MailJob;
    // Sends one message and returns the mail sender's error text (empty: sent). Runs on a worker thread.
    using MailSend = std::function<QByteArray(const TestMail&)>;

    explicit EMail(QWidget* parent = nullptr);
    ~EMail() override;

    // Recipient texts: to, from, host[:port], user, password, "1"/"0" for TLS.
    void fill(const QList<QByteArray>& texts);
    QList<QByteArray> values() const;

    // Tests put a fake mailer here; null restores the real one.
    static void setMailSend(MailSend send);

public slots:
    void sendTestEmail();

private:
    QByteArray runSend(const TestMail& mail);

    std::unique_ptr<Ui::EMailClass> ui;
};
