#pragma once

#include <QDialog>
#include <QProcess>

#include <memory>

namespace Ui {
class pingClass;
}

// Runs the system's ping against a host and shows its output as it arrives.
class ping final : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ping)

public:
    ping(const QString& host, QWidget* parent = nullptr);
    ~ping() override;

    // Tests run a stand-in program instead of the system's ping.
    static void setProgram(const QString& program);

public slots:
    void readProcess();
    void finishProcess(int exitCode, QProcess::ExitStatus exitStatus);

private:
    std::unique_ptr<Ui::pingClass> ui;
    QProcess process_;
};
