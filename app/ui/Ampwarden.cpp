#include "Ampwarden.h"

#include "ui_Ampwarden.h"

#include "config/Settings.h"
#include "core/CheckCycle.h"
#include "core/DiagnosticLog.h"
#include "core/Scheduler.h"
#include "syslog/SyslogReceiver.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

using Warden::DiagnosticLog;

Ampwarden::Ampwarden(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::AmpwardenClass>()) {
    ui->setupUi(this);
    setWindowTitle(windowTitle() + QStringLiteral(" ver. ") + QString::fromLatin1(version));
    setWindowFlags(windowFlags() | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint);
    ui->label_8->hide();
    connect(ui->buttonClose, &QPushButton::clicked, this, &Ampwarden::reject);
    connect(ui->buttonStop, &QPushButton::clicked, this, &Ampwarden::exitProgram);

    instanceServer_ = new QTcpServer(this);
    syslog_ = new Warden::SyslogReceiver(this);
    cycle_ = new Warden::CheckCycle(this);
    scheduler_ = std::make_unique<Warden::Scheduler>(cycle_);
    startInstanceServer();

    connect(syslog_->socket(), &QUdpSocket::readyRead, this, &Ampwarden::syslogMessage);
    syslog_->bind(Warden::SyslogReceiver::defaultPort);

    const QByteArray xmlErrors = Warden::Business::loadSettings();
    if (!xmlErrors.isEmpty())
        DiagnosticLog::writeTimed("Xml errors:\n" + xmlErrors + "\n");

    scheduler_->followReportSettings();
    scheduler_->start();
}

Ampwarden::~Ampwarden() {
    // The scheduler goes first and is joined, so no moment is posted to a half-destroyed window.
    scheduler_.reset();
    delete syslog_;
    syslog_ = nullptr;
    delete instanceServer_;
    instanceServer_ = nullptr;
}

void Ampwarden::syslogMessage() { syslog_->syslogMessage(); }

void Ampwarden::startInstanceServer() {
    connect(instanceServer_, &QTcpServer::newConnection, this, &Ampwarden::resumeProgram);
    // Loopback only: the wake-up call comes from a second start on this machine, never from the network.
    if (!instanceServer_->listen(QHostAddress::LocalHost, 0))
        DiagnosticLog::writeTimed("listen() error: may be further errors!\n");
}

quint16 Ampwarden::instancePort() const { return instanceServer_->serverPort(); }

void Ampwarden::done(int) { hide(); }

void Ampwarden::closeEvent(QCloseEvent* event) {
    event->ignore();
    hide();
}

void Ampwarden::resumeProgram() {
    // The connection itself is the request; drop it unread so connections do not pile up.
    while (instanceServer_->hasPendingConnections())
        instanceServer_->nextPendingConnection()->deleteLater();
    qDebug("resumeProgram()");
    show();
    raise();
    activateWindow();
}

void Ampwarden::exitProgram() { QCoreApplication::exit(0); }
