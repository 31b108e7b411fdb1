#include "help.h"

#include "ui_help.h"

#include "Resources.h"

#include <QCloseEvent>
#include <QDesktopServices>

help::help(QWidget* parent)
    : QDialog(parent)
    , ui(std::make_unique<Ui::helpClass>()) {
    initAmpwardenResources();
    ui->setupUi(this);
    ui->progressBar->hide();
    ui->webView->setOpenLinks(false);
    ui->webView->setOpenExternalLinks(false);
    connect(ui->webView, &QTextBrowser::anchorClicked, this, &help::go);
    connect(ui->pushButton_2, &QPushButton::clicked, this, &help::goback);
    start();
    ui->webView->setSource(QUrl(QString::fromLatin1(startPage)));
    finish(true);
}

help::~help() = default;

void help::go(const QUrl& address) {
    // The guide view shows our own pages only; everything else belongs in the desktop's browser.
    if (address.scheme() != QLatin1String("qrc") && !address.isRelative()) {
        QDesktopServices::openUrl(address);
        return;
    }
    start();
    ui->webView->setSource(ui->webView->source().resolved(address));
    progress(50);
    finish(true);
}

void help::goback() {
    ui->webView->backward();
    if (!ui->webView->isBackwardAvailable())
        ui->pushButton_2->setEnabled(false);
}

void help::progress(int percent) {
    ui->progressBar->setValue(percent);
}

void help::start() {
    ui->progressBar->setValue(0);
    ui->progressBar->show();
}

void help::finish(bool) {
    ui->progressBar->setValue(100);
    ui->progressBar->hide();
    if (ui->webView->isBackwardAvailable())
        ui->pushButton_2->setEnabled(true);
}

void help::closeEvent(QCloseEvent* event) {
    event->ignore();
    hide();
}
