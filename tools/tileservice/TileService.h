// The local tile service: answers the tile URLs that Quarrow requests with a drawn PNG per tile,
// and can inject faults (error answers, resets, delays) for tests and demonstrations. Its paths,
// pictures and request reading have headers of their own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>

namespace quarrow::tileservice {

class ServedArchives;

struct ServiceOptions {
    std::string Address = "127.0.0.1"; // dotted IPv4
    int Port = 8642;                   // 0: any free port
    // Shares of requests answered with a fault, each in 0..1, together at most 1.
    double Share404 = 0, Share403 = 0, Share302 = 0, Share500 = 0, ShareReset = 0, Share429 = 0;
    int RetryAfterSeconds = 1; // what a 429 answer asks the client to wait
    int DelayMs = 0;           // wait before every answer
    unsigned Seed = 1;
    // A tile answer's "Cache-Control: max-age"; none when negative.
    int MaxAgeSeconds = -1;
    // Every Nth tile of a level (by y * 2^z + x) has a newer picture and validators; 0: none.
    int ChangedEvery = 0;
    // PEM files of a certificate (with its chain) and its key: HTTPS instead of HTTP.
    std::string TlsCert, TlsKey;
    // What is served from disk instead of drawn tiles (ServedArchives.h); none: drawn tiles.
    std::shared_ptr<const ServedArchives> Served;
};

// Why the options cannot be served, or "" when they can.
std::string ValidateOptions(const ServiceOptions& options);

// An HTTP/1.1 server on one IPv4 address. Listens from construction; every connection is served
// on a thread of its own, at most MaxConnections at once (further clients wait in the backlog).
class TileService {
public:
    static constexpr int MaxConnections = 64;
    static constexpr std::size_t MaxRequestHead = 16 * 1024;
    // A connection that sends nothing for this long is closed, so idle clients free their slot.
    static constexpr int IdleTimeoutMs = 60000;

    // Throws std::runtime_error (with the address and the system's reason) when it cannot listen,
    // std::invalid_argument when ValidateOptions rejects the options.
    explicit TileService(ServiceOptions options);
    // Stops accepting, closes every connection and joins every thread.
    ~TileService();
    TileService(const TileService&) = delete;
    TileService& operator=(const TileService&) = delete;

    int Port() const noexcept { return m_port; }
    // The bytes of every answer sent whole so far, heads and bodies.
    std::uint64_t BytesSent() const noexcept { return m_bytesSent; }

private:
    struct Connection;
    enum class Fault { None, Status404, Status403, Status302, Status500, Reset, Status429 };

    void AcceptLoop();
    void Serve(Connection& connection);
    void ReapFinished(std::unique_lock<std::mutex>& lock);
    Fault DrawFault();
    // Waits the configured delay; false when the service stops meanwhile.
    bool Delay();

    const ServiceOptions m_options;
    void* m_tls = nullptr; // SSL_CTX* when the options name a certificate
    int m_listenFd = -1;
    int m_port = 0;
    std::string m_authority; // "address:port", which the served archives' URLs begin with
    std::atomic<bool> m_stopping{false};
    std::atomic<std::uint64_t> m_bytesSent{0};

    std::mutex m_mutex; // guards everything below
    std::condition_variable m_changed;
    std::list<std::unique_ptr<Connection>> m_connections;
    int m_active = 0;
    std::mt19937_64 m_random;

    std::thread m_acceptThread;
};

} // namespace quarrow::tileservice
