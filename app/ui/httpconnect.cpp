#include "httpconnect.h"

#include "ui_httpconnect.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {

int& timeoutMs() {
    static int ms = 30000;
    return ms;
}

} // namespace

httpconnect::httpconnect(const QString& host, quint16 port, const QString& user, const QString& password,
                         QWidget* parent)
    : QDialog(parent)
    , ui(std::make_unique<Ui::connectClass>())
    , host_(host)
    , port_(port == 0 ? 80 : port)
    , user_(user)
    , password_(password) {
    ui->setupUi(this);
    connect(ui->pushButton, &QPushButton::clicked, this, &httpconnect::close);
    append(QStringLiteral("Connecting to ") + host_ + QLatin1Char(':') + QString::number(port_) +
           QStringLiteral(" as ") + user_);

    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(host_);
    url.setPort(port_);
    url.setPath(QStringLiteral("/"));
    QNetworkRequest request(url);
    // The controller's answer is what the user wants to see, so neither redirects nor a second try
    // with other credentials happen behind the dialog's back.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setRawHeader("Host", (host_ + QLatin1Char(':') + QString::number(port_)).toUtf8());
    request.setRawHeader("Connection", "close");
    request.setRawHeader("Authorization",
                         "Basic " + (user_ + QLatin1Char(':') + password_).toUtf8().toBase64());

    timeout_.setSingleShot(true);
    connect(&timeout_, &QTimer::timeout, this, &httpconnect::requestTimeout);
    reply_ = network_.get(request);
    connect(reply_, &QNetworkReply::metaDataChanged, this, [this] { answered_ = true; });
    connect(reply_, &QNetworkReply::finished, this, &httpconnect::handleHttp);
    timeout_.start(timeoutMs());
}

httpconnect::~httpconnect() {
    if (reply_) {
        disconnect(reply_, nullptr, this, nullptr);
        reply_->abort();
    }
}

void httpconnect::setTimeoutMs(int milliseconds) {
    timeoutMs() = milliseconds;
}

QString httpconnect::transcript() const {
    return ui->textEdit->toPlainText();
}

void httpconnect::append(const QString& line) {
    ui->textEdit->append(line);
}

void httpconnect::handleHttp() {
    timeout_.stop();
    QNetworkReply* reply = reply_;
    if (!reply)
        return;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        append(QStringLiteral("HTTP error: ") + reply->errorString());
    } else if (status.toInt() == 200) {
        append(QStringLiteral("HTTP connection OK: all settings for this controller are valid"));
    } else {
        QString header =
            QStringLiteral("HTTP/1.1 ") + QString::number(status.toInt()) + QLatin1Char(' ') +
            QString::fromLatin1(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray()) +
            QLatin1Char('\n');
        for (const auto& [name, value] : reply->rawHeaderPairs())
            header += QString::fromLatin1(name) + QStringLiteral(": ") + QString::fromLatin1(value) +
                      QLatin1Char('\n');
        append(QStringLiteral("HTTP response error code ") + QString::number(status.toInt()) +
               QStringLiteral(":\n") + header);
    }
    reply->deleteLater();
    reply_ = nullptr;
    emit finished();
}

void httpconnect::requestTimeout() {
    // Only a controller that has not answered at all is unavailable; a slow page is left to finish.
    if (reply_ && !answered_)
        append(QStringLiteral("Timeout: the controller is unavailable"));
}
