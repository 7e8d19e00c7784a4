// Tasks made on disk for the tests of what reads them: a project file and its tiles' files.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/Unitclasstask.h"

namespace quarrow::test {

// The edges of tiles, from the spherical Mercator formulas.
double Lon(int x, int z);
double Lat(int y, int z);

// A task's entries: its rectangle, zoom level and map type, saved as name in the folder.
std::shared_ptr<TaskParams> TaskParamsOf(const std::string& folder, const std::string& name,
                                         int zoom, double left, double right, double top,
                                         double bottom, int mapsType = 17);

// A task of columns x rows tiles from (x0, y0) at the zoom level, each tile the bytes tile(x, y)
// gives (none: missing). Returns its project file.
std::string WriteTask(const std::string& folder, const std::string& name, int zoom, int x0, int y0,
                      int columns, int rows, const std::function<std::string(int x, int y)>& tile,
                      std::optional<TileSource> source = std::nullopt);

} // namespace quarrow::test
