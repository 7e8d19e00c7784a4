// The local tile service: answers the tile URLs that Quarrow requests with a drawn PNG per tile,
// and can inject faults (error answers, resets, delays) for tests and demonstrations.
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

enum class MapKind { Normal, Satellite, Terrain };

struct TileRequest {
    MapKind Kind;
    int Z;
    int X;
    int Y;
};

// Deepest zoom level served; 2^22 columns still fit an int with room to spare.
inline constexpr int MaxZoom = 22;

// The tile named by a request target of the form
// /maptiler/v2/maptile/newest/{normal|satellite|terrain}.day/{z}/{x}/{y}/256/png8, also in
// absolute form (http://host:port/...). Numbers are plain decimal digits without leading zeros;
// z lies in 0..MaxZoom and x, y in 0..2^z-1. nullopt for anything else, a query included.
std::optional<TileRequest> ParseTilePath(std::string_view target);

// The map type's name as written in the URL ("normal", "satellite", "terrain").
std::string_view MapKindName(MapKind kind);

// A 256x256 PNG for the tile: the map type's colours, a border and "z/x/y" written on it.
// The same tile always gives the same bytes. Needs a QGuiApplication (fonts); callable from any
// thread, as Qt is only ever used under one lock. Recent tiles are kept in a bounded cache.
std::string RenderTilePng(const TileRequest& tile);

// Draws the tile afresh, past the cache (under the same lock).
std::string DrawTilePng(const TileRequest& tile);

// A request head as the service reads it; the views point into the received bytes.
struct RequestHead {
    std::string_view Method;
    std::string_view Target;
    bool Close = false; // the client asked to close, or speaks HTTP/1.0
    bool HasBody = false;
};

// Drops the blank lines that come before a request line from the front of the received bytes,
// as HTTP asks of servers, and returns the length of the head up to and including the empty line
// that ends it (LF with an optional CR before it), or npos while that line has not come.
std::size_t FindRequestHead(std::string& received);

// Reads a request head; nullopt when it is malformed.
std::optional<RequestHead> ParseRequestHead(std::string_view head);

struct ServiceOptions {
    std::string Address = "127.0.0.1"; // dotted IPv4
    int Port = 8642;                   // 0: any free port
    // Shares of requests answered with a fault, each in 0..1, together at most 1.
    double Share404 = 0, Share403 = 0, Share302 = 0, Share500 = 0, ShareReset = 0;
    int DelayMs = 0; // wait before every answer
    unsigned Seed = 1;
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

private:
    struct Connection;
    enum class Fault { None, Status404, Status403, Status302, Status500, Reset };

    void AcceptLoop();
    void Serve(Connection& connection);
    void ReapFinished(std::unique_lock<std::mutex>& lock);
    Fault DrawFault();
    // Waits the configured delay; false when the service stops meanwhile.
    bool Delay();

    const ServiceOptions m_options;
    int m_listenFd = -1;
    int m_port = 0;
    std::atomic<bool> m_stopping{false};

    std::mutex m_mutex; // guards everything below
    std::condition_variable m_changed;
    std::list<std::unique_ptr<Connection>> m_connections;
    int m_active = 0;
    std::mt19937_64 m_random;

    std::thread m_acceptThread;
};

} // namespace quarrow::tileservice
