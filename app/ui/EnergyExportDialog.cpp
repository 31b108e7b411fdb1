#include "EnergyExportDialog.h"

#include "MessageBoxes.h"

#include "core/Application.h"
#include "core/Clock.h"
#include "energy/EnergyMeter.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QFutureWatcher>
#include <QPushButton>
#include <QSaveFile>
#include <QtConcurrent/QtConcurrentRun>

using namespace Warden::Business;

namespace {

struct SavedExport {
    EnergyExport result;
    QString error; // empty when the file was written
};

SavedExport saveExport(const QString& directory, const QString& path, Time from, Time till, EnergyGrouping by,
                       const QByteArray& controller, Time bridge, bool allPeriods) {
    // Written aside and renamed: a failed export never leaves half a file under the chosen name.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {{}, file.errorString()};
    SavedExport saved{exportEnergy(file, directory, from, till, by, controller, bridge, allPeriods), {}};
    if (!saved.result.unreadableFiles.isEmpty()) {
        file.cancelWriting();
        saved.error =
            QStringLiteral("Daily logs that cannot be read:\n") + saved.result.unreadableFiles.join('\n');
        return saved;
    }
    if (!saved.result.writeError.isEmpty() || !file.commit())
        saved.error = saved.result.writeError.isEmpty() ? file.errorString() : saved.result.writeError;
    return saved;
}

} // namespace

EnergyExportDialog::EnergyExportDialog(const Application& app, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("energyExportDialog"));
    setWindowTitle(QStringLiteral("Export Energy"));
    const QDate today = QDateTime::fromSecsSinceEpoch(Warden::Clock::now()).date();
    from_ = new QDateEdit(QDate(today.year(), today.month(), 1), this);
    till_ = new QDateEdit(today, this);
    grouping_ = new QComboBox(this);
    controller_ = new QComboBox(this);
    from_->setObjectName(QStringLiteral("dateFrom"));
    till_->setObjectName(QStringLiteral("dateTill"));
    grouping_->setObjectName(QStringLiteral("comboGrouping"));
    controller_->setObjectName(QStringLiteral("comboController"));
    allPeriods_ = new QCheckBox(QStringLiteral("Include periods before the first reading"), this);
    allPeriods_->setObjectName(QStringLiteral("checkAllPeriods"));
    for (QDateEdit* edit : {from_, till_}) {
        edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
        edit->setCalendarPopup(true);
    }
    // The last day may be the first one, never before it.
    till_->setMinimumDate(from_->date());
    connect(from_, &QDateEdit::dateChanged, till_, &QDateEdit::setMinimumDate);
    grouping_->addItems({QStringLiteral("Hour"), QStringLiteral("Day"), QStringLiteral("Month")});
    grouping_->setCurrentIndex(1);
    controller_->addItem(QStringLiteral("All controllers"));
    for (const Controller& c : app.controllers)
        controller_->addItem(QString::fromUtf8(c.name));

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* form = new QFormLayout(this);
    form->addRow(QStringLiteral("First day:"), from_);
    form->addRow(QStringLiteral("Last day:"), till_);
    form->addRow(QStringLiteral("Energy per:"), grouping_);
    form->addRow(QStringLiteral("Controller:"), controller_);
    form->addRow(allPeriods_);
    form->addRow(buttons);
}

Time EnergyExportDialog::from() const {
    return parseLocalTime(from_->date().toString(Qt::ISODate), false).value_or(0);
}

Time EnergyExportDialog::till() const {
    return parseLocalTime(till_->date().toString(Qt::ISODate), true).value_or(0);
}

EnergyGrouping EnergyExportDialog::grouping() const {
    const EnergyGrouping groupings[] = {EnergyGrouping::hour, EnergyGrouping::day, EnergyGrouping::month};
    return groupings[std::clamp(grouping_->currentIndex(), 0, 2)];
}

QByteArray EnergyExportDialog::controller() const {
    return controller_->currentIndex() > 0 ? controller_->currentText().toUtf8() : QByteArray();
}

bool EnergyExportDialog::allPeriods() const {
    return allPeriods_->isChecked();
}

void EnergyExportDialog::run(QPushButton* button, const Application& app) {
    EnergyExportDialog dialog(app);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QString path = QFileDialog::getSaveFileName(
        button->window(), QStringLiteral("Export Energy"),
        QStringLiteral("energy-%1.csv").arg(QString::fromLatin1(isoLocalTime(dialog.from()).left(10))),
        QStringLiteral("CSV files (*.csv)"));
    if (path.isEmpty())
        return;

    button->setEnabled(false);
    // A year of minute readings of many controllers takes a while to read: the window goes on meanwhile.
    auto* watcher = new QFutureWatcher<SavedExport>(button);
    connect(watcher, &QFutureWatcher<SavedExport>::finished, button, [watcher, button, path] {
        const SavedExport saved = watcher->result();
        watcher->deleteLater();
        button->setEnabled(true);
        if (!saved.error.isEmpty()) {
            Warden::questionBox(
                QStringLiteral("Energy export"),
                QStringLiteral("The energy was not exported to %1: %2").arg(path, saved.error));
            return;
        }
        QString text = QStringLiteral("The energy was exported to %1.").arg(path);
        if (saved.result.skippedLines > 0)
            text += QStringLiteral(
                        " Lines of the daily logs skipped as no event lines or no possible readings: %1.")
                        .arg(saved.result.skippedLines);
        Warden::questionBox(QStringLiteral("Energy export"), text);
    });
    watcher->setFuture(QtConcurrent::run(&saveExport, QDir::currentPath(), path, dialog.from(), dialog.till(),
                                         dialog.grouping(), dialog.controller(),
                                         EnergyMeter::bridge(app.report.checkPeriod()), dialog.allPeriods()));
}
