// A PMTiles archive (version 3): the tiles along the Hilbert curve with run-length entries where
// a tile repeats the one before, their directories compressed with gzip (the root and, beyond a
// few thousand entries, leaf directories), and the metadata as JSON; one file that a web page
// reads with range requests. Written in one pass: memory holds the directory being built, one
// entry a leaf of tiles.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "PMTilesDirectory.h"
#include "TileArchive.h"

namespace quarrow::archive {

// The tile's place in a PMTiles archive: every tile of the zoom levels above counted, then its
// place on the level's Hilbert curve.
std::uint64_t TileId(int zoom, std::uint32_t x, std::uint32_t y);

// Calls each(x, y) for every tile of the zoom level within the rectangle, in the order of their
// TileIds, visiting only the curve's quarters that the rectangle touches.
void EachTileAlongTheCurve(int zoom, int minX, int minY, int maxX, int maxY,
                           const std::function<void(int x, int y)>& each);

// An inclusive rectangle of tiles.
struct TileRect {
    int MinX = 0, MinY = 0, MaxX = 0, MaxY = 0;
};

// The same for every tile within any of the rectangles, each once.
void EachTileAlongTheCurve(int zoom, const std::vector<TileRect>& rects,
                           const std::function<void(int x, int y)>& each);

class PMTilesWriter final : public TileArchive {
public:
    // Creates the file (the name must not hold another); throws an Exception naming the path.
    PMTilesWriter(std::string path, const ArchiveInfo& info);
    ~PMTilesWriter() override;

    TileOrder Order() const override { return TileOrder::Hilbert; }
    // Tiles come in rising TileId, each once.
    void AddTile(int zoom, int x, int y, const std::string& bytes,
                 const std::string& path) override;
    void Finish() override;

    using Entry = PMTilesEntry;

private:
    void WriteAt(std::uint64_t offset, const std::string& bytes);
    void FlushLeaf();

    std::string m_path;
    ArchiveInfo m_info;
    int m_fd = -1;
    std::uint64_t m_dataLength = 0;  // tile data written, from DataOffset
    std::string m_previous;         // the last tile's bytes, for a run
    std::vector<Entry> m_leaf;      // entries not yet in a leaf directory
    std::vector<Entry> m_root;      // one per leaf written
    std::string m_leaves;           // the leaf directories, compressed, in order
    std::uint64_t m_addressed = 0;  // tiles, runs counted whole
    std::uint64_t m_entries = 0;
    std::uint64_t m_contents = 0;
};

} // namespace quarrow::archive
