// Reads and decodes the tiles that the window asks for.
#include "TileLoader.h"

#include "TileAge.h"
#include "base/Exception.h"
#include "engine/ImageHeader.h"
#include "store/TileRecords.h"

namespace quarrow::viewer {

CachedTile LoadTile(const ViewerTask& task, const std::string& blank, const TileKey& key) {
    CachedTile tile;
    std::string bytes;
    tile.State = ReadTile(task.TilePath(key.X, key.Y), blank, &bytes);
    if (tile.State == TileState::Missing)
        return tile;
    const std::string& data = tile.State == TileState::Blank ? blank : bytes;
    // The blank image is Quarrow's own; a tile's file is looked at before it is decoded.
    if (tile.State == TileState::Present && !HasImageSide(data, task.Task().TileSide())) {
        tile.State = TileState::Missing;
        tile.NotATile = true;
        return tile;
    }
    QImage image;
    if (!image.loadFromData(reinterpret_cast<const uchar*>(data.data()),
                            static_cast<int>(data.size())))
        return tile;
    if (image.width() != key.Size || image.height() != key.Size)
        image = image.scaled(key.Size, key.Size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    tile.Image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    return tile;
}

TileLoader::TileLoader(std::shared_ptr<const ViewerTask> task, std::string blank, Delivery deliver)
    : m_task(std::move(task)), m_blank(std::move(blank)), m_deliver(std::move(deliver)),
      m_thread([this](std::stop_token stop) { Run(stop); }) {}

TileLoader::~TileLoader() {
    m_thread.request_stop();
    m_wake.notify_all();
}

void TileLoader::Want(std::vector<TileKey> keys) {
    {
        const std::lock_guard lock(m_mutex);
        m_queue.assign(keys.begin(), keys.end());
    }
    m_wake.notify_one();
}

void TileLoader::Run(std::stop_token stop) {
    // This thread's own connection to the task's records; unreadable ones leave the files'
    // times to tell.
    std::unique_ptr<TileRecords> records;
    try {
        records = std::make_unique<TileRecords>(TaskFilesOf(m_task->Task().ProjectFile()).Records,
                                                TileRecords::Access::Read);
    } catch (const Exception&) {
    }
    while (!stop.stop_requested()) {
        TileKey key;
        {
            std::unique_lock lock(m_mutex);
            if (!m_wake.wait(lock, stop, [this] { return !m_queue.empty(); }))
                return;
            key = m_queue.front();
            m_queue.pop_front();
        }
        CachedTile tile = LoadTile(*m_task, m_blank, key);
        if (tile.State != TileState::Missing)
            tile.Fetched = FetchTime(records.get(), m_task->TilePath(key.X, key.Y), key.X, key.Y);
        m_deliver(key, std::move(tile));
    }
}

} // namespace quarrow::viewer
