#include "MetricsServer.h"

#include "ConnectionBudget.h"
#include "MetricsExposition.h"
#include "core/ErrorText.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

namespace Warden {

namespace {

using Holder = std::shared_ptr<const QByteArray>;

void releaseHolder(void* holder) {
    delete static_cast<Holder*>(holder);
}

MHD_Result queue(MHD_Connection* connection, unsigned status, const char* text, const char* allow = nullptr) {
    MHD_Response* response =
        MHD_create_response_from_buffer(std::strlen(text), const_cast<char*>(text), MHD_RESPMEM_PERSISTENT);
    if (!response)
        return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain; charset=utf-8");
    if (allow)
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, allow);
    const MHD_Result result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
}

MHD_Result onRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                     const char* /*version*/, const char* /*uploadData*/, size_t* uploadSize,
                     void** /*state*/) {
    // The answer goes on the first call, before any body (nobody should send one) is read.
    *uploadSize = 0;
    return static_cast<MHD_Result>(static_cast<const MetricsServer*>(cls)->answer(connection, url, method));
}

void onCompleted(void* cls, MHD_Connection* connection, void** /*state*/, MHD_RequestTerminationCode) {
    static_cast<ConnectionBudget*>(cls)->answered(connection);
}

QByteArray addressOf(const sockaddr* address) {
    if (address && address->sa_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
        return QByteArray(reinterpret_cast<const char*>(&in), sizeof in);
    }
    if (address && address->sa_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        return QByteArray(reinterpret_cast<const char*>(&in6), sizeof in6);
    }
    return {};
}

void onConnection(void* cls, MHD_Connection* connection, void** /*context*/,
                  MHD_ConnectionNotificationCode code) {
    auto* budget = static_cast<ConnectionBudget*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        // Reported before the library closes the socket, so a cut never reaches a reused descriptor.
        budget->closed(connection);
        return;
    }
    const MHD_ConnectionInfo* fd = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    const MHD_ConnectionInfo* peer = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (fd)
        budget->opened(connection, fd->connect_fd, addressOf(peer ? peer->client_addr : nullptr));
}

} // namespace

std::optional<MetricsServer::Endpoint> MetricsServer::parseEndpoint(const QByteArray& text) {
    const qsizetype colon = text.lastIndexOf(':');
    if (colon <= 0)
        return std::nullopt;
    QByteArray host = text.left(colon);
    const bool bracketed = host.startsWith('[') && host.endsWith(']');
    if (bracketed)
        host = host.mid(1, host.size() - 2);
    else if (host.contains(':'))
        return std::nullopt; // an IPv6 address needs its brackets to be told from the port
    bool ok = false;
    const uint port = text.mid(colon + 1).toUInt(&ok);
    if (!ok || port == 0 || port > 65535)
        return std::nullopt;
    QHostAddress address;
    if (!address.setAddress(QString::fromLatin1(host)) || !address.scopeId().isEmpty())
        return std::nullopt;
    const bool v6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    if (v6 != bracketed)
        return std::nullopt;
    return Endpoint{address, static_cast<quint16>(port)};
}

MetricsServer::MetricsServer() = default;

MetricsServer::~MetricsServer() {
    stop();
}

MetricsServer::Result MetricsServer::start(const Endpoint& endpoint) {
    stop();
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    const sockaddr* address = nullptr;
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL;
    if (endpoint.address.protocol() == QAbstractSocket::IPv4Protocol) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(endpoint.port);
        v4.sin_addr.s_addr = htonl(endpoint.address.toIPv4Address());
        address = reinterpret_cast<const sockaddr*>(&v4);
    } else if (endpoint.address.protocol() == QAbstractSocket::IPv6Protocol) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(endpoint.port);
        const Q_IPV6ADDR bytes = endpoint.address.toIPv6Address();
        std::memcpy(&v6.sin6_addr, bytes.c, sizeof bytes.c);
        address = reinterpret_cast<const sockaddr*>(&v6);
        flags |= MHD_USE_IPv6;
    } else {
        return {false, "not an IP address"};
    }
    budget_ = std::make_unique<ConnectionBudget>(ConnectionBudget::Limits{
        connectionLimit, connectionsPerAddress, std::chrono::seconds(timeoutSeconds)});
    errno = 0;
    // The library's own limit is only the last resort: connections the budget has cut stay with it for
    // a moment until it has noticed, and they must not keep a new scraper out.
    daemon_ = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &onRequest, this, MHD_OPTION_SOCK_ADDR, address,
        MHD_OPTION_CONNECTION_LIMIT, 2 * connectionLimit, MHD_OPTION_CONNECTION_TIMEOUT, timeoutSeconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, headerBytes, MHD_OPTION_NOTIFY_CONNECTION, &onConnection,
        budget_.get(), MHD_OPTION_NOTIFY_COMPLETED, &onCompleted, budget_.get(), MHD_OPTION_END);
    if (!daemon_) {
        const int error = errno;
        budget_.reset();
        return {false, error != 0 ? errorText(error) : QByteArray("the server did not start")};
    }
    return {true, {}};
}

void MetricsServer::stop() {
    if (!daemon_)
        return;
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
    budget_.reset();
}

unsigned MetricsServer::connections() const {
    return budget_ ? budget_->holding() : 0;
}

quint16 MetricsServer::port() const {
    if (!daemon_)
        return 0;
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    return info ? info->port : 0;
}

void MetricsServer::publish(QByteArray exposition) {
    auto next = std::make_shared<const QByteArray>(std::move(exposition));
    const std::lock_guard lock(mutex_);
    exposition_.swap(next);
    // The previous text goes when `next` does, outside the lock, unless a response still holds it.
}

std::shared_ptr<const QByteArray> MetricsServer::latest() const {
    const std::lock_guard lock(mutex_);
    return exposition_;
}

int MetricsServer::answer(MHD_Connection* connection, const char* url, const char* method) const {
    if (budget_)
        budget_->answering(connection);
    if (std::strcmp(url, "/metrics") != 0)
        return queue(connection, MHD_HTTP_NOT_FOUND, "Not found: the metrics are at /metrics\n");
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 && std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
        return queue(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "Only GET and HEAD\n", "GET, HEAD");
    auto* holder = new Holder(latest());
    const QByteArray& text = **holder;
    MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
        static_cast<size_t>(text.size()), const_cast<char*>(text.constData()), &releaseHolder, holder);
    if (!response) {
        delete holder;
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, MetricsExposition::contentType);
    const MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return result;
}

} // namespace Warden
