#pragma once

#include <QByteArray>
#include <QDialog>
#include <QList>

#include <memory>
#include <optional>

class QComboBox;
class QLabel;
class QPushButton;
class QSortFilterProxyModel;
class QToolButton;
class QSystemTrayIcon;
class QTableWidget;
class QTcpServer;
class help;

namespace Warden {
namespace Business {
struct SaveResult;
}
class AlertMonitor;
class CheckCycle;
class MailQueue;
class MetricsService;
class Outbox;
class ReportRunner;
class WebThread;
class Scheduler;
class StatusModel;
class SyslogReceiver;
} // namespace Warden

namespace Ui {
class AmpwardenClass;
}

// The main window. Closing it only hides it; Stop ends the program. It owns the non-visual parts the
// program runs on: the wake-up server for a second start, and (through their subsystems) the syslog
// socket, the scheduler and the querying object.
class Ampwarden final : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Ampwarden)

public:
    static constexpr const char* version = "1.0";

    // `syslogPort` 0 lets the system pick one (tests that do not need syslog). A `metricsAddress`
    // given (from the command line) serves the metrics there instead of where the settings say.
    explicit Ampwarden(QWidget* parent = nullptr, quint16 syslogPort = 514,
                       std::optional<QByteArray> metricsAddress = std::nullopt);
    ~Ampwarden() override;

    quint16 instancePort() const;

    // The check cycle the window follows (label, buttons, event log) and tells when a controller dialog
    // is open; refusals while querying ask it.
    Warden::CheckCycle* cycle() const { return cycle_; }
    bool querying() const;

    // Refills tableControllers, tableEmails or tableEvents (chosen by the first header) from the state.
    void fillTable(QTableWidget* table);
    // Event Log refresh after a check: the table, "shown / stored" and the latest check time.
    void refreshEventLog();

    static QString headerText(const QTableWidget* table, int column);
    static QList<QByteArray> rowTexts(const QTableWidget* table, int row);
    static void selectComboText(QComboBox* combo, const QString& text);
    // The bottom bar's outbox line: how many report mails wait and how long the oldest has; empty
    // when none waits.
    static QString outboxText(int count, qint64 ageSeconds);

public slots:
    void done(int result) override;
    void resumeProgram();
    void exitProgram();
    void dlgEmail(int row, int column = 0);
    void dlgAddEmail();
    void dlgController(int row, int column = 0);
    void dlgAddController();
    void rmvController();
    void rmvEmail();
    void fillSettings();
    void storeSettings();
    void showHelp();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void setUpWidgets();
    void connectWidgets();
    void createTrayIcon();
    void startInstanceServer();
    void connectCycle();
    void setUpStatus();
    void showWhereControllersComeFrom();
    void setEditing(bool editing);
    void onQueryingStarted();
    void onQueryingFinished();
    void showRefusal();
    // A change the settings file did not take: the user hears of it at once.
    void tellIfNotSaved(const Warden::Business::SaveResult& result);
    void showOutbox();
    // The tray icon and tooltip follow the alarms; a notification tells each alert where the desktop
    // can show one.
    void showAlarms();
    void notifyAlert(const QString& subject);
    void serveMetrics();
    // Alarms at a glance from every tab: the title and the bottom bar's summary, the detail line under
    // the Status table and the acknowledgement of an alarm.
    void setUpAlarmSummary();
    void showAlarmCounts();
    void showStatusDetail();
    void acknowledgeSelected();
    // The Status row in view's current index, as a row of the model; -1 for none.
    int selectedStatusRow() const;
    // Rows count as stale past two check periods and a minute: a check that runs long is no alarm.
    void followCheckPeriod();

    std::unique_ptr<Ui::AmpwardenClass> ui;
    QTcpServer* instanceServer_ = nullptr;
    help* help_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    Warden::SyslogReceiver* syslog_ = nullptr;
    // Receives the scheduler's moments; the querying object is its query target
    // (cycle_->setQueryTarget) and the report sender its report run (cycle_->setReportRun).
    Warden::CheckCycle* cycle_ = nullptr;
    std::unique_ptr<Warden::Scheduler> scheduler_;
    Warden::WebThread* webThread_ = nullptr;
    // The Status tab's rows; follows the querying object and the event store.
    Warden::StatusModel* status_ = nullptr;
    // Sends the report mails one after another off the user-interface thread.
    Warden::MailQueue* mailQueue_ = nullptr;
    // Keeps every report mail on disk until its server has taken it; feeds the queue.
    Warden::Outbox* outbox_ = nullptr;
    // Composes the reports on a pool of threads and hands their mails to the outbox.
    Warden::ReportRunner* reportRunner_ = nullptr;
    QLabel* outboxLabel_ = nullptr;
    Warden::AlertMonitor* alerts_ = nullptr;
    // Worst first, or as the user clicked the headers.
    QSortFilterProxyModel* statusOrder_ = nullptr;
    QToolButton* alarmSummary_ = nullptr;
    QLabel* statusDetail_ = nullptr;
    QPushButton* acknowledge_ = nullptr;
    // The title without the alarm summary in front.
    QString baseTitle_;
    Warden::MetricsService* metrics_ = nullptr;
    std::optional<QByteArray> metricsAddress_;
    bool editing_ = false;
};
