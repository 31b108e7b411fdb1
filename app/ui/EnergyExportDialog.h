#pragma once

#include "energy/EnergyHistory.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QPushButton;

namespace Warden::Business {
class Application;
}

// Asks for the days, the periods and the controller of an energy export from the daily logs.
class EnergyExportDialog final : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(EnergyExportDialog)

public:
    explicit EnergyExportDialog(const Warden::Business::Application& app, QWidget* parent = nullptr);

    // The first chosen day's start and the last one's end.
    Warden::Business::Time from() const;
    Warden::Business::Time till() const;
    Warden::Business::EnergyGrouping grouping() const;
    // Empty for every controller.
    QByteArray controller() const;
    // Also the periods before a bus's first reading.
    bool allPeriods() const;

    // The whole export from the Report tab: this dialog, a file dialog, then the export off the
    // window's thread into the file; `button` stays disabled meanwhile and the outcome shows in a box.
    static void run(QPushButton* button, const Warden::Business::Application& app);

private:
    QDateEdit* from_ = nullptr;
    QDateEdit* till_ = nullptr;
    QComboBox* grouping_ = nullptr;
    QComboBox* controller_ = nullptr;
    QCheckBox* allPeriods_ = nullptr;
};
