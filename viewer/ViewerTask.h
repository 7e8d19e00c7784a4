// A task as the viewer sees it: the engine's record read back from the project file, without
// touching anything on disk, and what each of its tile files holds.
#pragma once

#include <functional>
#include <memory>
#include <stop_token>
#include <string>

#include "engine/Unitclasstask.h"
#include "mapview/TileCache.h"
#include "mapview/ViewGeometry.h"

namespace quarrow::viewer {

// The viewer draws with the shared map pieces.
using namespace quarrow::map;

struct TileCounts {
    long long Present = 0;
    long long Blank = 0;
    long long Missing = 0;
    long long Total() const { return Present + Blank + Missing; }
    bool operator==(const TileCounts&) const = default;
};

class ViewerTask {
public:
    // Throws the engine's Exception when the file is no task's project file.
    explicit ViewerTask(const std::string& projectFile);

    const DownloadTask& Task() const noexcept { return m_task; }
    TileBox Range() const { return {m_task.MinX, m_task.MinY, m_task.MaxX, m_task.MaxY}; }
    int Zoom() const noexcept { return m_task.Params->Zoom; }
    std::string TilePath(int x, int y) const { return m_task.TilePath(x, y); }

private:
    DownloadTask m_task;
};

// The bytes of the blank image; "" when there is none, so no tile counts as blank.
std::string ReadBlankImage(const std::string& path);

// Reads the tile file: Missing when it cannot be read, Blank when it is byte for byte the blank
// image, else Present with its bytes in *bytes.
TileState ReadTile(const std::string& path, const std::string& blank, std::string* bytes);

// Counts the tiles by their files, reading only those of the blank image's size. Calls progress
// now and then with the counts so far; returns early, with partial counts, on a stop.
TileCounts CountTiles(const ViewerTask& task, const std::string& blank, std::stop_token stop,
                      const std::function<void(const TileCounts&)>& progress = {});

} // namespace quarrow::viewer
