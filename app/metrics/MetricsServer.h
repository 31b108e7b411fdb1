#pragma once

#include <QByteArray>
#include <QHostAddress>

#include <memory>
#include <mutex>
#include <optional>

struct MHD_Connection;
struct MHD_Daemon;

namespace Warden {

class ConnectionBudget;

// The HTTP side of the metrics endpoint, on libmicrohttpd's own thread: GET or HEAD /metrics answers
// with the text published last, anything else with 404 or 405. Slow and malformed clients are borne
// there: a bounded header buffer, and a ConnectionBudget that cuts each request 10 s after it began
// and keeps slow clients from taking every connection. The main thread only swaps the published text
// and never waits for a client.
class MetricsServer final {
public:
    static constexpr unsigned connectionLimit = 64;
    // Below the whole: slow clients from a few addresses leave room for everybody else.
    static constexpr unsigned connectionsPerAddress = 8;
    // A request is answered or cut within this, counted from the accept (or from the previous answer
    // on a kept-alive connection); a kept-alive connection idle as long is closed.
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

    MetricsServer();
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

    // Connections held and not cut; 0 when not running.
    unsigned connections() const;

private:
    std::shared_ptr<const QByteArray> latest() const;

    MHD_Daemon* daemon_ = nullptr;
    std::unique_ptr<ConnectionBudget> budget_; // outlives the daemon, which reports to it to the end
    mutable std::mutex mutex_;
    std::shared_ptr<const QByteArray> exposition_ = std::make_shared<const QByteArray>();
};

} // namespace Warden
