// Decoded tiles kept within a fixed number of bytes, the least recently used dropped first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <functional>
#include <list>
#include <unordered_map>

#include <QImage>

namespace quarrow::map {

// What a tile's place shows: its picture, the blank picture, or nothing (no file, no answer).
enum class TileState : unsigned char { Missing, Blank, Present };

// A tile of a zoom level at one of the sizes a view draws it (Size pixels square).
struct TileKey {
    int X = 0;
    int Y = 0;
    int Size = 256;
    int Z = 0;
    bool operator==(const TileKey&) const = default;
};

struct TileKeyHash {
    std::size_t operator()(const TileKey& key) const noexcept {
        const auto x = static_cast<std::size_t>(static_cast<unsigned>(key.X));
        const auto y = static_cast<std::size_t>(static_cast<unsigned>(key.Y));
        return (x * 0x9E3779B97F4A7C15ULL) ^ (y << 9) ^ static_cast<std::size_t>(key.Size) ^
               (static_cast<std::size_t>(key.Z) << 56);
    }
};

struct CachedTile {
    TileState State = TileState::Missing;
    QImage Image; // null unless Present or Blank
    // Missing because its file is no picture of a tile's size (a page, a picture bomb): the file
    // was not decoded.
    bool NotATile = false;
    // When it was fetched or last found unchanged (seconds since 1970); none when unknown.
    std::optional<std::int64_t> Fetched;
};

// Used on the UI thread only.
class TileCache {
public:
    explicit TileCache(std::size_t maxBytes) : m_maxBytes(maxBytes) {}

    // The tile, marked as just used; nullptr when absent.
    const CachedTile* Find(const TileKey& key);
    // The tile, its place in the order untouched; nullptr when absent.
    const CachedTile* Peek(const TileKey& key) const;
    void Put(const TileKey& key, CachedTile tile);
    void Clear();

    std::size_t Bytes() const noexcept { return m_bytes; }
    std::size_t MaxBytes() const noexcept { return m_maxBytes; }
    std::size_t Count() const noexcept { return m_index.size(); }

private:
    struct Entry {
        TileKey Key;
        CachedTile Tile;
        std::size_t Bytes;
    };
    static std::size_t CostOf(const CachedTile& tile);

    std::size_t m_maxBytes;
    std::size_t m_bytes = 0;
    std::list<Entry> m_entries; // most recently used first
    std::unordered_map<TileKey, std::list<Entry>::iterator, TileKeyHash> m_index;
};

} // namespace quarrow::map
