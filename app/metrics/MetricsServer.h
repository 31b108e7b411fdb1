#pragma once

#include <QByteArray>
#include <QHostAddress>

#include <memory>
#include <mutex>
#include <optional>

struct MHD_Connection;
struct MHD_Daemon;

namespace Warden {

// The HTTP side of the metrics endpoint, on libmicrohttpd's own thread: GET or HEAD /metrics answers
// with the text published last, anything else with 404 or 405. Slow and malformed clients are the
// library's to bear (connection limits, a timeout, a bounded header buffer); the main thread only
// swaps the published text and never waits for a client.
class MetricsServer final {
public:
    static constexpr unsigned connectionLimit = 64;
    static constexpr unsigned connectionsPerAddress = 16;
    static constexpr unsigned timeoutSeconds = 10;
    static constexpr std::size_t headerBytes = 32 * 1024;

    struct Endpoint {
        QHostAddress address;
        quint16 port = 0;
    };
    // "ADDRESS:PORT" with a numeric IPv4 address or a bracketed IPv6 one ("[::1]:9647"); the port
    // from 1 to 65535.
    static std::optional<Endpoint> parseEndpoint(const QByteArray& text);

    struct Result {
        bool ok = false;
        QByteArray reason; // why not, when not
    };

    MetricsServer() = default;
    ~MetricsServer();
    Q_DISABLE_COPY_MOVE(MetricsServer)

    // Listens at `endpoint` (port 0: the system picks one), after stopping what ran before.
    Result start(const Endpoint& endpoint);
    void stop();
    bool running() const { return daemon_ != nullptr; }
    // The port listened on, 0 when not running.
    quint16 port() const;

    // The text the next scrapes get. Any thread; never waits for a client.
    void publish(QByteArray exposition);

    // One request, on the library's thread: queues the answer and returns the library's MHD_Result.
    int answer(MHD_Connection* connection, const char* url, const char* method) const;

private:
    std::shared_ptr<const QByteArray> latest() const;

    MHD_Daemon* daemon_ = nullptr;
    mutable std::mutex mutex_;
    std::shared_ptr<const QByteArray> exposition_ = std::make_shared<const QByteArray>();
};

} // namespace Warden
