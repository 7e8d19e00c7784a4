// A file (or folder) that keeps the tiles as they are, each under its zoom level, column and row:
// what MBTiles, a tile tree, the SQLite files of phone apps and PMTiles have in common.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "geo/AreaShape.h"
#include "engine/TileSource.h"
#include "engine/Unitclasstask.h"

namespace quarrow::archive {

// What an archive tells of its tiles.
struct ArchiveInfo {
    std::string Name;
    int MinZoom = 1;
    int MaxZoom = 1;
    double West = 0, South = 0, East = 0, North = 0; // degrees, around every task
    std::string Format = "png";                      // of the tiles: "png", "jpg" or "webp"
    int TileSize = 256;                              // pixels a side of the tiles
    std::string Attribution;
    std::optional<TileSource> Source; // the tasks' custom source; none for the built-in service
    // The lines around the tasks' areas (each ring of a polygon, closed, and each track), for a
    // web page.
    std::vector<GeoLine> Outline;

    // The facts every archive writes, each number in the shortest digits that read back the same.
    double CenterLon() const noexcept { return (West + East) / 2; }
    double CenterLat() const noexcept { return (South + North) / 2; }
    // "west,south,east,north", the numbers joined by the separator.
    std::string BoundsText(std::string_view separator = ",") const;
    // "lon,lat,minzoom"
    std::string CenterText(std::string_view separator = ",") const;
};

// The TileJSON (3.0.0) of the tiles at the URL template: what a tile tree holds beside them and the
// local tile server gives, one line a member.
std::vector<std::string> TileJsonLines(const ArchiveInfo& info, const std::string& tiles);

// What an archive of these tasks (one or more, read back) tells of its tiles: their zoom levels,
// the rectangle around them, the format, the source and the outline of the tasks' areas.
ArchiveInfo ArchiveInfoOf(const std::vector<std::unique_ptr<DownloadTask>>& tasks);
// The order in which an archive takes its tiles: zoom by zoom, each level by rows from the north,
// or along the Hilbert curve (TileId in PMTilesWriter.h).
enum class TileOrder { Rows, Hilbert };

class TileArchive {
public:
    TileArchive() = default;
    virtual ~TileArchive() = default;
    TileArchive(const TileArchive&) = delete;
    TileArchive& operator=(const TileArchive&) = delete;

    virtual TileOrder Order() const { return TileOrder::Rows; }
    // The tile's bytes, x and y in the XYZ scheme; path is its file, for an archive that links
    // rather than copies. A tile added again (of an overlapping task) replaces the first.
    // Throws an Exception when the archive cannot be written.
    virtual void AddTile(int zoom, int x, int y, const std::string& bytes,
                         const std::string& path) = 0;
    // Completes and closes the archive; throws when that fails.
    virtual void Finish() = 0;
    // What the user should know of an archive written whole (a part it could not add).
    virtual std::vector<std::string> Notes() const { return {}; }
};

} // namespace quarrow::archive
