// Each fetcher owns its client for its whole life, so kept connections serve tile after tile.
#include "NetworkTileLoader.h"

#include <algorithm>

#include <QImage>

#include "download/httpclient.h"

namespace quarrow::map {

NetworkTileLoader::NetworkTileLoader(UrlOf url, SetUp setUp, std::shared_ptr<DiskTileCache> cache,
                                     std::string cacheKey, Delivery deliver)
    : m_url(std::move(url)), m_setUp(std::move(setUp)), m_cache(std::move(cache)),
      m_cacheKey(std::move(cacheKey)), m_deliver(std::move(deliver)), m_clients(Fetchers, nullptr) {
    for (int i = 0; i < Fetchers; ++i)
        m_threads.emplace_back([this, i](std::stop_token stop) { Run(std::move(stop), i); });
}

NetworkTileLoader::~NetworkTileLoader() {
    {
        const std::scoped_lock lock(m_mutex);
        for (TIdHTTP* client : m_clients)
            if (client)
                client->Cut();
    }
    for (std::jthread& thread : m_threads)
        thread.request_stop();
    m_wake.notify_all();
    m_threads.clear();
}

void NetworkTileLoader::Want(std::vector<TileKey> keys) {
    {
        const std::scoped_lock lock(m_mutex);
        m_queue.clear();
        for (const TileKey& key : keys)
            if (std::find(m_inFlight.begin(), m_inFlight.end(), key) == m_inFlight.end())
                m_queue.push_back(key);
    }
    m_wake.notify_all();
}

void NetworkTileLoader::Run(std::stop_token stop, int fetcher) {
    TIdHTTP client;
    client.Timeout = std::chrono::seconds(20);
    m_setUp(client);
    {
        const std::scoped_lock lock(m_mutex);
        m_clients[static_cast<std::size_t>(fetcher)] = &client;
    }
    for (;;) {
        TileKey key;
        {
            std::unique_lock lock(m_mutex);
            if (!m_wake.wait(lock, stop, [this] { return !m_queue.empty(); }))
                break;
            key = m_queue.front();
            m_queue.pop_front();
            m_inFlight.push_back(key);
        }
        std::optional<std::string> bytes = m_cache->Read(m_cacheKey, key.Z, key.X, key.Y);
        const bool fetched = !bytes;
        if (fetched) {
            std::string body;
            try {
                client.Get(m_url(key.Z, key.X, key.Y), body);
                bytes = std::move(body);
            } catch (const std::exception&) {
            }
        }
        CachedTile tile;
        if (bytes && tile.Image.loadFromData(reinterpret_cast<const uchar*>(bytes->data()),
                                             static_cast<int>(bytes->size()))) {
            tile.State = TileState::Present;
            tile.Image = tile.Image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
            if (fetched)
                m_cache->Write(m_cacheKey, key.Z, key.X, key.Y, *bytes);
        }
        {
            const std::scoped_lock lock(m_mutex);
            std::erase(m_inFlight, key);
        }
        if (!stop.stop_requested())
            m_deliver(key, std::move(tile));
    }
    const std::scoped_lock lock(m_mutex);
    m_clients[static_cast<std::size_t>(fetcher)] = nullptr;
}

} // namespace quarrow::map
