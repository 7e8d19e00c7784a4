// Tiles fetched for the map, kept on disk across runs: a folder per source and map type, bounded
// in bytes, the oldest dropped first. Any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace quarrow::map {

class DiskTileCache {
public:
    // The bound when none is given: enough for a few days of looking at maps.
    static constexpr std::uintmax_t DefaultMaxBytes = std::uintmax_t{512} << 20;

    explicit DiskTileCache(std::string folder, std::uintmax_t maxBytes = DefaultMaxBytes);

    // $XDG_CACHE_HOME/quarrow/tiles, or ~/.cache/quarrow/tiles.
    static std::string DefaultFolder();
    // A folder name for a tile URL template (or any text that names a source and map type).
    static std::string KeyOf(const std::string& urlTemplate);

    std::optional<std::string> Read(const std::string& key, int z, int x, int y) const;
    // Keeps the tile; when the cache has grown past its bound, the oldest tiles go.
    void Write(const std::string& key, int z, int x, int y, const std::string& bytes);
    // The average size of the tiles kept for the key; nullopt when it has none.
    std::optional<double> AverageBytes(const std::string& key) const;

    const std::string& Folder() const noexcept { return m_folder; }

private:
    std::string PathOf(const std::string& key, int z, int x, int y) const;
    void Trim();

    const std::string m_folder; // ends in "/"
    const std::uintmax_t m_maxBytes;
    mutable std::mutex m_mutex;
    std::optional<std::uintmax_t> m_bytes; // counted at the first write
};

} // namespace quarrow::map
