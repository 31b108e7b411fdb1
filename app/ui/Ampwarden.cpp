#include "Ampwarden.h"

#include "ui_Ampwarden.h"

#include "Channel.h"
#include "Controller.h"
#include "EMail.h"
#include "EnergyExportDialog.h"
#include "MessageBoxes.h"
#include "Resources.h"
#include "StatusChart.h"
#include "help.h"

#include "config/Settings.h"
#include "config/SettingsRange.h"
#include "core/Alerts.h"
#include "core/Application.h"
#include "core/CheckCycle.h"
#include "core/Clock.h"
#include "core/ClockText.h"
#include "core/DiagnosticLog.h"
#include "core/EventRestore.h"
#include "core/Scheduler.h"
#include "core/StateFile.h"
#include "metrics/MetricsService.h"
#include "query/WebThread.h"
#include "report/AlertMonitor.h"
#include "report/MailQueue.h"
#include "report/Outbox.h"
#include "report/ReportRunner.h"
#include "status/StatusModel.h"
#include "status/StatusSummary.h"
#include "syslog/SyslogReceiver.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QSystemTrayIcon>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <limits>

using Warden::DiagnosticLog;
using Warden::Business::Application;

namespace {

// The Event Log is a glance at the newest events, not an archive: the files under "log" keep them all.
constexpr int shownEvents = 100;

const QString passwordProperty = QStringLiteral("Password");
const QString passwordHeader = QStringLiteral("Password");
const QString tlsHeader = QStringLiteral("Use TLS");

QString text(const QByteArray& bytes) {
    return QString::fromUtf8(bytes);
}

QList<QByteArray> mailAccountTexts(const Warden::Business::MailAccount& account) {
    const auto* server = account.server;
    QByteArray host;
    if (server) {
        host = server->host;
        if (server->port != 0)
            host += ':' + QByteArray::number(server->port);
    }
    return {account.to,
            account.from,
            host,
            server ? server->user : QByteArray(),
            server ? server->password : QByteArray(),
            server && server->useTLS ? QByteArray("1") : QByteArray("0")};
}

} // namespace

Ampwarden::Ampwarden(QWidget* parent, quint16 syslogPort, std::optional<QByteArray> metricsAddress)
    : QDialog(parent)
    , ui(std::make_unique<Ui::AmpwardenClass>())
    , metricsAddress_(std::move(metricsAddress)) {
    initAmpwardenResources();
    setUpWidgets();
    connectWidgets();
    help_ = new help(this);

    instanceServer_ = new QTcpServer(this);
    syslog_ = new Warden::SyslogReceiver(this);
    cycle_ = new Warden::CheckCycle(this);
    webThread_ = new Warden::WebThread(cycle_, this);
    cycle_->setQueryTarget(webThread_);
    mailQueue_ = new Warden::MailQueue(this);
    outbox_ = new Warden::Outbox(*mailQueue_, QString::fromLatin1(Warden::Outbox::defaultDirectory),
                                 Warden::RetrySchedule::forProgram(), this);
    reportRunner_ =
        new Warden::ReportRunner([this](Warden::OutboxMail mail) { outbox_->add(std::move(mail)); }, this);
    cycle_->setReportRun(reportRunner_->reportRun());
    alerts_ =
        new Warden::AlertMonitor([this](Warden::OutboxMail mail) { outbox_->add(std::move(mail)); }, this);
    connect(webThread_, &Warden::WebThread::checked, alerts_, &Warden::AlertMonitor::checked);
    connect(alerts_, &Warden::AlertMonitor::alerted, this, &Ampwarden::notifyAlert);
    metrics_ = new Warden::MetricsService(this);
    metrics_->follow(*webThread_, *mailQueue_, *outbox_);
    Application::setEventListener([this](const Warden::Business::Event& event) {
        alerts_->eventAdded(event);
        metrics_->eventAdded(event);
        if (status_)
            status_->eventAdded(event);
    });
    connectCycle();
    setUpStatus();
    scheduler_ = std::make_unique<Warden::Scheduler>(cycle_);
    startInstanceServer();

    syslog_->bind(syslogPort);

    const QByteArray xmlErrors = Warden::Business::loadSettings();
    if (!xmlErrors.isEmpty())
        DiagnosticLog::writeTimed("Xml errors:\n" + xmlErrors + "\n");
    Warden::Business::restoreAtStart();
    syslog_->resolveHosts();

    fillTable(ui->tableControllers);
    fillTable(ui->tableEmails);
    fillTable(ui->tableEvents); // the events since the last report, brought back
    fillSettings();
    createTrayIcon();
    // ---- alarms: summary, detail line, acknowledgement. Wiring to move into the service: the status
    // model's countsChanged to showAlarmCounts, its dataChanged and the view's current row to
    // showStatusDetail, and the check period (start, Apply) to StatusModel::setStaleAfter.
    setUpAlarmSummary();
    followCheckPeriod();
    // Queued: the failure may come from deep inside storing an event, or from another thread.
    connect(
        &Warden::Alerts::instance(), &Warden::Alerts::raised, this,
        [this](const QString& title, const QString& text) {
            if (isVisible())
                Warden::questionBox(title, text);
        },
        Qt::QueuedConnection);

    // After the settings: the waiting mails need their servers' passwords.
    connect(outbox_, &Warden::Outbox::changed, this, &Ampwarden::showOutbox);
    auto* ageTimer = new QTimer(this);
    connect(ageTimer, &QTimer::timeout, this, &Ampwarden::showOutbox);
    ageTimer->start(60000);
    outbox_->load();
    serveMetrics();

    scheduler_->followReportSettings();
    scheduler_->setFirstReportMoment(Warden::Business::StateFile::lastReportMoment());
    scheduler_->start();
}

Ampwarden::~Ampwarden() {
    Application::setEventListener({});
    // The help window goes first; then the scheduler is joined, so no moment is posted to a
    // half-destroyed window.
    delete help_;
    help_ = nullptr;
    scheduler_.reset();
    // Its server's thread ends before the objects it follows go.
    delete metrics_;
    metrics_ = nullptr;
    delete webThread_;
    webThread_ = nullptr;
    // The reports being composed still reach the outbox.
    cycle_->setReportRun(Warden::CheckCycle::AsyncReportRun());
    delete reportRunner_;
    reportRunner_ = nullptr;
    // The send in progress may finish (up to the queue's limit); the other mails wait on disk.
    delete outbox_;
    outbox_ = nullptr;
    delete mailQueue_;
    mailQueue_ = nullptr;
    delete syslog_;
    syslog_ = nullptr;
    delete instanceServer_;
    instanceServer_ = nullptr;
}

void Ampwarden::setUpWidgets() {
    ui->setupUi(this);
    setWindowTitle(windowTitle() + QStringLiteral(" ver. ") + QString::fromLatin1(version));
    baseTitle_ = windowTitle();
    setWindowFlags(windowFlags() | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint);
    QFont titleFont = ui->label->font();
    titleFont.setFamily(QStringLiteral("Arial"));
    ui->label->setFont(titleFont);
    ui->label_8->hide();
    outboxLabel_ = new QLabel(this);
    outboxLabel_->setObjectName(QStringLiteral("labelOutbox"));
    outboxLabel_->hide();
    ui->bottomBar->insertWidget(1, outboxLabel_);
    for (auto* table : {ui->tableControllers, ui->tableEmails, ui->tableEvents}) {
        table->verticalHeader()->hide();
        table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    }
    ui->tableEmails->setColumnWidth(0, 200);
    ui->tableEmails->setColumnWidth(1, 200);
    ui->tableEmails->setColumnWidth(2, 150);
    ui->tableControllers->setColumnWidth(2, 150);
    // One line per event: the raw text can be long, and a glance down the list is what the page is for.
    ui->tableEvents->setWordWrap(false);
    auto* exportEnergy = new QPushButton(QStringLiteral("Export energy..."), this);
    exportEnergy->setObjectName(QStringLiteral("btnExportEnergy"));
    exportEnergy->setAutoDefault(false);
    ui->applyRow->insertWidget(2, exportEnergy);
    connect(exportEnergy, &QPushButton::clicked, exportEnergy,
            [exportEnergy] { EnergyExportDialog::run(exportEnergy); });
    const int eventWidths[] = {75, 190, 180, 100, 160, 110};
    for (int c = 0; c < 6; ++c)
        ui->tableEvents->setColumnWidth(c, eventWidths[c]);
    // Every unit the settings know, so that a stored unit is always one the box shows.
    for (auto* units : {ui->comboBox, ui->comboBox_2})
        for (const auto& [seconds, name] : Application::unitNames())
            units->addItem(text(name));
}

void Ampwarden::connectWidgets() {
    connect(ui->buttonClose, &QPushButton::clicked, this, &Ampwarden::close);
    connect(ui->buttonStop, &QPushButton::clicked, this, &Ampwarden::exitProgram);
    connect(ui->btnAddController, &QPushButton::clicked, this, &Ampwarden::dlgAddController);
    connect(ui->btnRemoveController, &QPushButton::clicked, this, &Ampwarden::rmvController);
    connect(ui->btnAddEmail, &QPushButton::clicked, this, &Ampwarden::dlgAddEmail);
    connect(ui->btnRemoveEmail, &QPushButton::clicked, this, &Ampwarden::rmvEmail);
    connect(ui->tableEmails, &QTableWidget::cellDoubleClicked, this, &Ampwarden::dlgEmail);
    connect(ui->tableControllers, &QTableWidget::cellDoubleClicked, this, &Ampwarden::dlgController);
    connect(ui->btnCancel, &QPushButton::clicked, this, &Ampwarden::fillSettings);
    connect(ui->btnApply, &QPushButton::clicked, this, &Ampwarden::storeSettings);
    connect(ui->pushButton, &QPushButton::clicked, this, &Ampwarden::showHelp);
}

void Ampwarden::createTrayIcon() {
    // Without a tray the window is reached through a second start, as always.
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    tray_ = new QSystemTrayIcon(windowIcon(), this);
    tray_->setToolTip(baseTitle_);
    auto* menu = new QMenu(this);
    menu->addAction(tr("Show"), this, &Ampwarden::resumeProgram);
    menu->addAction(tr("Stop"), this, &Ampwarden::exitProgram);
    tray_->setContextMenu(menu);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            resumeProgram();
    });
    tray_->show();
}

void Ampwarden::showAlarms() {
    if (!tray_)
        return;
    const QStringList alarms = alerts_->alarms();
    // An acknowledged alarm is still named, but no longer marks the icon.
    QStringList named;
    const QStringList unacknowledged = alerts_->unacknowledged();
    for (const QString& name : alarms)
        named << (unacknowledged.contains(name) ? name : name + QStringLiteral(" (acknowledged)"));
    const QString tip = alarms.isEmpty()
                            ? baseTitle_
                            : baseTitle_ + QStringLiteral("\nAlarm: ") + named.join(QStringLiteral(", "));
    tray_->setToolTip(tip);
    if (unacknowledged.isEmpty()) {
        tray_->setIcon(windowIcon());
        return;
    }
    // The normal icon with a red mark: recognisable as the same program, and plainly not at rest.
    QPixmap pixmap = windowIcon().pixmap(64, 64);
    if (pixmap.isNull()) {
        pixmap = QPixmap(64, 64);
        pixmap.fill(Qt::transparent);
    }
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::red);
    const int size = pixmap.width() / 2;
    painter.drawEllipse(pixmap.width() - size, pixmap.height() - size, size, size);
    painter.end();
    tray_->setIcon(QIcon(pixmap));
}

void Ampwarden::notifyAlert(const QString& subject) {
    showAlarms();
    if (tray_ && QSystemTrayIcon::supportsMessages())
        tray_->showMessage(baseTitle_, subject,
                           alerts_->alarms().isEmpty() ? QSystemTrayIcon::Information
                                                       : QSystemTrayIcon::Warning);
}

void Ampwarden::startInstanceServer() {
    connect(instanceServer_, &QTcpServer::newConnection, this, [this] {
        // The connection itself is the request; drop it unread so connections do not pile up.
        while (instanceServer_->hasPendingConnections())
            instanceServer_->nextPendingConnection()->deleteLater();
        resumeProgram();
    });
    // Loopback only: the wake-up call comes from a second start on this machine, never from the network.
    if (!instanceServer_->listen(QHostAddress::LocalHost, 0))
        DiagnosticLog::writeTimed("listen() error: may be further errors!\n");
}

quint16 Ampwarden::instancePort() const {
    return instanceServer_->serverPort();
}

void Ampwarden::setUpStatus() {
    status_ = new Warden::StatusModel(this);
    connect(webThread_, &Warden::WebThread::checked, status_, &Warden::StatusModel::setOutcome);
    QTableView* table = ui->tableStatus;
    statusOrder_ = new QSortFilterProxyModel(this);
    statusOrder_->setSourceModel(status_);
    statusOrder_->setSortRole(Warden::StatusModel::sortRole);
    statusOrder_->setDynamicSortFilter(true);
    table->setModel(statusOrder_);
    table->setSortingEnabled(true);
    table->sortByColumn(Warden::StatusModel::state, Qt::AscendingOrder);
    table->verticalHeader()->hide();
    // Widths for the widest usual texts, set once: sizing to the contents would measure every row at
    // every change, which a thousand controllers turn into minutes per check.
    using Warden::StatusModel;
    static const char* const widest[] = {"Rack 12 left side", "Kestrel 2 Display", "page unreadable",
                                         "23 h 59 min ago"};
    static const char* const widestOfBus[] = {"10.45 A (under 10.5 A)", "12345.67 W (pf 0.95)", "230.5 V",
                                              "12.345 kWh", "10.5 - 16 A"};
    const QFontMetrics metrics(table->font());
    for (int c = 0; c < StatusModel::columnTotal; ++c) {
        const char* sample = c < StatusModel::firstBus ? widest[c]
                             : c < StatusModel::lastEvent
                                 ? widestOfBus[(c - StatusModel::firstBus) / StatusModel::busCount]
                                 : "login_failure (syslog)";
        table->setColumnWidth(c, std::max(metrics.horizontalAdvance(QLatin1String(sample)) + 12,
                                          table->horizontalHeader()->sectionSizeHint(c)));
    }
    const auto showSelected = [this] { ui->chartStatus->showRow(*status_, selectedStatusRow()); };
    connect(table->selectionModel(), &QItemSelectionModel::currentRowChanged, this, showSelected);
    connect(status_, &QAbstractItemModel::modelReset, this, showSelected);
    showWhereControllersComeFrom();
    // Only a change of the row on show redraws the chart.
    connect(status_, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex& topLeft, const QModelIndex& bottomRight) {
                const int row = ui->chartStatus->shownRow();
                if (row >= topLeft.row() && row <= bottomRight.row() && topLeft.column() == 0)
                    ui->chartStatus->showRow(*status_, row);
            });
    showSelected();
}

int Ampwarden::selectedStatusRow() const {
    const QModelIndex current = ui->tableStatus->currentIndex();
    return current.isValid() ? statusOrder_->mapToSource(current).row() : -1;
}

void Ampwarden::setUpAlarmSummary() {
    alarmSummary_ = new QToolButton(this);
    alarmSummary_->setObjectName(QStringLiteral("buttonAlarmSummary"));
    alarmSummary_->setAutoRaise(true);
    alarmSummary_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    alarmSummary_->setToolTip(QStringLiteral("Show the Status tab"));
    ui->bottomBar->insertWidget(1, alarmSummary_);
    connect(alarmSummary_, &QToolButton::clicked, this,
            [this] { ui->tabWidget_2->setCurrentWidget(ui->tabStatus); });

    statusDetail_ = new QLabel(this);
    statusDetail_->setObjectName(QStringLiteral("labelStatusDetail"));
    statusDetail_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    acknowledge_ = new QPushButton(QStringLiteral("Acknowledge..."), this);
    acknowledge_->setObjectName(QStringLiteral("btnAcknowledge"));
    acknowledge_->setAutoDefault(false);
    acknowledge_->setToolTip(QStringLiteral("Silence the tray mark of this alarm until it changes"));
    auto* detailRow = new QHBoxLayout;
    detailRow->addWidget(statusDetail_, 1);
    detailRow->addWidget(acknowledge_);
    ui->statusLayout->addLayout(detailRow);
    connect(acknowledge_, &QPushButton::clicked, this, &Ampwarden::acknowledgeSelected);

    ui->tableStatus->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->tableStatus, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        if (!acknowledge_->isEnabled())
            return;
        QMenu menu;
        menu.addAction(QStringLiteral("Acknowledge alarm..."), this, &Ampwarden::acknowledgeSelected);
        menu.exec(ui->tableStatus->viewport()->mapToGlobal(at));
    });

    connect(status_, &Warden::StatusModel::countsChanged, this, &Ampwarden::showAlarmCounts);
    connect(status_, &QAbstractItemModel::dataChanged, this, &Ampwarden::showStatusDetail);
    connect(status_, &QAbstractItemModel::modelReset, this, &Ampwarden::showStatusDetail);
    connect(ui->tableStatus->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &Ampwarden::showStatusDetail);
    connect(alerts_, &Warden::AlertMonitor::alerted, this, &Ampwarden::showStatusDetail);
    showAlarmCounts();
    showStatusDetail();
}

void Ampwarden::showAlarmCounts() {
    const Warden::StatusModel::Counts counts = status_->counts();
    const QString line = Warden::StatusSummary::line(counts);
    alarmSummary_->setText(line);
    alarmSummary_->setIcon(Warden::StatusLook::icon(Warden::StatusSummary::worst(counts)));
    alarmSummary_->setVisible(!line.isEmpty());
    const QString title = Warden::StatusSummary::title(counts);
    setWindowTitle(title.isEmpty() ? baseTitle_ : title + QStringLiteral(" - ") + baseTitle_);
}

void Ampwarden::showStatusDetail() {
    const int row = selectedStatusRow();
    const auto* controller = status_->controllerAt(row);
    QString line = status_->detailText(row);
    if (controller && alerts_->isAcknowledged(controller))
        line += QStringLiteral(" (alarm acknowledged)");
    statusDetail_->setText(line);
    acknowledge_->setEnabled(controller && alerts_->inAlarm(controller) &&
                             !alerts_->isAcknowledged(controller));
}

void Ampwarden::acknowledgeSelected() {
    auto* controller = const_cast<Warden::Business::Controller*>(status_->controllerAt(selectedStatusRow()));
    if (!controller || !alerts_->inAlarm(controller))
        return;
    bool ok = false;
    const QString note = QInputDialog::getText(
        this, QStringLiteral("Acknowledge alarm"),
        QStringLiteral("%1: %2\nNote for the daily log (optional):")
            .arg(QString::fromUtf8(controller->name), status_->detailText(selectedStatusRow())),
        QLineEdit::Normal, QString(), &ok);
    // The controller may have gone while the question was open.
    if (!ok || status_->controllerAt(selectedStatusRow()) != controller)
        return;
    if (const auto reason = alerts_->acknowledge(controller, note.toUtf8())) {
        Application::addEvent({}, Warden::Clock::now(), controller, Warden::Business::EventKind::unknown,
                              Warden::Business::Transport::http, *reason, {});
    }
    showAlarms();
    showStatusDetail();
}

void Ampwarden::followCheckPeriod() {
    const Warden::Business::Time period = Application::report.checkPeriod();
    // Without a period nothing is checked on its own, and nothing is late.
    status_->setStaleAfter(period == 0 ? 0 : 2 * period + 60);
}

// A new user's first look at the program: in place of an empty table, where controllers come from.
void Ampwarden::showWhereControllersComeFrom() {
    const auto showEmpty = [this] {
        const bool empty = status_->rowCount() == 0;
        ui->labelStatusEmpty->setVisible(empty);
        ui->splitterStatus->setVisible(!empty);
    };
    connect(status_, &QAbstractItemModel::modelReset, this, showEmpty);
    connect(status_, &QAbstractItemModel::rowsInserted, this, showEmpty);
    connect(status_, &QAbstractItemModel::rowsRemoved, this, showEmpty);
    connect(ui->labelStatusEmpty, &QLabel::linkActivated, this, [this] {
        ui->tabWidget_2->setCurrentWidget(ui->tab_4);
        ui->btnAddController->setFocus();
    });
    showEmpty();
}

void Ampwarden::serveMetrics() {
    metrics_->listen(metricsAddress_.value_or(Application::report.metricsAddress));
}

void Ampwarden::connectCycle() {
    connect(cycle_, &Warden::CheckCycle::queryingStarted, this, &Ampwarden::onQueryingStarted);
    connect(cycle_, &Warden::CheckCycle::queryingFinished, this, &Ampwarden::onQueryingFinished);
}

QString Ampwarden::outboxText(int count, qint64 ageSeconds) {
    if (count <= 0)
        return {};
    const qint64 minutes = std::max<qint64>(ageSeconds, 0) / 60;
    QString age;
    if (minutes < 1)
        age = QStringLiteral("less than a minute");
    else if (minutes < 60)
        age = QStringLiteral("%1 min").arg(minutes);
    else if (minutes < 24 * 60)
        age = QStringLiteral("%1 h %2 min").arg(minutes / 60).arg(minutes % 60);
    else
        age = QStringLiteral("%1 d %2 h").arg(minutes / (24 * 60)).arg(minutes / 60 % 24);
    return QStringLiteral("Report mails waiting: %1 (oldest %2)").arg(count).arg(age);
}

void Ampwarden::showOutbox() {
    const auto oldest = outbox_ ? outbox_->oldestQueued() : std::nullopt;
    const QString text = oldest ? outboxText(outbox_->count(), Warden::Clock::now() - *oldest) : QString();
    outboxLabel_->setText(text);
    outboxLabel_->setVisible(!text.isEmpty());
}

bool Ampwarden::querying() const {
    return cycle_ && cycle_->querying();
}

void Ampwarden::setEditing(bool editing) {
    editing_ = editing;
    if (cycle_)
        cycle_->setEditing(editing);
}

void Ampwarden::onQueryingStarted() {
    ui->btnAddController->setEnabled(false);
    ui->btnRemoveController->setEnabled(false);
    ui->label_8->show();
}

void Ampwarden::onQueryingFinished() {
    ui->label_8->hide();
    ui->btnAddController->setEnabled(true);
    ui->btnRemoveController->setEnabled(true);
    refreshEventLog();
}

void Ampwarden::refreshEventLog() {
    fillTable(ui->tableEvents);
    ui->lineEdit_2->setText(
        QStringLiteral("%1 / %2").arg(ui->tableEvents->rowCount()).arg(Application::getEventCount()));
    Warden::Business::Time lastCheck = 0;
    for (const auto& controller : Application::controllers)
        lastCheck = std::max(lastCheck, controller.lastCheck);
    ui->lineEdit_3->setText(text(Warden::clockText(lastCheck)));
}

void Ampwarden::done(int) {
    hide();
}

void Ampwarden::closeEvent(QCloseEvent* event) {
    event->ignore();
    hide();
}

void Ampwarden::resumeProgram() {
    qDebug("resumeProgram()");
    show();
    raise();
    activateWindow();
}

void Ampwarden::exitProgram() {
    QCoreApplication::exit(0);
}

// ---- tables

QString Ampwarden::headerText(const QTableWidget* table, int column) {
    const auto* item = table->horizontalHeaderItem(column);
    return item ? item->text() : QString();
}

void Ampwarden::fillTable(QTableWidget* table) {
    QList<QList<QByteArray>> rows;
    const QString first = headerText(table, 0);
    if (first == QLatin1String("Name")) {
        for (int i = 0; i < Application::controllerCount(); ++i)
            rows.append(Warden::Business::controllerValues(i).mid(0, 5));
        // Every change of the controllers ends here, and so does the reading of the settings.
        if (status_)
            status_->reload();
    } else if (first == QLatin1String("To")) {
        for (const auto& account : Application::mailAccounts)
            rows.append(mailAccountTexts(account));
    } else if (first == QLatin1String("Message ID")) {
        for (const auto& [key, event] : Application::events.events()) {
            if (rows.size() == shownEvents)
                break;
            rows.append(Application::eventRow(event));
        }
    } else {
        DiagnosticLog::writeTimed("fillTable(): unknown table\n");
        return;
    }

    table->setRowCount(static_cast<int>(rows.size()));
    QStringList passwords = table->property(qPrintable(passwordProperty)).toStringList();
    for (int r = 0; r < rows.size(); ++r) {
        const auto& row = rows[r];
        const int columns = std::min(static_cast<int>(row.size()), table->columnCount());
        for (int c = 0; c < columns; ++c) {
            const QString header = headerText(table, c);
            if (header == tlsHeader) {
                auto* item = new QTableWidgetItem;
                item->setFlags(Qt::ItemIsUserCheckable);
                item->setCheckState(row[c] == "1" ? Qt::Checked : Qt::Unchecked);
                table->setItem(r, c, item);
            } else if (header == passwordHeader) {
                while (passwords.size() < r + 1)
                    passwords.append(QString());
                passwords[r] = text(row[c]);
                table->setItem(r, c, new QTableWidgetItem(QString(passwords[r].size(), QLatin1Char('*'))));
            } else {
                auto* item = table->item(r, c);
                if (!item) {
                    item = new QTableWidgetItem;
                    table->setItem(r, c, item);
                }
                item->setText(text(row[c]));
            }
        }
    }
    table->setProperty(qPrintable(passwordProperty), passwords);
}

QList<QByteArray> Ampwarden::rowTexts(const QTableWidget* table, int row) {
    QList<QByteArray> texts;
    const QStringList passwords = table->property(qPrintable(passwordProperty)).toStringList();
    for (int c = 0; c < table->columnCount(); ++c) {
        const QString header = headerText(table, c);
        const auto* item = table->item(row, c);
        if (header == tlsHeader)
            texts.append(item && item->checkState() == Qt::Checked ? "1" : "0");
        else if (header == passwordHeader)
            texts.append(row >= 0 && row < passwords.size() ? passwords[row].toUtf8() : QByteArray());
        else
            texts.append(item ? item->text().toUtf8() : QByteArray());
    }
    return texts;
}

void Ampwarden::selectComboText(QComboBox* combo, const QString& text) {
    combo->setCurrentIndex(-1);
    const int index = combo->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index >= 0) {
        combo->setCurrentIndex(index);
    } else if (combo->isEditable()) {
        combo->addItem(text);
        combo->setCurrentIndex(combo->count() - 1);
    }
}

// ---- report settings

namespace {

void selectUnit(QComboBox* combo, quint32 unit) {
    const auto& names = Application::unitNames();
    const auto it = names.find(unit);
    Ampwarden::selectComboText(combo, it == names.end() ? QString() : text(it->second));
}

// A stored count past what the box holds (over two thousand million) shows as the box's maximum.
int shownCount(quint32 count) {
    return static_cast<int>(std::min<quint32>(count, std::numeric_limits<int>::max()));
}

QByteArray flag(const QCheckBox* box) {
    return box->isChecked() ? "1" : "0";
}

} // namespace

void Ampwarden::fillSettings() {
    const auto& report = Application::report;
    ui->checkBox->setChecked(report.sendOnLogin);
    ui->checkBox_2->setChecked(report.sendUnderOverCurrent);
    ui->checkBox_3->setChecked(report.sendHistogram);
    ui->checkBox_4->setChecked(report.sendPowerBill);
    ui->checkBox_5->setChecked(report.sendEntireLog);
    ui->spinCheckEveryUnits->setValue(shownCount(report.checkEveryUnits));
    selectUnit(ui->comboBox, report.checkEveryUnit);
    ui->spinReportEveryUnits->setValue(shownCount(report.reportEveryUnits));
    selectUnit(ui->comboBox_2, report.reportEveryUnit);
    ui->lineEdit->setText(text(Warden::formatG(report.kWHPriceUSD)));
    selectComboText(ui->comboBox_3, text(report.currency));
    ui->checkAlertCurrent->setChecked(report.alertCurrent);
    ui->checkAlertNoAnswer->setChecked(report.alertNoAnswer);
    ui->checkAlertLogins->setChecked(report.alertLogins);
    ui->lineMetrics->setText(text(report.metricsAddress));
}

void Ampwarden::tellIfNotSaved(const Warden::Business::SaveResult& result) {
    if (result.saved)
        return;
    Warden::questionBox(QStringLiteral("Settings not saved"),
                        QStringLiteral("%1 could not be written: %2\nThe change holds until Ampwarden ends.")
                            .arg(QString::fromUtf8(Application::configFileName), text(result.reason)));
}

void Ampwarden::storeSettings() {
    if (const auto problem = Warden::Business::SettingsRange::price.problem(ui->lineEdit->text().toUtf8())) {
        Warden::questionBox(QStringLiteral("Cannot apply report settings"), text(*problem));
        return;
    }
    tellIfNotSaved(Warden::Business::storeReportSettings(
        {ui->comboBox->currentText().toUtf8(), QByteArray::number(ui->spinCheckEveryUnits->value()),
         flag(ui->checkBox), flag(ui->checkBox_2), flag(ui->checkBox_3), flag(ui->checkBox_4),
         flag(ui->checkBox_5), ui->comboBox_2->currentText().toUtf8(),
         QByteArray::number(ui->spinReportEveryUnits->value()), ui->lineEdit->text().toUtf8(),
         ui->comboBox_3->currentText().toUtf8(), flag(ui->checkAlertCurrent), flag(ui->checkAlertNoAnswer),
         flag(ui->checkAlertLogins), ui->lineMetrics->text().trimmed().toUtf8()}));
    serveMetrics();
    followCheckPeriod();
}

// ---- dialogs

void Ampwarden::showRefusal() {
    Warden::questionBox(
        QStringLiteral("Cannot add or modify controller now"),
        QStringLiteral("Controllers are queried now by HTTP, so, adding or modifying the controller "
                       "may result in loss of data integrity. Please, wait until \"Querying "
                       "controllers ...\" string"));
}

void Ampwarden::dlgController(int row, int) {
    if (querying()) {
        showRefusal();
        return;
    }
    setEditing(true);
    std::unique_ptr<::Controller> dialog;
    if (row >= 0 && row < ui->tableControllers->rowCount()) {
        const auto values = Warden::Business::controllerValues(row);
        dialog = std::make_unique<::Controller>(nullptr, values.value(1));
        dialog->fill(values);
    } else {
        dialog = std::make_unique<::Controller>(nullptr, QByteArray());
    }
    if (dialog->exec() == QDialog::Accepted) {
        tellIfNotSaved(Warden::Business::storeController(row, dialog->values()));
        syslog_->resolveHosts();
        fillTable(ui->tableControllers);
    }
    setEditing(false);
}

void Ampwarden::dlgAddController() {
    dlgController(ui->tableControllers->rowCount());
}

void Ampwarden::rmvController() {
    if (querying()) {
        showRefusal();
        return;
    }
    setEditing(true);
    if (Warden::questionBox(QStringLiteral("Remove Controller"),
                            QStringLiteral("Are you sure you want to remove controller?"),
                            QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes) {
        alerts_->forget(Application::controllerAt(ui->tableControllers->currentRow()));
        tellIfNotSaved(Warden::Business::removeController(ui->tableControllers->currentRow()));
        syslog_->resolveHosts();
        fillTable(ui->tableControllers);
        showAlarms();
    }
    setEditing(false);
}

void Ampwarden::dlgEmail(int row, int) {
    EMail dialog;
    if (row >= 0 && row < ui->tableEmails->rowCount())
        dialog.fill(rowTexts(ui->tableEmails, row));
    if (dialog.exec() == QDialog::Accepted) {
        tellIfNotSaved(Warden::Business::storeMailAccount(row, dialog.values(), QByteArray()));
        fillTable(ui->tableEmails);
    }
}

void Ampwarden::dlgAddEmail() {
    dlgEmail(ui->tableEmails->rowCount());
}

void Ampwarden::rmvEmail() {
    if (Warden::questionBox(QStringLiteral("Remove EMail"),
                            QStringLiteral("Are you sure you want to remove e-mail?"),
                            QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes) {
        tellIfNotSaved(Warden::Business::removeMailAccount(ui->tableEmails->currentRow()));
        fillTable(ui->tableEmails);
    }
}

void Ampwarden::showHelp() {
    help_->showMaximized();
    help_->raise();
}
