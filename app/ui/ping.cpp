#include "ping.h"

#include "ui_ping.h"

namespace {

QString& pingProgram() {
    static QString program = QStringLiteral("ping");
    return program;
}

} // namespace

ping::ping(const QString& host, QWidget* parent)
    : QDialog(parent)
    , ui(std::make_unique<Ui::pingClass>()) {
    ui->setupUi(this);
    connect(ui->pushButton, &QPushButton::clicked, this, &ping::close);
    connect(&process_, &QProcess::readyRead, this, &ping::readProcess);
    connect(&process_, &QProcess::finished, this, &ping::finishProcess);
    ui->textEdit->append(QStringLiteral(">ping ") + host + QStringLiteral(" ...\n"));
    // Linux's ping counts echo requests with -c. The host comes after "--": a name typed as "-f" or
    // "-I eth0" must be pinged (and fail), never taken for an option.
    process_.start(pingProgram(), {QStringLiteral("-c"), QStringLiteral("4"), QStringLiteral("--"), host},
                   QIODevice::ReadWrite);
}

ping::~ping() {
    // Do not leave a ping running after the window has gone, nor wait for its remaining echoes.
    disconnect(&process_, nullptr, this, nullptr);
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(3000);
    }
}

void ping::setProgram(const QString& program) {
    pingProgram() = program;
}

void ping::readProcess() {
    for (;;) {
        const QByteArray piece = process_.read(256);
        if (piece.isEmpty())
            break;
        ui->textEdit->setPlainText(ui->textEdit->toPlainText() + QString::fromLocal8Bit(piece));
    }
}

void ping::finishProcess(int, QProcess::ExitStatus) {
    ui->textEdit->append(QStringLiteral("--------------- ping finished\n"));
}
