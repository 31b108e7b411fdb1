#include "Ampwarden.h"

#include "ui_Ampwarden.h"

#include "Channel.h"
#include "Controller.h"
#include "EMail.h"
#include "EnergyExportDialog.h"
#include "EventLogTab.h"
#include "FrozenColumn.h"
#include "MessageBoxes.h"
#include "Resources.h"
#include "RowKeys.h"
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
#include "energy/EnergyMeter.h"
#include "eventlog/EventLogModel.h"
#include "report/AlertMonitor.h"
#include "report/Outbox.h"
#include "service/Service.h"
#include "status/BusLoad.h"
#include "status/LoadHistory.h"
#include "status/StatusLook.h"
#include "status/StatusModel.h"
#include "status/StatusSummary.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <limits>

using Warden::DiagnosticLog;
using Warden::Business::Application;

namespace {

const QString passwordProperty = QStringLiteral("Password");
const QString passwordHeader = QStringLiteral("Password");
const QString tlsHeader = QStringLiteral("Use TLS");

QString text(const QByteArray& bytes) {
    return QString::fromUtf8(bytes);
}

// The controller's position in the list now, or -1 once it is gone.
int positionOf(const Application& app, Warden::Business::ControllerId id) {
    int position = 0;
    for (const auto& controller : app.controllers) {
        if (controller.id == id)
            return position;
        ++position;
    }
    return -1;
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

Ampwarden::Ampwarden(Warden::Service& service, QWidget* parent)
    : QDialog(parent)
    , ui(std::make_unique<Ui::AmpwardenClass>())
    , service_(service) {
    initAmpwardenResources();
    setUpWidgets();
    connectWidgets();
    help_ = new help(this);
    connectCycle();
    setUpStatus();
    followState();
    // Before any new reading comes: the last week of readings from the daily logs.
    loadChartHistory();

    fillTable(ui->tableControllers);
    fillTable(ui->tableEmails);
    // ---- Event Log wiring: the model watches the store (events brought back included); the window
    // tells it of controller changes (showEventLogControllers, from fillTable).
    setUpEventLog();
    fillSettings();
    // Alarms at a glance: summary, detail line, acknowledgement.
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

    connect(&service_.outbox(), &Warden::Outbox::changed, this, &Ampwarden::showOutbox);
    auto* ageTimer = new QTimer(this);
    connect(ageTimer, &QTimer::timeout, this, &Ampwarden::showOutbox);
    ageTimer->start(60000);
    showOutbox();
}

Ampwarden::~Ampwarden() {
    // A dialog the window opened may still be up (the program ends from a signal): it is not told.
    setEditing(false);
}

// The tables follow the state, whoever changed it.
void Ampwarden::followState() {
    Application& app = service_.app();
    const auto fillControllers = [this] { fillTable(ui->tableControllers); };
    connect(&app, &Application::controllerAdded, this, fillControllers);
    connect(&app, &Application::controllerChanged, this, fillControllers);
    connect(&app, &Application::controllerRemoved, this, fillControllers);
    connect(&app, &Application::mailAccountsChanged, this, [this] { fillTable(ui->tableEmails); });
    connect(&app, &Application::settingsChanged, this, &Ampwarden::followCheckPeriod);
    connect(&app, &Application::controllerAdded, this, &Ampwarden::showEventLogControllers);
    connect(&app, &Application::controllerChanged, this, &Ampwarden::showEventLogControllers);
    connect(&app, &Application::controllerRemoved, this, &Ampwarden::showEventLogControllers);
    // The chart's history keeps the controllers there are, and every reading stored for one of them.
    connect(&app, &Application::controllerAdded, this, &Ampwarden::followChartSources);
    connect(&app, &Application::controllerChanged, this, &Ampwarden::followChartSources);
    connect(&app, &Application::controllerRemoved, this, &Ampwarden::followChartSources);
    connect(&app, &Application::eventAdded, this, [this](const Warden::Business::Event& event) {
        if (event.owner)
            loadHistory_->eventAdded(event.owner, event);
    });
}

Warden::CheckCycle* Ampwarden::cycle() const {
    return &service_.cycle();
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
    for (QTableView* table :
         std::initializer_list<QTableView*>{ui->tableControllers, ui->tableEmails, ui->tableEvents}) {
        table->verticalHeader()->hide();
        table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    }
    ui->tableEmails->setColumnWidth(0, 200);
    ui->tableEmails->setColumnWidth(1, 200);
    ui->tableEmails->setColumnWidth(2, 150);
    ui->tableControllers->setColumnWidth(2, 150);
    auto* exportEnergy = new QPushButton(QStringLiteral("Export energy..."), this);
    exportEnergy->setObjectName(QStringLiteral("btnExportEnergy"));
    exportEnergy->setAutoDefault(false);
    ui->applyRow->insertWidget(2, exportEnergy);
    connect(exportEnergy, &QPushButton::clicked, exportEnergy,
            [this, exportEnergy] { EnergyExportDialog::run(exportEnergy, service_.app()); });
    appliedLabel_ = new QLabel(this);
    appliedLabel_->setObjectName(QStringLiteral("labelApplied"));
    ui->applyRow->insertWidget(3, appliedLabel_);
    // Every unit the settings know, so that a stored unit is always one the box shows.
    for (auto* units : {ui->comboBox, ui->comboBox_2})
        for (const auto& [seconds, name] : Application::unitNames())
            units->addItem(text(name));
}

void Ampwarden::connectWidgets() {
    connect(ui->buttonClose, &QPushButton::clicked, this, &Ampwarden::close);
    connect(ui->buttonStop, &QPushButton::clicked, this, &Ampwarden::confirmStop);
    connect(ui->btnAddController, &QPushButton::clicked, this, &Ampwarden::dlgAddController);
    connect(ui->btnRemoveController, &QPushButton::clicked, this, &Ampwarden::rmvController);
    connect(ui->btnAddEmail, &QPushButton::clicked, this, &Ampwarden::dlgAddEmail);
    connect(ui->btnRemoveEmail, &QPushButton::clicked, this, &Ampwarden::rmvEmail);
    connect(ui->tableEmails, &QTableWidget::cellDoubleClicked, this, &Ampwarden::dlgEmail);
    connect(ui->tableControllers, &QTableWidget::cellDoubleClicked, this, &Ampwarden::dlgController);
    connect(ui->btnCancel, &QPushButton::clicked, this, &Ampwarden::fillSettings);
    connect(ui->btnApply, &QPushButton::clicked, this, &Ampwarden::storeSettings);
    connect(ui->pushButton, &QPushButton::clicked, this, &Ampwarden::showHelp);
    setUpKeyboard();
}

void Ampwarden::setUpKeyboard() {
    auto* controllerKeys = new RowKeys(ui->tableControllers);
    connect(controllerKeys, &RowKeys::openRequested, this, [this](int row) { dlgController(row); });
    connect(controllerKeys, &RowKeys::removeRequested, this, &Ampwarden::rmvController);
    auto* emailKeys = new RowKeys(ui->tableEmails);
    connect(emailKeys, &RowKeys::openRequested, this, [this](int row) { dlgEmail(row); });
    connect(emailKeys, &RowKeys::removeRequested, this, &Ampwarden::rmvEmail);
    auto* help = new QShortcut(QKeySequence::HelpContents, this);
    connect(help, &QShortcut::activated, this, &Ampwarden::showHelp);
}

void Ampwarden::keyPressEvent(QKeyEvent* event) {
    // The dialog's Escape rejects, and rejecting hides the window: without a tray icon only a second
    // start would bring it back. Close and the window's close button still hide it.
    if (event->matches(QKeySequence::Cancel)) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void Ampwarden::setUpStatus() {
    Warden::StatusModel* status = &service_.status();
    loadHistory_ = std::make_unique<Warden::LoadHistory>();
    QTableView* table = ui->tableStatus;
    statusOrder_ = new QSortFilterProxyModel(this);
    statusOrder_->setSourceModel(status);
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
    new FrozenColumn(table);
    ui->chartStatus->setHistory(loadHistory_.get(), [this] {
        return Warden::Business::EnergyMeter::bridge(service_.app().report.checkPeriod());
    });
    const auto showSelected = [this, status] { ui->chartStatus->showRow(*status, selectedStatusRow()); };
    connect(table->selectionModel(), &QItemSelectionModel::currentRowChanged, this, showSelected);
    connect(status, &QAbstractItemModel::modelReset, this, showSelected);
    showWhereControllersComeFrom();
    // Only a change of the row on show redraws the chart.
    connect(status, &QAbstractItemModel::dataChanged, this,
            [this, status](const QModelIndex& topLeft, const QModelIndex& bottomRight) {
                const int row = ui->chartStatus->shownRow();
                if (row >= topLeft.row() && row <= bottomRight.row() && topLeft.column() == 0)
                    ui->chartStatus->showRow(*status, row);
            });
    showSelected();
    ui->splitterStatus->setChildrenCollapsible(false);
    ui->splitterStatus->setStretchFactor(0, 0);
    ui->splitterStatus->setStretchFactor(1, 1);
    // Wide enough for the style's grip to show: plainly something to drag. No style sheet, which would fix
    // the palette of the table and chart under it and leave them light after a change to a dark theme.
    ui->splitterStatus->setHandleWidth(7);
    connect(ui->splitterStatus, &QSplitter::splitterMoved, this, [this] { statusSplitterMoved_ = true; });
    connect(status, &QAbstractItemModel::modelReset, this, &Ampwarden::fitStatusSplitter);
    fitStatusSplitter();
}

void Ampwarden::fitStatusSplitter() {
    if (statusSplitterMoved_)
        return;
    QTableView* table = ui->tableStatus;
    const int rowHeight = table->verticalHeader()->defaultSectionSize();
    const int chrome = table->horizontalHeader()->sizeHint().height() +
                       table->horizontalScrollBar()->sizeHint().height() + 2 * table->frameWidth();
    // Three rows at least, so the table never looks empty; at most about as high as the chart gets.
    const int rows = std::clamp(service_.status().rowCount(), 3, 12);
    const int total = std::max(ui->splitterStatus->height(), 400);
    const int wanted = std::min(chrome + rows * rowHeight, total * 9 / 20);
    ui->splitterStatus->setSizes({wanted, std::max(total - wanted, 220)});
}

void Ampwarden::followChartSources() {
    if (!loadHistory_)
        return;
    std::vector<Warden::LoadHistory::Source> sources;
    for (const auto& controller : service_.app().controllers)
        sources.push_back({controller.id, controller.displayName(), Warden::busCount(controller)});
    loadHistory_->setSources(sources);
}

void Ampwarden::loadChartHistory() {
    followChartSources();
    const auto result = loadHistory_->readLogs(QDir::currentPath(), Warden::Clock::now());
    for (const QString& file : result.unreadableFiles)
        DiagnosticLog::writeTimed("loadChartHistory(): error: " + file.toUtf8() + "\n");
    ui->chartStatus->redraw();
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

    Warden::StatusModel* status = &service_.status();
    connect(status, &Warden::StatusModel::countsChanged, this, &Ampwarden::showAlarmCounts);
    connect(status, &QAbstractItemModel::dataChanged, this, &Ampwarden::showStatusDetail);
    connect(status, &QAbstractItemModel::modelReset, this, &Ampwarden::showStatusDetail);
    connect(ui->tableStatus->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &Ampwarden::showStatusDetail);
    connect(&service_.alerts(), &Warden::AlertMonitor::alerted, this, &Ampwarden::showStatusDetail);
    connect(&service_.alerts(), &Warden::AlertMonitor::acknowledgementsChanged, this,
            &Ampwarden::showStatusDetail);
    showAlarmCounts();
    showStatusDetail();
}

void Ampwarden::showAlarmCounts() {
    const Warden::StatusModel::Counts counts = service_.status().counts();
    const QString line = Warden::StatusSummary::line(counts);
    alarmSummary_->setText(line);
    alarmSummary_->setIcon(Warden::StatusLook::icon(Warden::StatusSummary::worst(counts)));
    alarmSummary_->setVisible(!line.isEmpty());
    const QString title = Warden::StatusSummary::title(counts);
    setWindowTitle(title.isEmpty() ? baseTitle_ : title + QStringLiteral(" - ") + baseTitle_);
}

void Ampwarden::showStatusDetail() {
    const int row = selectedStatusRow();
    const Warden::AlertMonitor& alerts = service_.alerts();
    const auto* controller = service_.status().controllerAt(row);
    const Warden::Business::ControllerId id = controller ? controller->id : 0;
    QString line = service_.status().detailText(row);
    if (id && alerts.isAcknowledged(id))
        line += QStringLiteral(" (alarm acknowledged)");
    statusDetail_->setText(line);
    acknowledge_->setEnabled(id && alerts.inAlarm(id) && !alerts.isAcknowledged(id));
}

void Ampwarden::acknowledgeSelected() {
    Warden::StatusModel& status = service_.status();
    Warden::AlertMonitor& alerts = service_.alerts();
    const auto* controller = status.controllerAt(selectedStatusRow());
    if (!controller || !alerts.inAlarm(controller->id))
        return;
    const Warden::Business::ControllerId id = controller->id;
    bool ok = false;
    const QString note = QInputDialog::getText(
        this, QStringLiteral("Acknowledge alarm"),
        QStringLiteral("%1: %2\nNote for the daily log (optional):")
            .arg(QString::fromUtf8(controller->name), status.detailText(selectedStatusRow())),
        QLineEdit::Normal, QString(), &ok);
    // The controller may have gone while the question was open.
    if (!ok || !service_.app().controller(id))
        return;
    if (const auto reason = alerts.acknowledge(id, note.toUtf8())) {
        service_.app().addEvent({}, Warden::Clock::now(), id, Warden::Business::EventKind::unknown,
                                Warden::Business::Transport::http, *reason, {});
    }
    showStatusDetail();
}

void Ampwarden::followCheckPeriod() {
    const Warden::Business::Time period = service_.app().report.checkPeriod();
    // Without a period nothing is checked on its own, and nothing is late.
    service_.status().setStaleAfter(period == 0 ? 0 : 2 * period + 60);
}

// A new user's first look at the program: in place of an empty table, where controllers come from.
void Ampwarden::showWhereControllersComeFrom() {
    Warden::StatusModel* status = &service_.status();
    const auto showEmpty = [this, status] {
        const bool empty = status->rowCount() == 0;
        ui->labelStatusEmpty->setVisible(empty);
        ui->splitterStatus->setVisible(!empty);
    };
    connect(status, &QAbstractItemModel::modelReset, this, showEmpty);
    connect(status, &QAbstractItemModel::rowsInserted, this, showEmpty);
    connect(status, &QAbstractItemModel::rowsRemoved, this, showEmpty);
    connect(ui->labelStatusEmpty, &QLabel::linkActivated, this, [this] {
        ui->tabWidget_2->setCurrentWidget(ui->tab_4);
        ui->btnAddController->setFocus();
    });
    showEmpty();
}

void Ampwarden::connectCycle() {
    connect(&service_.cycle(), &Warden::CheckCycle::queryingStarted, this, &Ampwarden::onQueryingStarted);
    connect(&service_.cycle(), &Warden::CheckCycle::queryingFinished, this, &Ampwarden::onQueryingFinished);
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
    const Warden::Outbox& outbox = service_.outbox();
    const auto oldest = outbox.oldestQueued();
    const QString text = oldest ? outboxText(outbox.count(), Warden::Clock::now() - *oldest) : QString();
    outboxLabel_->setText(text);
    outboxLabel_->setVisible(!text.isEmpty());
}

void Ampwarden::setEditing(bool editing) {
    editing_ = editing;
    service_.cycle().setEditing(editing);
}

// Controllers may be added, edited and removed while a check runs: the check's results go to the
// controllers by their ids.
void Ampwarden::onQueryingStarted() {
    ui->label_8->show();
}

void Ampwarden::onQueryingFinished() {
    ui->label_8->hide();
    refreshEventLog();
}

void Ampwarden::setUpEventLog() {
    const Application& app = service_.app();
    const auto adminOf = [&app](Warden::Business::ControllerId id) {
        const auto* controller = app.controller(id);
        return controller ? controller->admin : QByteArray();
    };
    eventLog_ = new Warden::EventLogModel(
        app.events,
        [&app](const Warden::Business::Event& event) {
            // Named without getControllerName, whose complaint about an event without a controller
            // belongs in the snapshot's rewrite, not in every repaint of the list.
            const auto* owner = app.controller(event.owner);
            return owner ? owner->displayName() : QByteArray("(no controller)");
        },
        Warden::OwnPollingLogins(Warden::OwnPollingLogins::localAddresses(), adminOf), this);
    eventLogTab_ = new EventLogTab({ui->tableEvents, ui->comboEventController, ui->comboEventKind,
                                    ui->lineEventSearch, ui->checkHidePolling, ui->lineEdit_2},
                                   eventLog_, this);
    showEventLogControllers();
}

void Ampwarden::showEventLogControllers() {
    QList<QByteArray> names;
    for (const auto& controller : service_.app().controllers)
        names.append(controller.displayName());
    eventLog_->controllersChanged();
    eventLogTab_->setControllerNames(names);
}

void Ampwarden::refreshEventLog() {
    eventLog_->flush();
    eventLogTab_->showCounts();
    const Application& app = service_.app();
    Warden::Business::Time lastCheck = 0;
    for (const auto& controller : app.controllers)
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

void Ampwarden::confirmStop() {
    if (stopConfirmed())
        exitProgram();
}

bool Ampwarden::stopConfirmed() {
    return Warden::questionBox(
               QStringLiteral("Stop Ampwarden"),
               QStringLiteral("Stop Ampwarden? Controllers will no longer be checked and emails "
                              "will no longer be sent.\nClose only hides the window and keeps "
                              "Ampwarden running."),
               QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel) == QMessageBox::Yes;
}

// ---- tables

QString Ampwarden::headerText(const QTableWidget* table, int column) {
    const auto* item = table->horizontalHeaderItem(column);
    return item ? item->text() : QString();
}

void Ampwarden::fillTable(QTableWidget* table) {
    QList<QList<QByteArray>> rows;
    const QString first = headerText(table, 0);
    Application& app = service_.app();
    if (first == QLatin1String("Name")) {
        for (int i = 0; i < app.controllerCount(); ++i)
            rows.append(Warden::Business::controllerValues(app, i).mid(0, 5));
    } else if (first == QLatin1String("To")) {
        for (const auto& account : app.mailAccounts)
            rows.append(mailAccountTexts(account));
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
    const auto& report = service_.app().report;
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
    showApplied(QString());
}

void Ampwarden::showApplied(const QString& text) {
    appliedLabel_->setText(text);
}

void Ampwarden::tellIfNotSaved(const Warden::Business::SaveResult& result) {
    if (result.saved)
        return;
    Warden::questionBox(QStringLiteral("Settings not saved"),
                        QStringLiteral("%1 could not be written: %2\nThe change holds until Ampwarden ends.")
                            .arg(QString::fromUtf8(service_.app().configFileName), text(result.reason)));
}

void Ampwarden::storeSettings() {
    if (const auto problem = Warden::Business::SettingsRange::price.problem(ui->lineEdit->text().toUtf8())) {
        showApplied(QStringLiteral("Not applied: ") + text(*problem));
        Warden::questionBox(QStringLiteral("Cannot apply report settings"), text(*problem));
        return;
    }
    const Warden::Business::SaveResult saved = Warden::Business::storeReportSettings(
        service_.app(),
        {ui->comboBox->currentText().toUtf8(), QByteArray::number(ui->spinCheckEveryUnits->value()),
         flag(ui->checkBox), flag(ui->checkBox_2), flag(ui->checkBox_3), flag(ui->checkBox_4),
         flag(ui->checkBox_5), ui->comboBox_2->currentText().toUtf8(),
         QByteArray::number(ui->spinReportEveryUnits->value()), ui->lineEdit->text().toUtf8(),
         ui->comboBox_3->currentText().toUtf8(), flag(ui->checkAlertCurrent), flag(ui->checkAlertNoAnswer),
         flag(ui->checkAlertLogins), ui->lineMetrics->text().trimmed().toUtf8()});
    showApplied(saved.saved
                    ? QStringLiteral("Saved ") + text(Warden::clockText(Warden::Clock::now()))
                    : QStringLiteral("Applied until Ampwarden ends, not saved: ") + text(saved.reason));
    tellIfNotSaved(saved);
}

// ---- dialogs

void Ampwarden::dlgController(int row, int) {
    Application& app = service_.app();
    setEditing(true);
    // Every name but the edited record's own: a controller keeps its name when edited.
    const auto* edited = app.controllerAt(row);
    QStringList otherNames;
    for (const auto& controller : app.controllers) {
        if (&controller != edited)
            otherNames << text(controller.name);
    }
    std::unique_ptr<::Controller> dialog;
    // The record the dialog edits, found again by its id when it closes: a check or another change may
    // have moved it meanwhile.
    Warden::Business::ControllerId editedId = 0;
    if (row >= 0 && row < ui->tableControllers->rowCount()) {
        const auto values = Warden::Business::controllerValues(app, row);
        if (edited)
            editedId = edited->id;
        dialog = std::make_unique<::Controller>(nullptr, values.value(1), otherNames);
        dialog->fill(values);
    } else {
        dialog = std::make_unique<::Controller>(nullptr, QByteArray(), otherNames);
    }
    if (dialog->exec() == QDialog::Accepted) {
        const int position = editedId ? positionOf(app, editedId) : -1;
        if (editedId && position < 0)
            DiagnosticLog::writeTimed(
                "dlgController(): the controller was removed while its dialog was open; "
                "the dialog's values are added as a new controller\n");
        tellIfNotSaved(Warden::Business::storeController(app, position, dialog->values()));
    }
    setEditing(false);
}

void Ampwarden::dlgAddController() {
    dlgController(ui->tableControllers->rowCount());
}

void Ampwarden::rmvController() {
    Application& app = service_.app();
    setEditing(true);
    const auto* selected = app.controllerAt(ui->tableControllers->currentRow());
    const Warden::Business::ControllerId removedId = selected ? selected->id : 0;
    if (Warden::questionBox(QStringLiteral("Remove Controller"),
                            QStringLiteral("Are you sure you want to remove controller?"),
                            QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes) {
        const int position = positionOf(app, removedId);
        if (position >= 0)
            tellIfNotSaved(Warden::Business::removeController(app, position));
    }
    setEditing(false);
}

void Ampwarden::dlgEmail(int row, int) {
    EMail dialog;
    if (row >= 0 && row < ui->tableEmails->rowCount())
        dialog.fill(rowTexts(ui->tableEmails, row));
    if (dialog.exec() == QDialog::Accepted) {
        tellIfNotSaved(
            Warden::Business::storeMailAccount(service_.app(), row, dialog.values(), QByteArray()));
    }
}

void Ampwarden::dlgAddEmail() {
    dlgEmail(ui->tableEmails->rowCount());
}

void Ampwarden::rmvEmail() {
    if (Warden::questionBox(QStringLiteral("Remove EMail"),
                            QStringLiteral("Are you sure you want to remove e-mail?"),
                            QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes) {
        tellIfNotSaved(Warden::Business::removeMailAccount(service_.app(), ui->tableEmails->currentRow()));
    }
}

void Ampwarden::showHelp() {
    help_->showMaximized();
    help_->raise();
}
