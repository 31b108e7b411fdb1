#pragma once

#include <QDialog>
#include <QUrl>

#include <memory>

namespace Ui {
class helpClass;
}

// The built-in user's guide. Created once with the main window; closing it only hides it, so the page
// and its history stay for the next Help.
class help final : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(help)

public:
    static constexpr const char* startPage = "qrc:/new/prefix1/help.html";

    explicit help(QWidget* parent = nullptr);
    ~help() override;

public slots:
    void go(const QUrl& address);
    void goback();
    void progress(int percent);
    void start();
    void finish(bool ok);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::unique_ptr<Ui::helpClass> ui;
};
