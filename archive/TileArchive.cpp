#include "TileArchive.h"

#include <algorithm>

#include "engine/Unitclasstask.h"

#include "base/Json.h"
#include "base/NumberText.h"

namespace quarrow::archive {
namespace {

using Tasks = std::vector<std::unique_ptr<DownloadTask>>;

std::string SourceName(const DownloadTask& task) {
    return task.Params->Source ? task.Params->Source->Name : std::string(BuiltInSourceName);
}

// What the tasks of an MBTiles file or a tile tree have in common: the zoom levels and the
// rectangle that holds them all.
struct TaskSetExtent {
    int MinZoom = 18, MaxZoom = 1;
    double West = 180, South = 90, East = -180, North = -90;
};

TaskSetExtent ExtentOf(const Tasks& tasks) {
    TaskSetExtent extent;
    for (const auto& task : tasks) {
        extent.MinZoom = std::min(extent.MinZoom, task->Params->Zoom);
        extent.MaxZoom = std::max(extent.MaxZoom, task->Params->Zoom);
        extent.West = std::min(extent.West, task->LeftLongitudeDownload);
        extent.South = std::min(extent.South, task->BottomLatitudeDownload);
        extent.East = std::max(extent.East, task->RightLongitudeDownload);
        extent.North = std::max(extent.North, task->TopLatitudeDownload);
    }
    return extent;
}

} // namespace


std::string ArchiveInfo::BoundsText(std::string_view separator) const {
    std::string text = RoundTripText(West);
    for (const double value : {South, East, North})
        text.append(separator).append(RoundTripText(value));
    return text;
}

std::string ArchiveInfo::CenterText(std::string_view separator) const {
    return RoundTripText(CenterLon()) + std::string(separator) + RoundTripText(CenterLat()) +
           std::string(separator) + std::to_string(MinZoom);
}

std::vector<std::string> TileJsonLines(const ArchiveInfo& info, const std::string& tiles) {
    return {"{", "  \"tilejson\": \"3.0.0\",", "  \"name\": " + JsonString(info.Name) + ",",
            "  \"tiles\": [" + JsonString(tiles) + "],", "  \"scheme\": \"xyz\",",
            "  \"minzoom\": " + std::to_string(info.MinZoom) + ",",
            "  \"maxzoom\": " + std::to_string(info.MaxZoom) + ",",
            "  \"bounds\": [" + info.BoundsText(", ") + "],",
            // The size of the tiles, which a web map needs to place 512-pixel ones.
            "  \"tileSize\": " + std::to_string(info.TileSize) + ",",
            "  \"attribution\": " + JsonString(info.Attribution), "}"};
}

ArchiveInfo ArchiveInfoOf(const std::vector<std::unique_ptr<DownloadTask>>& tasks) {
    const TaskSetExtent extent = ExtentOf(tasks);
    const DownloadTask& first = *tasks.front();
    ArchiveInfo info;
    info.Name = ProjectBaseName(first.Params->ProjectName);
    info.MinZoom = extent.MinZoom;
    info.MaxZoom = extent.MaxZoom;
    info.West = extent.West;
    info.South = extent.South;
    info.East = extent.East;
    info.North = extent.North;
    info.Format = first.TileExtension();
    info.TileSize = first.TileSide();
    info.Source = first.Params->Source;
    info.Attribution = info.Source && !info.Source->Attribution.empty() ? info.Source->Attribution
                                                                        : SourceName(first);
    for (const auto& task : tasks) {
        if (!task->Params->Shape)
            continue;
        const AreaShape& shape = *task->Params->Shape;
        // A ring's last point joins its first; a line drawn of it says so.
        for (const GeoPolygon& polygon : shape.Polygons)
            for (const GeoRing& ring : polygon)
                if (!ring.empty()) {
                    info.Outline.push_back(ring);
                    info.Outline.back().push_back(ring.front());
                }
        info.Outline.insert(info.Outline.end(), shape.Lines.begin(), shape.Lines.end());
    }
    return info;
}

} // namespace quarrow::archive
