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
class QTableWidget;
class EventLogTab;
class help;

namespace Warden {
namespace Business {
struct SaveResult;
}
class CheckCycle;
class EventLogModel;
class LoadHistory;
class Service;
} // namespace Warden

namespace Ui {
class AmpwardenClass;
}

// The main window: a view on the running service, and the place to change its settings. Closing it
// only hides it; Stop ends the program. The service runs the same without it.
class Ampwarden final : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Ampwarden)

public:
    static constexpr const char* version = "1.0";

    explicit Ampwarden(Warden::Service& service, QWidget* parent = nullptr);
    ~Ampwarden() override;

    // The check cycle the window follows (label, event log) and tells when a controller dialog is open.
    Warden::CheckCycle* cycle() const;

    // Refills tableControllers or tableEmails (chosen by the first header) from the state.
    void fillTable(QTableWidget* table);
    // Event Log refresh after a check: the events gathered so far, "shown / stored" and the latest
    // check time.
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
    // Ends the program at once: what a termination signal asks for.
    void exitProgram();
    // Stop from the window or the tray: asks first, Cancel being the default, so that a slip of the
    // hand does not end the monitoring.
    void confirmStop();
    // The question itself, for the tray's Stop, which works without a window.
    static bool stopConfirmed();
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
    void keyPressEvent(QKeyEvent* event) override;

private:
    void setUpWidgets();
    // Enter/F2 and Delete on the Setup tab's tables, F1 for the help.
    void setUpKeyboard();
    // The Report tab's line under Apply: saved, or why not.
    void showApplied(const QString& text);
    void connectWidgets();
    void connectCycle();
    void followState();
    void setUpStatus();
    // The Status tab's layout: the table as high as its rows need (within bounds) until the user moves
    // the splitter's handle; the chart takes the rest and what the window grows by.
    void fitStatusSplitter();
    // The chart's history: the controllers it keeps, and at start the last week from the daily logs.
    void followChartSources();
    void loadChartHistory();
    void setUpEventLog();
    void showEventLogControllers();
    void showWhereControllersComeFrom();
    void setEditing(bool editing);
    void onQueryingStarted();
    void onQueryingFinished();
    // A change the settings file did not take: the user hears of it at once.
    void tellIfNotSaved(const Warden::Business::SaveResult& result);
    void showOutbox();
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
    Warden::Service& service_;
    help* help_ = nullptr;
    // The bus currents behind the Status tab's chart.
    std::unique_ptr<Warden::LoadHistory> loadHistory_;
    bool statusSplitterMoved_ = false;
    // The Event Log tab: every stored event, filtered and sorted; it watches the event store itself.
    Warden::EventLogModel* eventLog_ = nullptr;
    EventLogTab* eventLogTab_ = nullptr;
    QLabel* outboxLabel_ = nullptr;
    QLabel* appliedLabel_ = nullptr;
    // Worst first, or as the user clicked the headers.
    QSortFilterProxyModel* statusOrder_ = nullptr;
    QToolButton* alarmSummary_ = nullptr;
    QLabel* statusDetail_ = nullptr;
    QPushButton* acknowledge_ = nullptr;
    // The title without the alarm summary in front.
    QString baseTitle_;
    bool editing_ = false;
};
