// Fetches the tiles that a map wants from a tile service through the disk cache, at most two
// requests at a time, newest wishes first: what scrolled out of sight before its turn is never
// fetched.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DiskTileCache.h"
#include "TileCache.h"

namespace quarrow {
class TIdHTTP;
}

namespace quarrow::map {

class NetworkTileLoader {
public:
    // Where a tile is, and how a client is set up for the source (its User-Agent, TLS, ...).
    using UrlOf = std::function<std::string(int z, int x, int y)>;
    using SetUp = std::function<void(TIdHTTP& client)>;
    // Called on a loader thread with each tile fetched or read; a tile that fails is Missing.
    using Delivery = std::function<void(const TileKey&, CachedTile)>;

    static constexpr int Fetchers = 2;

    NetworkTileLoader(UrlOf url, SetUp setUp, std::shared_ptr<DiskTileCache> cache,
                      std::string cacheKey, Delivery deliver);
    // Cuts the requests in flight and joins.
    ~NetworkTileLoader();
    NetworkTileLoader(const NetworkTileLoader&) = delete;
    NetworkTileLoader& operator=(const NetworkTileLoader&) = delete;

    // Replaces whatever is still waiting with these tiles, fetched in this order.
    void Want(std::vector<TileKey> keys);

private:
    void Run(std::stop_token stop, int fetcher);

    UrlOf m_url;
    SetUp m_setUp;
    std::shared_ptr<DiskTileCache> m_cache;
    std::string m_cacheKey;
    Delivery m_deliver;
    std::mutex m_mutex;
    std::condition_variable_any m_wake;
    std::deque<TileKey> m_queue;
    std::vector<TileKey> m_inFlight;
    std::vector<TIdHTTP*> m_clients;     // the fetchers' own, to cut them when leaving
    std::vector<std::jthread> m_threads; // last: they stop and join before what they use goes
};

} // namespace quarrow::map
