// Reading tiles back from what keeps them: MBTiles, OsmAnd's and Locus's SQLite files, PMTiles,
// a tile tree and a task's own folder; what the local tile server serves. Every one of them is
// outside input: what it says of itself is checked at opening, and each tile it gives is held to
// the size of a tile.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "TileArchive.h"

namespace quarrow::archive {

class TileReader {
public:
    virtual ~TileReader() = default;
    TileReader(const TileReader&) = delete;
    TileReader& operator=(const TileReader&) = delete;

    // What the archive says of itself, held within the map: zoom levels 0..30, bounds within
    // the Web Mercator square, the tiles' format ("png", "jpg", "webp") and side.
    const ArchiveInfo& Info() const noexcept { return m_info; }

    // The tile's bytes, x and y in the XYZ scheme; nullopt when the archive has none. May be
    // called from several threads at once.
    virtual std::optional<std::string> Tile(int zoom, int x, int y) const = 0;

    // An archive that a browser reads as it is (PMTiles): its size, 0 for the others.
    virtual std::uint64_t RawSize() const { return 0; }
    // length bytes of it from offset; false when they cannot be read.
    virtual bool ReadRaw(std::uint64_t offset, std::size_t length, std::string& bytes) const;

protected:
    TileReader() = default;
    ArchiveInfo m_info;
};

// The readers of the combiner's formats (OutputFormats.h has them in its table) and of a task.
// Each throws an Exception that says why the path cannot be read: missing, no regular file (a
// FIFO), not of the format, or saying what no map holds.
std::unique_ptr<TileReader> ReadMBTiles(const std::string& path);
std::unique_ptr<TileReader> ReadSqliteDb(const std::string& path); // OsmAnd's and Locus's
std::unique_ptr<TileReader> ReadPMTiles(const std::string& path);
std::unique_ptr<TileReader> ReadXyzTree(const std::string& folder);
std::unique_ptr<TileReader> ReadTaskTiles(const std::string& projectFile);

// The reader of what the path is: a project file (.zav), a folder (a tile tree), or a file of a
// format whose row has a reader, by its extension.
std::unique_ptr<TileReader> OpenTileReader(const std::string& path);

} // namespace quarrow::archive
