// Decoded tiles within a fixed number of bytes.
#include "TileCache.h"

namespace quarrow::map {

std::size_t TileCache::CostOf(const CachedTile& tile) {
    // A missing tile costs its bookkeeping, so a huge empty area cannot grow the cache unbounded.
    constexpr std::size_t Overhead = 96;
    return Overhead + static_cast<std::size_t>(tile.Image.sizeInBytes());
}

const CachedTile* TileCache::Find(const TileKey& key) {
    const auto found = m_index.find(key);
    if (found == m_index.end())
        return nullptr;
    m_entries.splice(m_entries.begin(), m_entries, found->second);
    return &found->second->Tile;
}

const CachedTile* TileCache::Peek(const TileKey& key) const {
    const auto found = m_index.find(key);
    return found == m_index.end() ? nullptr : &found->second->Tile;
}

void TileCache::Put(const TileKey& key, CachedTile tile) {
    if (const auto found = m_index.find(key); found != m_index.end()) {
        m_bytes -= found->second->Bytes;
        m_entries.erase(found->second);
        m_index.erase(found);
    }
    const std::size_t cost = CostOf(tile);
    m_entries.push_front({key, std::move(tile), cost});
    m_index.emplace(key, m_entries.begin());
    m_bytes += cost;
    // The newest entry stays even when it alone exceeds the bound.
    while (m_bytes > m_maxBytes && m_entries.size() > 1) {
        const Entry& last = m_entries.back();
        m_bytes -= last.Bytes;
        m_index.erase(last.Key);
        m_entries.pop_back();
    }
}

void TileCache::Clear() {
    m_entries.clear();
    m_index.clear();
    m_bytes = 0;
}

} // namespace quarrow::map
