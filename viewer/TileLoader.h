// Reads and decodes the tiles that the window asks for, on a thread of its own, newest wishes
// first: what scrolled out of sight before its turn is never read. Each tile read carries its
// fetch time, for the tile age view.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ViewerTask.h"
#include "mapview/TileCache.h"

namespace quarrow::viewer {

// A tile's image at the key's size: Present and Blank tiles carry it (a Present tile that does
// not decode carries none).
CachedTile LoadTile(const ViewerTask& task, const std::string& blank, const TileKey& key);

class TileLoader {
public:
    // Called on the loader's thread with each tile read.
    using Delivery = std::function<void(const TileKey&, CachedTile)>;

    TileLoader(std::shared_ptr<const ViewerTask> task, std::string blank, Delivery deliver);
    // Stops after the tile in hand and joins.
    ~TileLoader();
    TileLoader(const TileLoader&) = delete;
    TileLoader& operator=(const TileLoader&) = delete;

    // Replaces whatever is still waiting with these tiles, read in this order.
    void Want(std::vector<TileKey> keys);

private:
    void Run(std::stop_token stop);

    std::shared_ptr<const ViewerTask> m_task;
    std::string m_blank;
    Delivery m_deliver;
    std::mutex m_mutex;
    std::condition_variable_any m_wake;
    std::deque<TileKey> m_queue;
    std::jthread m_thread; // last: it stops and joins before the members it uses go
};

} // namespace quarrow::viewer
