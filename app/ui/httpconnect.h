#pragma once

#include <QDialog>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QTimer>

#include <memory>

class QNetworkReply;

namespace Ui {
class connectClass;
}

// One GET of "/" with the controller's admin login, to tell the user whether the settings work.
class httpconnect final : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(httpconnect)

public:
    httpconnect(const QString& host, quint16 port, const QString& user, const QString& password,
                QWidget* parent = nullptr);
    ~httpconnect() override;

    QString transcript() const;
    // Tests shorten the wait for a controller that never answers.
    static void setTimeoutMs(int milliseconds);

public slots:
    void handleHttp();
    void requestTimeout();

signals:
    // The request has ended one way or the other (tests wait for it).
    void finished();

private:
    void append(const QString& line);

    std::unique_ptr<Ui::connectClass> ui;
    QString host_;
    quint16 port_ = 80;
    QString user_;
    QString password_;
    QNetworkAccessManager network_;
    QPointer<QNetworkReply> reply_;
    QTimer timeout_;
    bool answered_ = false;
};
